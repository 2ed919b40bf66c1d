#pragma once
// Builds vendor containers straight from the formats' rules, independently of the tools under
// test: Rockchip RKAF (table, CRC), RKFW (header, MD5 text), PARM/KRNL wrapping and LOADER copies;
// Allwinner IMAGEWTY; Spreadtrum PAC with its CRC-16 sums. Reads their fields back for checks.
#include <cstdint>
#include <utility>
#include <string>
#include <vector>

#include "test_support.h"

namespace orvex::test {

uint32_t RkCrcBitwise(const std::string& bytes);  // MSB-first, poly 0x04C10DB7, init 0
std::string Md5Hex(const std::string& bytes);
std::string Sha1(const std::string& bytes);
void Put32At(std::string& s, size_t at, uint32_t v);
uint32_t Get32At(const std::string& s, size_t at);

std::string Wrap(const std::string& tag, const std::string& data);  // tag + len + data + CRC

struct RkafFile {
  std::string name, file, data;  // file "SELF" / "RESERVED": no data
  uint32_t nandAddr = 0xFFFFFFFF, nandSize = 0;
};
// An RKAF with the files in the given order; "parameter" data is wrapped as PARM.
std::string BuildRkaf(const std::vector<RkafFile>& files, uint32_t version, const std::string& model);
// An RKFW around an RKAF with a loader blob and a fixed build date.
std::string BuildRkfw(const std::string& loader, const std::string& rkaf);

struct RkafEntryView {
  std::string name, file;
  uint32_t nandSize, pos, nandAddr, padded, size;
};
// Checks the RKAF CRC and length; returns the table.
std::vector<RkafEntryView> ReadRkaf(const std::string& rkaf);
// Checks the RKFW MD5 and layout; returns the embedded RKAF.
std::string RkafOfRkfw(const std::string& rkfw);

// A LOADER image: header + payload padded to copySize, repeated copies times.
std::string BuildLoader(const std::string& payload, uint32_t loadAddr, uint32_t copySize, int copies);

struct WtyFile {
  std::string name, main, sub, data;
};
// IMAGEWTY header version 0x0300: files at 1024-aligned offsets after the item table.
std::string BuildWty(const std::vector<WtyFile>& files);
// Checks an IMAGEWTY image by the format's rules; returns each file's name and bytes.
std::vector<std::pair<std::string, std::string>> ReadWty(const std::string& img);

struct PacFile {
  std::u16string id, name;
  std::string data;  // empty: an operation without data
};
std::string BuildPac(const std::vector<PacFile>& files, const std::u16string& version = u"BP_R1.0.0");
uint16_t Crc16Bitwise(const std::string& s, size_t from, size_t to);

CommandResult Rk(const std::string& args, const std::string& build = "106");
std::vector<std::string> ListFiles(const fs::path& dir);

}  // namespace orvex::test
