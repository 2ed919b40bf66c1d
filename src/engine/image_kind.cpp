#include "image_kind.h"

#include <filesystem>
#include <vector>

#include "platform.h"
#include "text.h"

namespace orvex {

namespace {

// The tar magic "ustar" stands at offset 257 of a POSIX tar header; it is tested there, so real
// tar archives are recognised whatever their name.
const SignatureRow kTable[] = {
    {"0x3AFF26ED01", "0", "Sparse"},
    {"0xE2E1F5E0", "0x400", "Erofs"},
    {"0x53EF", "0x438", "Raw"},
    {"0x0000000000", "0", "Raw"},
    {"0x524B465766", "0", "Rockchip"},
    {"0x494D414745", "0", "Allwinner"},
    {"0x5619B527", "0x08", "Amlogic"},
    {"0x414D4C5F52455321", "0x08", "AmlLogo"},
    {"0x414D4C5F02", "0", "DtbMulti"},
    {"0xD00DFEED", "0", "DtbSingle"},
    {"0x504B0304", "0", "Zip"},
    {"0x377ABCAF271C", "0", "SevenZip"},
    {"0x52617221", "0", "SevenZip"},
    {"0x7573746172", "0x101", "Tar"},
    {"0x1F8B08", "0", "Gzip"},
    {"0x414E44524F494421", "0", "BootRec"},
    // vendor_boot images carry the vendor ramdisks of the same boot chain and take the same route.
    {"0x564E4452424F4F54", "0", "BootRec"},
    {"0x52534345", "0", "RkRes"},
    {"0x4C4F41444552", "0", "RkUboot"},
    {"0x43724155", "0", "PayLoad"},
    {"0x42005000", "0", "Pac"},
    {"0xCFFFFF", "0", "Br"},
    {"0x04224D18", "0", "Lz4"},
    {"0xEB3C904D", "0", "Fat32"},
    {"0x424D", "0", "bmp"},
};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

const SignatureRow* SignatureTable(size_t* count) {
  if (count) *count = sizeof kTable / sizeof kTable[0];
  return kTable;
}

uint64_t ParseHex(std::string_view text) {
  std::string t = Trim(ToUpperAscii(text));
  if (!t.empty() && t[0] == '$') t = Trim(t.substr(1));
  if (t.size() >= 2 && t[0] == '0' && t[1] == 'X') t = t.substr(2);
  uint64_t v = 0;
  for (char c : t) {
    int d = HexDigit(c);
    if (d < 0) break;
    v = v * 16 + static_cast<uint64_t>(d);
  }
  return v;
}

bool MatchSignature(std::FILE* file, std::string_view signature, std::string_view offset) {
  uint64_t off = ParseHex(offset);
  std::string_view sig = signature;
  if (sig.size() >= 2 && sig[0] == '0' && (sig[1] == 'x' || sig[1] == 'X')) sig.remove_prefix(2);
  size_t count = sig.size() / 2;
  std::vector<unsigned char> bytes(count, 0);
  if (file && std::fseek(file, static_cast<long>(off), SEEK_SET) == 0) {
    size_t got = std::fread(bytes.data(), 1, count, file);
    (void)got;  // bytes past the end stay zero
  }
  static const char* hex = "0123456789ABCDEF";
  std::string written;
  for (unsigned char b : bytes) {
    written += hex[b >> 4];
    written += hex[b & 15];
  }
  return written == ToUpperAscii(sig.substr(0, count * 2)) && sig.size() % 2 == 0;
}

std::string DetectImageKind(const std::string& path) {
  int64_t size = platform::FileSizeOrMarker(path);
  if (size == 0) return "File_not_found";
  if (size < 0) return "Invalid_Handle";
  std::FILE* f = platform::OpenFile(path, "rb");
  if (!f) return "Invalid_Handle";
  std::string kind = "Signature not found";
  for (const auto& row : kTable) {
    if (MatchSignature(f, row.signature, row.offset)) {
      kind = row.kind;
      break;
    }
  }
  std::fclose(f);
  return kind;
}

}  // namespace orvex
