#pragma once
// What the archive jobs check around 7-Zip and tar, because neither tool protects the user
// enough on its own: entry names that would leave the output folder, declared sizes that do not
// fit the disk, and links in the extracted tree that point out of it.
#include <cstdint>
#include <string>
#include <vector>

#include "context.h"

namespace orvex {

struct ArchiveEntry {
  std::string name;
  uint64_t size = 0;
  bool isLink = false;
};

// Entries of `7z l -slt` output ("Path = ", "Size = ", "Attributes = " blocks after the "----------"
// line).
std::vector<ArchiveEntry> ParseSevenZipListing(const std::string& listing);
// Sizes of `tar -tvf` output lines (the third field); names are left empty.
std::vector<ArchiveEntry> ParseTarListing(const std::string& listing);

// True when a name stored in an archive would be written outside the folder it is extracted
// into: absolute, with a drive letter, or with a ".." component (either separator).
bool EntryLeavesFolder(const std::string& name);

// Lists the archive with 7-Zip (nothing logged), and refuses, with one warning line per reason,
// an archive that names entries outside the folder or whose declared sizes do not fit the free
// space of `outputFolder`'s file system. Returns true when extraction may go on.
bool CheckSevenZipArchive(Context& ctx, const std::string& archive, const std::string& workdir,
                          const std::string& outputFolder);
// The same for tar (tar itself refuses ".." and strips a leading "/"): the declared sizes.
bool CheckTarArchive(Context& ctx, const std::string& archive, const std::string& workdir,
                     const std::string& outputFolder);

// Walks an extracted tree (links are never followed) and removes every symbolic link whose
// target is absolute or leads out of `folder`, with a warning line naming it. Returns the number
// removed.
int RemoveEscapingLinks(Context& ctx, const std::string& folder);

}  // namespace orvex
