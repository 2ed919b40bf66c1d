#pragma once
// The names of a ramdisk folder that this system cannot store as they are (characters it forbids,
// names that differ only in case where it folds case): stored changed, and their originals kept in
// the names list beside the folder so that the pack gives the archive its own names back.
#include <memory>
#include <string>

namespace orvex::bootimg {

class RamdiskNames {
 public:
  // windowsNames: store names as Windows needs them, whatever this system is (a folder made here
  // for Windows, and the tests of the names on Linux).
  explicit RamdiskNames(bool windowsNames = false);
  ~RamdiskNames();
  RamdiskNames(RamdiskNames&&) noexcept;
  RamdiskNames& operator=(RamdiskNames&&) noexcept;

  // While a folder is written: the name to store an entry under in storedFolder ("" for the top),
  // recorded when it differs from the original.
  std::string StoredName(const std::string& storedFolder, const std::string& name, const std::string& path);
  // Writes the list, or removes an old one when no name changed. Throws Error.
  void Write(const std::string& file) const;

  // While a folder is read back: a missing file is an empty list. Throws Error.
  static RamdiskNames Read(const std::string& file);
  std::string OriginalName(const std::string& storedFolder, const std::string& storedName) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace orvex::bootimg
