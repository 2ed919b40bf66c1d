#include "pac.h"

#include <algorithm>
#include <cstring>

#include "rk_io.h"

namespace orvex::pac {

using rk::Error;
using rk::Get16;
using rk::Get32;

namespace {

struct Table {
  uint16_t t[256];
  Table() {
    for (uint32_t i = 0; i < 256; ++i) {
      uint16_t c = static_cast<uint16_t>(i);
      for (int k = 0; k < 8; ++k) c = (c & 1) ? static_cast<uint16_t>((c >> 1) ^ 0xA001) : static_cast<uint16_t>(c >> 1);
      t[i] = c;
    }
  }
};
const Table kTable;

bool IsSafeName(const std::string& n) {
  if (n.empty() || n == "." || n == ".." || n.size() > 255) return false;
  for (unsigned char c : n)
    if (c < 0x20 || c == '/' || c == '\\' || c == ':') return false;
  return true;
}

}  // namespace

uint16_t Crc16(uint16_t crc, const void* data, size_t len) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  while (len--) crc = static_cast<uint16_t>((crc >> 8) ^ kTable.t[(crc ^ *p++) & 0xFF]);
  return crc;
}

std::string Utf16Field(const uint8_t* p, size_t units) {
  std::string out;
  for (size_t i = 0; i < units; ++i) {
    uint32_t c = Get16(p + 2 * i);
    if (c == 0) break;
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < units) {
      const uint32_t lo = Get16(p + 2 * i + 2);
      if (lo >= 0xDC00 && lo < 0xE000) {
        c = 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00);
        ++i;
      } else {
        c = 0xFFFD;
      }
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | c >> 12);
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | c >> 18);
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

void Extract(const std::string& pacPath, const std::string& dir, const Log& log) {
  rk::File in;
  in.OpenRead(pacPath);
  if (in.size() < kHeaderSize) throw Error("not a PAC file (too short): " + pacPath);
  uint8_t h[kHeaderSize];
  in.ReadAt(0, h, sizeof h);
  Pac pac;
  pac.version = Utf16Field(h, 22);
  if (pac.version != "BP_R1.0.0" && pac.version != "BP_R2.0.1")
    throw Error("not a PAC file (version \"" + pac.version + "\"): " + pacPath);
  pac.size = (uint64_t(Get32(h + 44)) << 32) | Get32(h + 48);
  if (pac.size != in.size())
    throw Error("PAC size field says " + std::to_string(pac.size) + " bytes, the file has " + std::to_string(in.size()));
  pac.product = Utf16Field(h + 52, 256);
  pac.firmware = Utf16Field(h + 564, 256);
  const uint32_t count = Get32(h + 1076);
  const uint64_t listAt = Get32(h + 1080);
  pac.hasMagic = Get32(h + 2116) == kMagic;
  pac.crc1 = Get16(h + 2120);
  pac.crc2 = Get16(h + 2122);
  if (listAt < kHeaderSize || listAt > in.size() || count > (in.size() - listAt) / kEntrySize)
    throw Error("PAC entry table (" + std::to_string(count) + " entries at " + std::to_string(listAt) +
                ") does not fit the file");
  log("PAC " + pac.version + ": product \"" + pac.product + "\", firmware \"" + pac.firmware + "\", " +
      std::to_string(count) + " entries");
  if (pac.hasMagic) {
    const uint16_t c1 = Crc16(0, h, 2120);
    if (c1 != pac.crc1) throw Error("PAC header CRC mismatch (stored " + std::to_string(pac.crc1) + ", computed " + std::to_string(c1) + ")");
    log("Header CRC-16 ok");
  }
  std::vector<rk::Piece> pieces;
  std::vector<std::string> names;
  for (uint32_t i = 0; i < count; ++i) {
    uint8_t e[kEntrySize];
    in.ReadAt(listAt + uint64_t(i) * kEntrySize, e, sizeof e);
    if (Get32(e) != kEntrySize) throw Error("PAC entry " + std::to_string(i) + " has the length " + std::to_string(Get32(e)));
    Entry en;
    en.id = Utf16Field(e + 4, 256);
    en.fileName = Utf16Field(e + 516, 256);
    en.size = (uint64_t(Get32(e + 1532)) << 32) | Get32(e + 1540);
    en.offset = (uint64_t(Get32(e + 1536)) << 32) | Get32(e + 1552);
    en.fileFlag = Get32(e + 1544);
    if (en.size == 0 || en.fileName.empty()) {
      log("  " + en.id + ": no data");
      continue;
    }
    if (!IsSafeName(en.fileName)) throw Error("PAC entry " + en.id + " has an unsafe file name: " + en.fileName);
    if (en.offset > in.size() || en.size > in.size() - en.offset)
      throw Error("PAC entry " + en.id + " (" + en.fileName + ") lies past the end of the file");
    auto same = std::find(names.begin(), names.end(), en.fileName);
    if (same != names.end()) {
      const rk::Piece& p = pieces[static_cast<size_t>(same - names.begin())];
      if (p.offset != en.offset || p.length != en.size)
        throw Error("PAC file " + en.fileName + " is named twice with different data");
      continue;
    }
    names.push_back(en.fileName);
    pieces.push_back({en.offset, en.size, rk::JoinPath(dir, en.fileName)});
    log("  " + en.id + ": " + en.fileName + " (" + std::to_string(en.size) + " bytes)");
  }
  rk::MakeFolder(dir);
  // The data CRC covers everything after the header; it is summed while the files are copied.
  std::vector<uint8_t> buf(4u << 20);
  std::vector<rk::File> out(pieces.size());
  try {
    for (size_t i = 0; i < pieces.size(); ++i) out[i].Create(pieces[i].path);
    uint16_t crc2 = 0;
    for (uint64_t at = 0; at < in.size();) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), in.size() - at));
      in.ReadAt(at, buf.data(), n);
      const uint64_t to = at + n;
      if (to > kHeaderSize) {
        const uint64_t a = std::max(at, kHeaderSize);
        crc2 = Crc16(crc2, buf.data() + (a - at), static_cast<size_t>(to - a));
      }
      for (size_t i = 0; i < pieces.size(); ++i) {
        const uint64_t a = std::max(at, pieces[i].offset), b = std::min(to, pieces[i].offset + pieces[i].length);
        if (a < b) out[i].WriteAt(a - pieces[i].offset, buf.data() + (a - at), static_cast<size_t>(b - a));
      }
      at = to;
    }
    for (rk::File& f : out) f.Close();
    if (pac.hasMagic) {
      if (crc2 != pac.crc2)
        throw Error("PAC data CRC mismatch (stored " + std::to_string(pac.crc2) + ", computed " + std::to_string(crc2) + ")");
      log("Data CRC-16 ok");
    }
  } catch (...) {
    for (const rk::Piece& p : pieces) rk::RemovePath(p.path);
    throw;
  }
}

}  // namespace orvex::pac
