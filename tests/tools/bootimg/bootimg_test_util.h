#pragma once
// Helpers for the boot image tests: newc archives byte by byte, images laid out from the
// published header layouts, and running AndImgTool.
#include <cstdint>
#include <string>
#include <vector>

#include "test_support.h"

namespace orvex::test {

// One newc cpio entry (for archives no archiver would write).
std::string NewcEntry(const std::string& name, uint32_t mode, const std::string& data = "", uint32_t ino = 1,
                      uint32_t rdev_major = 0, uint32_t rdev_minor = 0);
std::string NewcTrailer();

void PutU32(std::string& b, size_t at, uint32_t v);
void PutU64(std::string& b, size_t at, uint64_t v);
uint32_t GetU32(const std::string& b, size_t at);
std::string PadTo(std::string s, size_t page);

// A boot image v3 or v4 (page 4096): header, kernel, ramdisk, [signature].
std::string BootV3V4(uint32_t version, const std::string& kernel, const std::string& ramdisk,
                     const std::string& cmdline, uint32_t os_version, const std::string& signature = "");
struct VendorRamdiskPart {
  std::string data;
  uint32_t type;
  std::string name;
};
// A vendor_boot v4 image with several ramdisks, their table and a bootconfig.
std::string VendorBootV4(uint32_t page, const std::vector<VendorRamdiskPart>& ramdisks, const std::string& dtb,
                         const std::string& bootconfig, const std::string& cmdline);

CommandResult AndImgTool(const std::string& args);
// The files under a folder as "path type size/target" lines, sorted.
std::string ListTree(const fs::path& folder);

}  // namespace orvex::test
