// The names of a ramdisk folder where this build has no entries list: every name is stored as it
// is, and a name the system cannot hold stops the unpack with a clear error instead of being
// written under another name that the pack would not give back.
#include <map>
#include <set>

#include "bootimg/io.h"
#include "bootimg/ramdisk_names.h"
#include "platform.h"
#include "platform_io.h"
#include "platform_tree.h"

namespace orvex::bootimg {

namespace {

std::string Folded(const std::string& s) {
  std::string o = s;
  for (char& c : o)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return o;
}

}  // namespace

struct RamdiskNames::Impl {
  std::map<std::string, std::set<std::string>> taken;  // folder -> folded names in it
};

RamdiskNames::RamdiskNames() : impl_(std::make_unique<Impl>()) {}
RamdiskNames::~RamdiskNames() = default;
RamdiskNames::RamdiskNames(RamdiskNames&&) noexcept = default;
RamdiskNames& RamdiskNames::operator=(RamdiskNames&&) noexcept = default;

std::string RamdiskNames::StoredName(const std::string& storedFolder, const std::string& name,
                                     const std::string& path) {
  if (!platform::TreeNameStorable(name)) throw Error("this system cannot store the ramdisk entry name " + path);
  if (platform::TreeFoldsCase() && !impl_->taken[storedFolder].insert(Folded(name)).second)
    throw Error("the ramdisk entry " + path + " differs from another only in case, which this system folds");
  return name;
}

void RamdiskNames::Write(const std::string& file) const {
  if (platform::KindOf(file) == platform::PathKind::kFile) platform::RemoveFile(file);
}

RamdiskNames RamdiskNames::Read(const std::string& file) {
  if (platform::KindOf(file) != platform::PathKind::kMissing)
    throw Error(file + " renames entries of the ramdisk folder, which this build cannot read");
  return RamdiskNames();
}

std::string RamdiskNames::OriginalName(const std::string&, const std::string& storedName) const {
  return storedName;
}

}  // namespace orvex::bootimg
