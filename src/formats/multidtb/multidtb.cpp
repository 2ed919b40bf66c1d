#include "multidtb.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <tuple>

namespace orvex::multidtb {

namespace {

uint32_t LE32(std::string_view d, size_t off) {
  const auto* p = reinterpret_cast<const unsigned char*>(d.data() + off);
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint32_t BE32(std::string_view d, size_t off) {
  const auto* p = reinterpret_cast<const unsigned char*>(d.data() + off);
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

void PutLE32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

// Id fields are space-padded and stored with every 4-byte group byte-reversed.
std::string DecodeId(std::string_view field) {
  std::string s(field);
  for (size_t i = 0; i + 4 <= s.size(); i += 4) std::reverse(s.begin() + i, s.begin() + i + 4);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  // A NUL inside the field ends the text, as the boot loader reads it.
  size_t nul = s.find('\0');
  if (nul != std::string::npos) s.resize(nul);
  return s;
}

void EncodeId(std::string& out, const std::string& id, uint32_t len) {
  std::string s = id;
  s.resize(len, ' ');
  for (size_t i = 0; i + 4 <= s.size(); i += 4) std::reverse(s.begin() + i, s.begin() + i + 4);
  out += s;
}

constexpr uint32_t kFdtHeaderSize = 40;
constexpr uint32_t kBeginNode = 1, kProp = 3, kNop = 4;

}  // namespace

uint32_t IdLength(uint32_t version) { return version == 1 ? 4 : 16; }
uint32_t EntrySize(uint32_t version) { return 3 * IdLength(version) + 8; }

bool IsContainer(std::string_view d) { return d.size() >= 4 && d.substr(0, 4) == "AML_"; }
bool IsFdt(std::string_view d) { return d.size() >= 4 && BE32(d, 0) == kFdtMagic; }
bool IsGzip(std::string_view d) {
  return d.size() >= 2 && static_cast<unsigned char>(d[0]) == 0x1F && static_cast<unsigned char>(d[1]) == 0x8B;
}

uint32_t CheckFdt(std::string_view fdt) {
  if (fdt.size() < kFdtHeaderSize) throw Error("device tree shorter than its header");
  if (BE32(fdt, 0) != kFdtMagic) throw Error("no device-tree magic (d00dfeed)");
  const uint32_t total = BE32(fdt, 4);
  if (total < kFdtHeaderSize || total > fdt.size())
    throw Error("device tree size " + std::to_string(total) + " does not fit the " + std::to_string(fdt.size()) +
                " bytes it was given");
  const uint32_t offStruct = BE32(fdt, 8), offStrings = BE32(fdt, 12), offRsv = BE32(fdt, 16);
  const uint32_t version = BE32(fdt, 20);
  if (offStruct >= total || offStrings > total || offRsv >= total)
    throw Error("device-tree blocks point past the tree");
  if (version >= 17) {
    const uint64_t sizeStrings = BE32(fdt, 32), sizeStruct = BE32(fdt, 36);
    if (offStruct + sizeStruct > total || offStrings + sizeStrings > total)
      throw Error("device-tree blocks run past the tree");
  }
  return total;
}

bool RootStringProperty(std::string_view fdt, std::string_view name, std::string* value) {
  const uint32_t total = CheckFdt(fdt);
  const uint32_t version = BE32(fdt, 20);
  uint64_t pos = BE32(fdt, 8);
  uint64_t end = total;
  if (version >= 17) end = std::min<uint64_t>(end, pos + BE32(fdt, 36));
  const uint64_t strings = BE32(fdt, 12);
  const uint64_t stringsEnd = version >= 17 ? std::min<uint64_t>(total, strings + BE32(fdt, 32)) : total;
  auto token = [&]() -> uint32_t {
    if (pos + 4 > end) throw Error("device-tree structure ends early");
    uint32_t t = BE32(fdt, pos);
    pos += 4;
    return t;
  };
  uint32_t t = token();
  while (t == kNop) t = token();
  if (t != kBeginNode) throw Error("device-tree structure does not start with the root node");
  // The root node's name: an empty string, padded to 4 bytes.
  size_t nul = fdt.find('\0', pos);
  if (nul == std::string_view::npos || nul >= end) throw Error("device-tree node name runs past the structure");
  pos = (nul + 1 + 3) & ~uint64_t(3);
  for (;;) {
    t = token();
    if (t == kNop) continue;
    if (t != kProp) return false;  // a child node, the end of the root, or the end
    const uint32_t len = token();
    const uint32_t nameOff = token();
    if (len > end - pos) throw Error("device-tree property runs past the structure");
    const uint64_t nameAt = strings + nameOff;
    if (nameAt >= stringsEnd) throw Error("device-tree property name points past the strings");
    size_t nameEnd = fdt.find('\0', nameAt);
    if (nameEnd == std::string_view::npos || nameEnd >= stringsEnd)
      throw Error("device-tree property name runs past the strings");
    if (fdt.substr(nameAt, nameEnd - nameAt) == name) {
      std::string v(fdt.substr(pos, len));
      while (!v.empty() && v.back() == '\0') v.pop_back();
      *value = v;
      return true;
    }
    pos = (pos + len + 3) & ~uint64_t(3);
  }
}

Container Parse(std::string_view d) {
  if (!IsContainer(d)) throw Error("not a multi-DTB container (no AML_ header)");
  if (d.size() < 12) throw Error("container shorter than its header");
  Container c;
  c.version = LE32(d, 4);
  if (c.version != 1 && c.version != 2) throw Error("unknown container version " + std::to_string(c.version));
  const uint32_t count = LE32(d, 8);
  if (count == 0) throw Error("container holds no device tree");
  if (count > kMaxEntries) throw Error("container claims " + std::to_string(count) + " device trees");
  const uint32_t idLen = IdLength(c.version), entrySize = EntrySize(c.version);
  const uint64_t tableEnd = 12 + uint64_t(count) * entrySize;
  if (tableEnd > d.size()) throw Error("entry table of " + std::to_string(count) + " entries runs past the file");
  for (uint32_t i = 0; i < count; ++i) {
    const size_t at = 12 + size_t(i) * entrySize;
    Entry e;
    e.soc = DecodeId(d.substr(at, idLen));
    e.plat = DecodeId(d.substr(at + idLen, idLen));
    e.vari = DecodeId(d.substr(at + 2 * idLen, idLen));
    e.offset = LE32(d, at + 3 * idLen);
    e.size = LE32(d, at + 3 * idLen + 4);
    const std::string which = "entry " + std::to_string(i + 1);
    if (e.offset < tableEnd) throw Error(which + ": offset " + std::to_string(e.offset) + " lies inside the header");
    if (uint64_t(e.offset) + e.size > d.size())
      throw Error(which + ": offset " + std::to_string(e.offset) + " size " + std::to_string(e.size) +
                  " run past the end of the file (" + std::to_string(d.size()) + " bytes)");
    try {
      e.fdtSize = CheckFdt(d.substr(e.offset, e.size));
    } catch (const Error& err) {
      throw Error(which + ": " + err.what());
    }
    c.entries.push_back(std::move(e));
  }
  return c;
}

std::string_view TreeBytes(std::string_view data, const Entry& e) { return data.substr(e.offset, e.fdtSize); }

bool SplitDtId(std::string_view id, std::string* soc, std::string* plat, std::string* vari) {
  size_t a = id.find('_');
  if (a == std::string_view::npos) return false;
  size_t b = id.find('_', a + 1);
  if (b == std::string_view::npos) return false;
  *soc = std::string(id.substr(0, a));
  *plat = std::string(id.substr(a + 1, b - a - 1));
  *vari = std::string(id.substr(b + 1));
  return true;
}

std::string TreeFileName(const Entry& e) {
  std::string base = e.soc + "-" + e.plat + "-" + e.vari;
  for (char& c : base) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                    c == '_' || c == '+' || c == '-';
    if (!ok) c = '_';
  }
  if (base.find_first_not_of('.') == std::string::npos) base = "dtb" + base;
  // A leading dot would hide the file and a leading '-' reads as an option to the next tool.
  if (base[0] == '.' || base[0] == '-') base.insert(base.begin(), '_');
  return base + ".dtb";
}

uint64_t PaddedLength(uint64_t length, uint32_t pageSize) { return length + (pageSize - length % pageSize); }

std::string Build(std::vector<Tree> trees, const Layout& layout) {
  if (layout.version != 1 && layout.version != 2) throw Error("unknown container version " + std::to_string(layout.version));
  if (layout.pageSize < 16 || layout.pageSize > (1u << 20) || (layout.pageSize & (layout.pageSize - 1)) != 0)
    throw Error("page size must be a power of two between 16 and 1048576");
  if (trees.empty()) throw Error("no device tree to pack");
  if (trees.size() > kMaxEntries) throw Error("too many device trees (" + std::to_string(trees.size()) + ")");
  const uint32_t idLen = IdLength(layout.version);
  for (const Tree& t : trees) {
    for (const std::string* id : {&t.soc, &t.plat, &t.vari})
      if (id->size() > idLen)
        throw Error(t.source + ": id \"" + *id + "\" is longer than " + std::to_string(idLen) + " bytes");
    CheckFdt(t.fdt);
  }
  std::sort(trees.begin(), trees.end(), [](const Tree& a, const Tree& b) {
    return std::tie(a.soc, a.plat, a.vari) < std::tie(b.soc, b.plat, b.vari);
  });
  for (size_t i = 1; i < trees.size(); ++i)
    if (std::tie(trees[i].soc, trees[i].plat, trees[i].vari) ==
        std::tie(trees[i - 1].soc, trees[i - 1].plat, trees[i - 1].vari))
      throw Error(trees[i - 1].source + " and " + trees[i].source + " have the same id " + trees[i].soc + "_" +
                  trees[i].plat + "_" + trees[i].vari);

  const uint64_t headerLen = 12 + uint64_t(trees.size()) * EntrySize(layout.version) + 4;
  uint64_t offset = PaddedLength(headerLen, layout.pageSize);
  std::string out;
  out += "AML_";
  PutLE32(out, layout.version);
  PutLE32(out, static_cast<uint32_t>(trees.size()));
  std::vector<uint64_t> slots;
  for (const Tree& t : trees) {
    const uint64_t slot = PaddedLength(t.fdt.size(), layout.pageSize);
    if (offset + slot > 0xFFFFFFFFull) throw Error("container would exceed 4 GiB");
    EncodeId(out, t.soc, idLen);
    EncodeId(out, t.plat, idLen);
    EncodeId(out, t.vari, idLen);
    PutLE32(out, static_cast<uint32_t>(offset));
    PutLE32(out, static_cast<uint32_t>(slot));
    slots.push_back(slot);
    offset += slot;
  }
  PutLE32(out, 0);
  out.resize(PaddedLength(headerLen, layout.pageSize), '\0');
  for (size_t i = 0; i < trees.size(); ++i) {
    out += trees[i].fdt;
    out.resize(out.size() + (slots[i] - trees[i].fdt.size()), '\0');
  }
  return out;
}

std::string Gunzip(std::string_view data, uint64_t limit) {
  z_stream zs;
  std::memset(&zs, 0, sizeof zs);
  if (inflateInit2(&zs, 15 + 16) != Z_OK) throw Error("cannot start decompression");
  std::string out;
  const size_t kChunk = 1 << 16;
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  zs.avail_in = static_cast<uInt>(std::min<size_t>(data.size(), 0x7FFFFFFF));
  int rc = Z_OK;
  for (;;) {
    const size_t have = out.size();
    out.resize(have + kChunk);
    zs.next_out = reinterpret_cast<Bytef*>(out.data() + have);
    zs.avail_out = kChunk;
    rc = inflate(&zs, Z_NO_FLUSH);
    out.resize(have + (kChunk - zs.avail_out));
    if (out.size() > limit) {
      inflateEnd(&zs);
      throw Error("gzip data expands past " + std::to_string(limit >> 20) + " MiB; refused");
    }
    if (rc == Z_STREAM_END) {
      // Another member may follow; trailing zero bytes end the data as gzip itself allows.
      if (zs.avail_in >= 2 && zs.next_in[0] == 0x1F && zs.next_in[1] == 0x8B) {
        inflateReset(&zs);
        continue;
      }
      break;
    }
    if (rc == Z_BUF_ERROR && zs.avail_in == 0) {
      inflateEnd(&zs);
      throw Error("gzip data ends early");
    }
    if (rc != Z_OK && rc != Z_BUF_ERROR) {
      inflateEnd(&zs);
      throw Error(std::string("gzip data is corrupt") + (zs.msg ? std::string(" (") + zs.msg + ")" : ""));
    }
  }
  inflateEnd(&zs);
  return out;
}

}  // namespace orvex::multidtb

namespace orvex::multidtb {

std::string LayoutText(uint32_t version, uint32_t pageSize) {
  return "Version: " + (version == 0 ? std::string("none") : std::to_string(version)) + "\r\nPageSize: " +
         std::to_string(pageSize) + "\r\n";
}

bool ParseLayoutText(std::string_view text, uint32_t* version, uint32_t* pageSize) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    std::string_view line = text.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
    pos = end == std::string_view::npos ? text.size() : end + 1;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view key = line.substr(0, colon), value = line.substr(colon + 1);
    while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    auto number = [](std::string_view v, uint32_t* out) {
      if (v.empty() || v.size() > 9 || v.find_first_not_of("0123456789") != std::string_view::npos) return false;
      *out = static_cast<uint32_t>(std::stoul(std::string(v)));
      return true;
    };
    if (key == "Version") {
      if (value == "none") *version = 0;
      else if (!number(value, version) || (*version != 1 && *version != 2)) return false;
    } else if (key == "PageSize") {
      if (!number(value, pageSize) || *pageSize < 16 || *pageSize > (1u << 20) || (*pageSize & (*pageSize - 1)))
        return false;
    }
  }
  return true;
}

uint32_t GuessPageSize(const Container& c) {
  const uint64_t headerLen = 12 + uint64_t(c.entries.size()) * EntrySize(c.version) + 4;
  uint32_t first = 0xFFFFFFFF;
  for (const Entry& e : c.entries) first = std::min(first, e.offset);
  for (uint32_t page = 1u << 16; page >= 16; page >>= 1) {
    bool fits = PaddedLength(headerLen, page) == first;
    for (const Entry& e : c.entries) fits = fits && e.size % page == 0 && e.offset % page == 0;
    if (fits) return page;
  }
  return kDefaultPageSize;
}

}  // namespace orvex::multidtb
