#include "bootimg_test_util.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace orvex::test {

std::string NewcEntry(const std::string& name, uint32_t mode, const std::string& data, uint32_t ino, uint32_t rdev_major,
                      uint32_t rdev_minor) {
  char h[111];
  std::snprintf(h, sizeof h, "070701%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X", ino, mode, 0u, 0u, 1u, 0u,
                unsigned(data.size()), 0u, 0u, rdev_major, rdev_minor, unsigned(name.size() + 1), 0u);
  std::string out(h, 110);
  out += name;
  out += '\0';
  while (out.size() % 4) out += '\0';
  out += data;
  while (out.size() % 4) out += '\0';
  return out;
}

std::string NewcTrailer() { return NewcEntry("TRAILER!!!", 0, "", 0); }

void PutU32(std::string& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = char(v >> (8 * i));
}
void PutU64(std::string& b, size_t at, uint64_t v) {
  PutU32(b, at, uint32_t(v));
  PutU32(b, at + 4, uint32_t(v >> 32));
}
uint32_t GetU32(const std::string& b, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | uint8_t(b[at + i]);
  return v;
}
std::string PadTo(std::string s, size_t page) {
  s.resize((s.size() + page - 1) / page * page, '\0');
  return s;
}

std::string BootV3V4(uint32_t version, const std::string& kernel, const std::string& ramdisk, const std::string& cmdline,
                     uint32_t os_version, const std::string& signature) {
  std::string h(4096, '\0');
  h.replace(0, 8, "ANDROID!");
  PutU32(h, 8, uint32_t(kernel.size()));
  PutU32(h, 12, uint32_t(ramdisk.size()));
  PutU32(h, 16, os_version);
  PutU32(h, 20, version == 4 ? 1584 : 1580);
  PutU32(h, 40, version);
  h.replace(44, cmdline.size(), cmdline);
  if (version == 4) PutU32(h, 1580, uint32_t(signature.size()));
  return h + PadTo(kernel, 4096) + PadTo(ramdisk, 4096) + PadTo(signature, 4096);
}

std::string VendorBootV4(uint32_t page, const std::vector<VendorRamdiskPart>& ramdisks, const std::string& dtb,
                         const std::string& bootconfig, const std::string& cmdline) {
  std::string section, table;
  for (const auto& r : ramdisks) {
    std::string e(108, '\0');
    PutU32(e, 0, uint32_t(r.data.size()));
    PutU32(e, 4, uint32_t(section.size()));
    PutU32(e, 8, r.type);
    e.replace(12, r.name.size(), r.name);
    PutU32(e, 44, 0x1234);
    table += e;
    section += r.data;
  }
  std::string h(2128, '\0');
  h.replace(0, 8, "VNDRBOOT");
  PutU32(h, 8, 4);
  PutU32(h, 12, page);
  PutU32(h, 16, 0x10008000);
  PutU32(h, 20, 0x11000000);
  PutU32(h, 24, uint32_t(section.size()));
  h.replace(28, cmdline.size(), cmdline);
  PutU32(h, 2076, 0x10000100);
  h.replace(2080, 5, "board");
  PutU32(h, 2096, 2128);
  PutU32(h, 2100, uint32_t(dtb.size()));
  PutU64(h, 2104, 0x11f00000);
  PutU32(h, 2112, uint32_t(table.size()));
  PutU32(h, 2116, uint32_t(ramdisks.size()));
  PutU32(h, 2120, 108);
  PutU32(h, 2124, uint32_t(bootconfig.size()));
  return PadTo(h, page) + PadTo(section, page) + PadTo(dtb, page) + PadTo(table, page) + PadTo(bootconfig, page);
}

CommandResult AndImgTool(const std::string& args) {
  return RunCommand(ShQuote((BinDir() / "AndImgTool").string()) + " " + args);
}

std::string ListTree(const fs::path& folder) {
  std::vector<std::string> lines;
  for (auto it = fs::recursive_directory_iterator(folder); it != fs::recursive_directory_iterator(); ++it) {
    auto st = it->symlink_status();
    std::string rel = fs::relative(it->path(), folder).generic_string();
    if (fs::is_symlink(st))
      lines.push_back(rel + " l " + fs::read_symlink(it->path()).string());
    else if (fs::is_directory(st))
      lines.push_back(rel + " d");
    else
      lines.push_back(rel + " f " + ReadFile(it->path()));
  }
  std::sort(lines.begin(), lines.end());
  std::string out;
  for (const auto& l : lines) out += l + "\n";
  return out;
}

}  // namespace orvex::test
