// The names of a ramdisk folder through the entries list of unpacked trees.
#include <cerrno>
#include <cstring>

#include "bootimg/io.h"
#include "bootimg/ramdisk_names.h"
#include "treelist/entries_list.h"

namespace orvex::bootimg {

struct RamdiskNames::Impl {
  explicit Impl(bool windowsNames)
      : list(windowsNames ? treelist::NamePolicy::Windows() : treelist::NamePolicy::ThisSystem()) {}
  treelist::EntriesList list;
};

RamdiskNames::RamdiskNames(bool windowsNames) : impl_(std::make_unique<Impl>(windowsNames)) {}
RamdiskNames::~RamdiskNames() = default;
RamdiskNames::RamdiskNames(RamdiskNames&&) noexcept = default;
RamdiskNames& RamdiskNames::operator=(RamdiskNames&&) noexcept = default;

std::string RamdiskNames::StoredName(const std::string& storedFolder, const std::string& name,
                                     const std::string& path) {
  return impl_->list.StoredName(storedFolder, name, path);
}

void RamdiskNames::Write(const std::string& file) const {
  std::string error;
  if (!impl_->list.Write(file, &error)) throw Error(error);
}

RamdiskNames RamdiskNames::Read(const std::string& file) {
  RamdiskNames names;
  std::string error;
  if (!treelist::EntriesList::Read(file, &names.impl_->list, &error)) throw Error(error);
  return names;
}

std::string RamdiskNames::OriginalName(const std::string& storedFolder, const std::string& storedName) const {
  return impl_->list.OriginalName(storedFolder, storedName);
}

}  // namespace orvex::bootimg
