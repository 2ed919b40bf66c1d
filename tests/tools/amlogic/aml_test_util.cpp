#include "aml_test_util.h"

#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace orvex::test {

void Put32At(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>(v >> (8 * i));
}
void Put64At(std::string& s, size_t at, uint64_t v) {
  Put32At(s, at, static_cast<uint32_t>(v));
  Put32At(s, at + 4, static_cast<uint32_t>(v >> 32));
}
uint32_t Get32At(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(s[at + i]);
  return v;
}
static uint64_t Get64At(const std::string& s, size_t at) {
  return Get32At(s, at) | static_cast<uint64_t>(Get32At(s, at + 4)) << 32;
}

uint32_t AmlCrcOf(const std::string& bytes, size_t from) {
  return ~static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(bytes.data()) + from,
                                      static_cast<uInt>(bytes.size() - from)));
}

std::string Sha1Hex(const std::string& bytes) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_Digest(bytes.data(), bytes.size(), md, &n, EVP_sha1(), nullptr);
  std::string out;
  char b[3];
  for (unsigned i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, "%02x", md[i]);
    out += b;
  }
  return out;
}

void FixBurnCrc(std::string& image) { Put32At(image, 0, AmlCrcOf(image, 4)); }

std::string BuildBurnImage(uint32_t version, uint32_t align, const std::vector<TestItem>& items) {
  struct Entry {
    const TestItem* item;
    std::string main, sub, data;
    uint32_t verify = 0, fileType = 0;
    int backupOf = -1;  // table index
    uint64_t offset = 0;
  };
  std::vector<Entry> table;
  std::vector<int> tableIndexOf(items.size());
  for (size_t i = 0; i < items.size(); ++i) {
    const TestItem& it = items[i];
    tableIndexOf[i] = static_cast<int>(table.size());
    Entry e{&it, it.main, it.sub, it.data, it.verify ? 1u : 0u, it.fileType};
    if (it.sameAs >= 0) e.backupOf = tableIndexOf[static_cast<size_t>(it.sameAs)];
    table.push_back(e);
    if (it.verify) {
      Entry v{&it, "VERIFY", it.sub, "sha1sum " + Sha1Hex(it.data)};
      if (it.sameAs >= 0) v.backupOf = tableIndexOf[static_cast<size_t>(it.sameAs)] + 1;
      table.push_back(v);
    }
  }
  const size_t entrySize = version == 1 ? 128 : 576, typeSize = version == 1 ? 32 : 256;
  const uint64_t tableEnd = 64 + table.size() * entrySize;
  std::string data;
  for (size_t i = 0; i < table.size(); ++i) {
    Entry& e = table[i];
    if (e.backupOf >= 0) {
      e.offset = table[static_cast<size_t>(e.backupOf)].offset;
      continue;
    }
    const bool afterPartition = e.main == "VERIFY";
    if (!afterPartition) data.resize((data.size() + align - 1) / align * align, '\0');
    e.offset = tableEnd + data.size();
    data += e.data;
  }
  std::string img(tableEnd, '\0');
  Put32At(img, 4, version);
  Put32At(img, 8, 0x27B51956);
  Put64At(img, 12, tableEnd + data.size());
  Put32At(img, 20, align);
  Put32At(img, 24, static_cast<uint32_t>(table.size()));
  for (size_t i = 0; i < table.size(); ++i) {
    const Entry& e = table[i];
    const size_t at = 64 + i * entrySize;
    Put32At(img, at, static_cast<uint32_t>(i));
    Put32At(img, at + 4, e.fileType);
    Put64At(img, at + 16, e.offset);
    Put64At(img, at + 24, e.data.size());
    img.replace(at + 32, e.main.size(), e.main);
    img.replace(at + 32 + typeSize, e.sub.size(), e.sub);
    const size_t tail = at + 32 + 2 * typeSize;
    Put32At(img, tail, e.verify);
    if (e.backupOf >= 0) {
      img[tail + 4] = 1;
      img[tail + 6] = static_cast<char>(e.backupOf);
    }
  }
  img += data;
  FixBurnCrc(img);
  return img;
}

std::vector<TableEntry> ReadTable(const std::string& img, uint32_t* version, uint32_t* align) {
  std::vector<TableEntry> out;
  const uint32_t v = Get32At(img, 4);
  if (version) *version = v;
  if (align) *align = Get32At(img, 20);
  const size_t entrySize = v == 1 ? 128 : 576, typeSize = v == 1 ? 32 : 256;
  const uint32_t count = Get32At(img, 24);
  for (uint32_t i = 0; i < count; ++i) {
    const size_t at = 64 + i * entrySize;
    TableEntry e;
    e.id = Get32At(img, at);
    e.fileType = Get32At(img, at + 4);
    e.offset = Get64At(img, at + 16);
    e.size = Get64At(img, at + 24);
    e.main = img.substr(at + 32, typeSize).c_str();
    e.sub = img.substr(at + 32 + typeSize, typeSize).c_str();
    const size_t tail = at + 32 + 2 * typeSize;
    e.verify = Get32At(img, tail);
    e.isBackup = static_cast<uint16_t>(static_cast<uint8_t>(img[tail + 4]) | static_cast<uint8_t>(img[tail + 5]) << 8);
    e.backupId = static_cast<uint16_t>(static_cast<uint8_t>(img[tail + 6]) | static_cast<uint8_t>(img[tail + 7]) << 8);
    out.push_back(e);
  }
  return out;
}

CommandResult RunBinTool(const std::string& tool, const std::string& args) {
  return RunCommand(ShQuote((BinDir() / tool).string()) + " " + args + " 2>&1");
}

std::vector<std::string> ListFiles(const fs::path& dir) {
  std::vector<std::string> out;
  if (!fs::exists(dir)) return out;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (!e.is_directory()) out.push_back(fs::relative(e.path(), dir).string());
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace orvex::test
