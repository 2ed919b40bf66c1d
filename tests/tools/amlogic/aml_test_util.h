#pragma once
// Builds Amlogic burn images straight from the format's rules (header, v1/v2 item table, VERIFY
// items, alignment, shared data, CRC), independently of the packer under test, and reads their
// tables back for checks.
#include <cstdint>
#include <string>
#include <vector>

#include "test_support.h"

namespace orvex::test {

struct TestItem {
  std::string main, sub, data;
  bool verify = false;   // followed by a VERIFY item with the SHA-1 of data
  int sameAs = -1;       // index (in this list) of an earlier item whose data is reused
  uint32_t fileType = 0;
};

// Items in the given order; returns the image bytes.
std::string BuildBurnImage(uint32_t version, uint32_t align, const std::vector<TestItem>& items);

struct TableEntry {
  uint32_t id, fileType;
  uint64_t offset, size;
  std::string main, sub;
  uint32_t verify;
  uint16_t isBackup, backupId;
};
std::vector<TableEntry> ReadTable(const std::string& image, uint32_t* version = nullptr, uint32_t* align = nullptr);

uint32_t AmlCrcOf(const std::string& bytes, size_t from);  // ~zlib crc32 of bytes[from, end)
std::string Sha1Hex(const std::string& bytes);
void Put32At(std::string& s, size_t at, uint32_t v);
void Put64At(std::string& s, size_t at, uint64_t v);
uint32_t Get32At(const std::string& s, size_t at);
// Stores a fresh CRC at offset 0 (after an edit made on purpose).
void FixBurnCrc(std::string& image);

// Runs a tool of the built bin/ folder with the given argument text.
CommandResult RunBinTool(const std::string& tool, const std::string& args);
// Every file below a folder, relative, sorted.
std::vector<std::string> ListFiles(const fs::path& dir);

}  // namespace orvex::test
