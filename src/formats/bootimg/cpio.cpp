#include "bootimg/cpio.h"

#include <cstring>
#include <vector>

namespace orvex::bootimg {

namespace {

constexpr size_t kHeader = 110;
constexpr uint32_t kMaxName = 4096;

uint32_t Hex8(const char* p) {
  uint32_t v = 0;
  for (int i = 0; i < 8; ++i) {
    char c = p[i];
    int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (d < 0) throw Error("corrupt cpio header (not a hexadecimal number)");
    v = v << 4 | uint32_t(d);
  }
  return v;
}

void PutHex8(char* p, uint32_t v) {
  static const char* d = "0123456789abcdef";
  for (int i = 7; i >= 0; --i, v >>= 4) p[i] = d[v & 15];
}

uint64_t Pad4(uint64_t n) { return (4 - n % 4) % 4; }

}  // namespace

void CpioReader::Take(void* out, size_t n) {
  ReadExact(in_, out, n, "the cpio archive");
  pos_ += n;
}

void CpioReader::Skip(uint64_t n) {
  uint8_t buf[4096];
  while (n > 0) {
    size_t k = n > sizeof buf ? sizeof buf : size_t(n);
    Take(buf, k);
    n -= k;
  }
}

bool CpioReader::Next(CpioEntry& e) {
  Skip(left_ + pad_);
  left_ = pad_ = 0;
  char h[kHeader];
  Take(h, kHeader);
  if (std::memcmp(h, "070701", 6) != 0 && std::memcmp(h, "070702", 6) != 0)
    throw Error("corrupt cpio archive: no newc header at byte " + std::to_string(pos_ - kHeader));
  e = CpioEntry{};
  e.ino = Hex8(h + 6);
  e.mode = Hex8(h + 14);
  e.uid = Hex8(h + 22);
  e.gid = Hex8(h + 30);
  e.nlink = Hex8(h + 38);
  e.mtime = Hex8(h + 46);
  e.size = Hex8(h + 54);
  e.dev_major = Hex8(h + 62);
  e.dev_minor = Hex8(h + 70);
  e.rdev_major = Hex8(h + 78);
  e.rdev_minor = Hex8(h + 86);
  uint32_t namesize = Hex8(h + 94);
  Hex8(h + 102);
  if (namesize == 0 || namesize > kMaxName) throw Error("corrupt cpio archive: name size " + std::to_string(namesize));
  std::vector<char> name(namesize);
  Take(name.data(), namesize);
  if (name.back() != 0) throw Error("corrupt cpio archive: a name is not terminated");
  e.name.assign(name.data(), strnlen(name.data(), namesize));
  Skip(Pad4(kHeader + namesize));
  if (e.name == "TRAILER!!!") return false;
  left_ = e.size;
  pad_ = Pad4(e.size);
  return true;
}

size_t CpioReader::ReadData(void* out, size_t n) {
  if (n > left_) n = size_t(left_);
  if (n == 0) return 0;
  Take(out, n);
  left_ -= n;
  return n;
}

void CpioWriter::Begin(const CpioEntry& e) {
  if (e.size > 0xFFFFFFFFu) throw Error("a file of the ramdisk is larger than 4 GiB: " + e.name);
  if (e.name.size() + 1 > kMaxName) throw Error("a name of the ramdisk is too long: " + e.name);
  char h[kHeader];
  std::memcpy(h, "070701", 6);
  uint32_t f[13] = {e.ino, e.mode, e.uid, e.gid, e.nlink, e.mtime, uint32_t(e.size), e.dev_major, e.dev_minor,
                    e.rdev_major, e.rdev_minor, uint32_t(e.name.size() + 1), 0};
  for (int i = 0; i < 13; ++i) PutHex8(h + 6 + 8 * i, f[i]);
  Put(h, kHeader);
  Put(e.name.c_str(), e.name.size() + 1);
  static const char zeros[4] = {};
  Put(zeros, size_t(Pad4(pos_)));
  left_ = e.size;
}

void CpioWriter::Data(const void* p, size_t n) {
  if (n > left_) throw Error("a file of the ramdisk grew while it was packed");
  Put(p, n);
  left_ -= n;
}

void CpioWriter::End() {
  if (left_ != 0) throw Error("a file of the ramdisk shrank while it was packed");
  static const char zeros[4] = {};
  Put(zeros, size_t(Pad4(pos_)));
}

void CpioWriter::Finish() {
  CpioEntry t;
  t.name = "TRAILER!!!";
  t.nlink = 1;
  Begin(t);
  End();
}

std::string CleanEntryName(const std::string& name) {
  if (name.empty()) throw Error("a cpio entry has an empty name");
  if (name[0] == '/') throw Error("a cpio entry has an absolute name: " + name);
  std::string out;
  size_t i = 0;
  while (i <= name.size()) {
    size_t j = name.find('/', i);
    if (j == std::string::npos) j = name.size();
    std::string part = name.substr(i, j - i);
    if (part == "..") throw Error("a cpio entry leaves its folder: " + name);
    if (!part.empty() && part != ".") out += (out.empty() ? "" : "/") + part;
    i = j + 1;
  }
  return out.empty() ? "." : out;
}

}  // namespace orvex::bootimg
