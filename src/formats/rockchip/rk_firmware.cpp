// RKAF firmware images (the partition images with package-file and parameter) and the RKFW
// update image around them (header, loader, RKAF, MD5 text).
#include <algorithm>
#include <cstring>

#include "rockchip.h"

namespace orvex::rk {

namespace {

constexpr uint64_t kRkafHeader = 2048, kRkafAlign = 2048, kEntrySize = 0x70, kMaxEntries = 16;
constexpr uint64_t kRkfwHeader = 0x66;
constexpr size_t kParmMax = 2036;

std::string Trim(const std::string& s) {
  const size_t a = s.find_first_not_of(" \t\r\n");
  if (a == std::string::npos) return "";
  return s.substr(a, s.find_last_not_of(" \t\r\n") - a + 1);
}

std::string TrimmedHex(const uint8_t* p, size_t n) {
  while (n && p[n - 1] == 0) --n;
  return Hex(std::string_view(reinterpret_cast<const char*>(p), n));
}

void PutField(uint8_t* p, size_t size, const std::string& text, const char* what) {
  if (text.size() > size) throw Error(std::string(what) + " too long: " + text);
  std::memcpy(p, text.data(), text.size());
}

void PutHexField(uint8_t* p, size_t size, const std::string& hex) {
  const std::string b = Unhex(hex);
  if (b.size() > size) throw Error("reserved bytes too long in the .cfg");
  std::memcpy(p, b.data(), b.size());
}

std::string Num(uint64_t v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
  return buf;
}

// Reads the RKAF at [base, base + span) of the input: writes its groups into cfg and the parts to
// copy into pieces (the parameter is unwrapped and written here). Returns the length field.
uint64_t ReadRkaf(const File& in, uint64_t base, uint64_t span, const std::string& dump, Cfg& cfg,
                  std::vector<Piece>& pieces, std::vector<std::string>& used, const Log& log) {
  if (span < kRkafHeader + 4) throw Error("RKAF image too short");
  uint8_t h[kRkafHeader];
  in.ReadAt(base, h, sizeof h);
  if (std::memcmp(h, "RKAF", 4) != 0) throw Error("no RKAF image where the header says");
  const uint64_t length = Get32(h + 4);
  if (length + 4 > span || length < kRkafHeader) throw Error("RKAF length " + std::to_string(length) + " does not fit its space of " + std::to_string(span) + " bytes");
  const uint32_t count = Get32(h + 0x88);
  if (count > kMaxEntries) throw Error("RKAF holds " + std::to_string(count) + " entries, at most 16 fit");
  cfg.Add("rkaf", "model", EscapeCfg(FieldText(h + 0x08, 34)));
  cfg.Add("rkaf", "id", EscapeCfg(FieldText(h + 0x2A, 30)));
  cfg.Add("rkaf", "manufacturer", EscapeCfg(FieldText(h + 0x48, 56)));
  cfg.AddNum("rkaf", "unknown1", Get32(h + 0x80));
  cfg.AddNum("rkaf", "version", Get32(h + 0x84));
  cfg.AddNum("rkaf", "length", length);
  cfg.Add("rkaf", "reserved", TrimmedHex(h + 0x78C, 116));
  std::string paramVersion;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* e = h + 0x8C + i * kEntrySize;
    const std::string name = FieldText(e, 32), file = FieldText(e + 0x20, 60);
    const uint32_t nandSize = Get32(e + 0x5C), pos = Get32(e + 0x60), nandAddr = Get32(e + 0x64),
                   padded = Get32(e + 0x68), size = Get32(e + 0x6C);
    std::string type = "data";
    if (file == "SELF") type = "self";
    else if (file == "RESERVED") type = "reserved";
    else if (file.empty()) type = "none";
    if (type == "data") {
      if (!IsSafeRelPath(file)) throw Error("RKAF entry " + name + " has an unsafe file name: " + file);
      if (pos < kRkafHeader || pos > length || size > length - pos)
        throw Error("RKAF entry " + name + " lies outside the image (at " + std::to_string(pos) + ", " + std::to_string(size) + " bytes)");
      if (std::find(used.begin(), used.end(), file) != used.end()) throw Error("RKAF file named twice: " + file);
      used.push_back(file);
      MakeParents(dump, file);
      uint8_t tag[4] = {};
      if (size >= 12) in.ReadAt(base + pos, tag, 4);
      if (name == "parameter" && std::memcmp(tag, "PARM", 4) == 0) {
        type = "parm";
        uint8_t l[4];
        in.ReadAt(base + pos + 4, l, 4);
        const uint32_t textLen = Get32(l);
        if (uint64_t(textLen) + 12 > size) throw Error("the parameter's length runs past its entry");
        const std::string text = in.ReadString(base + pos + 8, textLen);
        uint8_t c[4];
        in.ReadAt(base + pos + 8 + textLen, c, 4);
        if (RkCrc(0, text.data(), text.size()) != Get32(c)) throw Error("parameter: CRC mismatch");
        WriteWhole(JoinPath(dump, file), text);
        paramVersion = ParameterValue(text, "FIRMWARE_VER");
      } else {
        pieces.push_back({base + pos, size, JoinPath(dump, file)});
      }
      log("  " + name + " -> " + file + " (" + std::to_string(size) + " bytes)");
    }
    cfg.Add("entries", "entry", JoinFields({name, file, type, Num(nandAddr), Num(nandSize), Num(pos), Num(padded), Num(size)}));
  }
  cfg.Add("rkaf", "parameter_version", EscapeCfg(paramVersion));
  return length;
}

struct PlanEntry {
  std::string name, file, type;
  uint32_t nandAddr, nandSize, pos, padded, size;
  uint32_t oldPos, oldSize;
  std::string src, blob;  // blob: the wrapped parameter
};

struct RkafPlan {
  uint8_t header[kRkafHeader] = {};
  std::vector<PlanEntry> entries;
  uint64_t length = 0;  // without the CRC
};

RkafPlan PlanRkaf(const Cfg& cfg, const std::string& dump, const Log& log) {
  RkafPlan plan;
  uint8_t* h = plan.header;
  std::memcpy(h, "RKAF", 4);
  PutField(h + 0x08, 34, UnescapeCfg(cfg.GetOr("rkaf", "model", "")), "model");
  PutField(h + 0x2A, 30, UnescapeCfg(cfg.GetOr("rkaf", "id", "")), "id");
  PutField(h + 0x48, 56, UnescapeCfg(cfg.GetOr("rkaf", "manufacturer", "")), "manufacturer");
  Put32(h + 0x80, static_cast<uint32_t>(cfg.NumOr("rkaf", "unknown1", 0)));
  uint32_t version = static_cast<uint32_t>(cfg.NumOr("rkaf", "version", 0));
  PutHexField(h + 0x78C, 116, cfg.GetOr("rkaf", "reserved", ""));

  std::string paramText;
  bool sizesChanged = false;
  for (const std::string& line : cfg.All("entries", "entry")) {
    const auto f = SplitFields(line);
    if (f.size() != 8) throw Error("bad entry line in the .cfg: " + line);
    PlanEntry e{f[0], f[1], f[2],
                static_cast<uint32_t>(ParseNum(f[3], "nand_addr")), static_cast<uint32_t>(ParseNum(f[4], "nand_size")),
                static_cast<uint32_t>(ParseNum(f[5], "pos")), static_cast<uint32_t>(ParseNum(f[6], "padded")),
                static_cast<uint32_t>(ParseNum(f[7], "size")), 0, 0, "", ""};
    e.oldPos = e.pos;
    e.oldSize = e.size;
    if (e.type == "data" || e.type == "parm") {
      if (!IsSafeRelPath(e.file)) throw Error("bad file name in the .cfg: " + e.file);
      e.src = JoinPath(dump, e.file);
      if (e.type == "parm") {
        paramText = ReadWhole(e.src, kParmMax + 1);
        if (paramText.size() > kParmMax)
          throw Error("the parameter file is " + std::to_string(paramText.size()) + " bytes, at most 2036 fit");
        e.blob.assign(8, '\0');
        std::memcpy(e.blob.data(), "PARM", 4);
        Put32(reinterpret_cast<uint8_t*>(e.blob.data()) + 4, static_cast<uint32_t>(paramText.size()));
        e.blob += paramText;
        uint8_t c[4];
        Put32(c, RkCrc(0, paramText.data(), paramText.size()));
        e.blob.append(reinterpret_cast<char*>(c), 4);
        e.size = static_cast<uint32_t>(e.blob.size());
      } else {
        const uint64_t size = FileSizeOf(e.src);
        if (size > 0xFFFFFFFFu) throw Error(e.file + " is larger than 4 GiB");
        e.size = static_cast<uint32_t>(size);
      }
      if (e.size != e.oldSize) sizesChanged = true;
    } else if (e.type != "self" && e.type != "reserved" && e.type != "none") {
      throw Error("unknown entry type in the .cfg: " + e.type);
    }
    plan.entries.push_back(e);
  }
  if (plan.entries.size() > kMaxEntries) throw Error("more than 16 entries in the .cfg");

  // The parameter's partition table: each image must fit its slot, and the table gives the
  // flash addresses of the entries it names.
  if (!paramText.empty()) {
    const auto parts = ParseMtdParts(paramText);
    for (PlanEntry& e : plan.entries) {
      auto it = std::find_if(parts.begin(), parts.end(), [&](const MtdPart& p) { return p.name == e.name; });
      if (it == parts.end()) continue;
      if (e.type == "data" && !it->grow) {
        const uint64_t bytes = PartitionBytes(e.src), room = it->size * 512;
        if (bytes > room)
          throw Error("partition " + e.name + " does not fit: its image " + e.file + " needs " + std::to_string(bytes) +
                      " bytes, the parameter gives it " + std::to_string(room) + " bytes (" + Num(it->size) +
                      " sectors)");
      }
      if (it->start <= 0xFFFFFFFFu) e.nandAddr = static_cast<uint32_t>(it->start);
      if (!it->grow && it->size <= 0xFFFFFFFFu) e.nandSize = static_cast<uint32_t>(it->size);
    }
    // A firmware version edited in the parameter becomes the image's version.
    const std::string ver = ParameterValue(paramText, "FIRMWARE_VER");
    uint32_t parsed = 0;
    if (ver != UnescapeCfg(cfg.GetOr("rkaf", "parameter_version", "")) && ParseFirmwareVersion(ver, &parsed)) version = parsed;
  }
  Put32(h + 0x84, version);

  // Data in its stored order; each part stays where it stood unless an earlier one grew.
  std::vector<PlanEntry*> data;
  for (PlanEntry& e : plan.entries)
    if (e.type == "data" || e.type == "parm") data.push_back(&e);
  std::stable_sort(data.begin(), data.end(), [](const PlanEntry* a, const PlanEntry* b) { return a->oldPos < b->oldPos; });
  uint64_t cursor = kRkafHeader;
  for (PlanEntry* e : data) {
    const uint64_t pos = std::max<uint64_t>(AlignUp(cursor, kRkafAlign), e->oldPos);
    const uint64_t padded = e->size == e->oldSize ? e->padded : AlignUp(e->size, kRkafAlign);
    if (pos + std::max<uint64_t>(padded, e->size) > 0xFFFFFFFBu) throw Error("the RKAF image would exceed 4 GiB");
    e->pos = static_cast<uint32_t>(pos);
    e->padded = static_cast<uint32_t>(padded);
    cursor = pos + std::max<uint64_t>(AlignUp(e->size, kRkafAlign), padded);
  }
  plan.length = AlignUp(cursor, kRkafAlign);
  if (!sizesChanged) plan.length = std::max<uint64_t>(plan.length, cfg.NumOr("rkaf", "length", 0));
  Put32(h + 4, static_cast<uint32_t>(plan.length));
  Put32(h + 0x88, static_cast<uint32_t>(plan.entries.size()));
  for (size_t i = 0; i < plan.entries.size(); ++i) {
    PlanEntry& e = plan.entries[i];
    if (e.type == "self") {
      e.size = static_cast<uint32_t>(plan.length + 4);
      e.padded = static_cast<uint32_t>(AlignUp(e.size, 512));
    }
    uint8_t* p = h + 0x8C + i * kEntrySize;
    PutField(p, 32, e.name, "entry name");
    PutField(p + 0x20, 60, e.file, "entry file name");
    Put32(p + 0x5C, e.nandSize);
    Put32(p + 0x60, e.pos);
    Put32(p + 0x64, e.nandAddr);
    Put32(p + 0x68, e.padded);
    Put32(p + 0x6C, e.size);
  }
  (void)log;
  return plan;
}

void WriteRkaf(const RkafPlan& plan, SeqWriter& w, const Log& log) {
  const uint64_t base = w.pos();
  w.crc = 0;
  w.crcOn = true;
  w.Write(plan.header, sizeof plan.header);
  std::vector<const PlanEntry*> data;
  for (const PlanEntry& e : plan.entries)
    if (e.type == "data" || e.type == "parm") data.push_back(&e);
  std::sort(data.begin(), data.end(), [](const PlanEntry* a, const PlanEntry* b) { return a->pos < b->pos; });
  for (const PlanEntry* e : data) {
    w.Zeros(base + e->pos - w.pos());
    if (e->type == "parm") w.Write(e->blob.data(), e->blob.size());
    else w.CopyFrom(e->src, e->size);
    log("  " + e->name + " <- " + e->file + " (" + std::to_string(e->size) + " bytes)");
  }
  w.Zeros(base + plan.length - w.pos());
  w.crcOn = false;
  uint8_t c[4];
  Put32(c, w.crc);
  w.Write(c, 4);
}

}  // namespace

// ---- parameter file ---------------------------------------------------------------------------

std::string ParameterValue(const std::string& text, const std::string& key) {
  size_t at = 0;
  while (at < text.size()) {
    size_t nl = text.find('\n', at);
    if (nl == std::string::npos) nl = text.size();
    const std::string line = Trim(text.substr(at, nl - at));
    at = nl + 1;
    if (line.compare(0, key.size(), key) == 0 && line.size() > key.size() && line[key.size()] == ':')
      return Trim(line.substr(key.size() + 1));
  }
  return "";
}

std::vector<MtdPart> ParseMtdParts(const std::string& text) {
  std::vector<MtdPart> out;
  const std::string cmdline = ParameterValue(text, "CMDLINE");
  const size_t m = cmdline.find("mtdparts=");
  if (m == std::string::npos) return out;
  size_t end = cmdline.find_first_of(" \t", m);
  std::string spec = cmdline.substr(m + 9, end == std::string::npos ? end : end - m - 9);
  // One or more devices separated by ';', each "<dev>:<list>".
  size_t dev = 0;
  while (dev < spec.size()) {
    size_t semi = spec.find(';', dev);
    if (semi == std::string::npos) semi = spec.size();
    const std::string one = spec.substr(dev, semi - dev);
    dev = semi + 1;
    const size_t colon = one.find(':');
    if (colon == std::string::npos) continue;
    const std::string list = one.substr(colon + 1);
    size_t at = 0;
    while (at < list.size()) {
      size_t comma = list.find(',', at);
      if (comma == std::string::npos) comma = list.size();
      const std::string item = list.substr(at, comma - at);
      at = comma + 1;
      const size_t atSign = item.find('@'), open = item.find('('), close = item.find(')');
      if (open == std::string::npos || close == std::string::npos || open > close ||
          (atSign != std::string::npos && atSign > open))
        throw Error("parameter: cannot read the partition " + item);
      MtdPart p;
      // "size@start(name)"; without "@start" a partition follows the one before it.
      const std::string size = item.substr(0, atSign == std::string::npos ? open : atSign);
      p.grow = size == "-";
      if (!p.grow) p.size = ParseNum(size, "partition size");
      if (atSign != std::string::npos) p.start = ParseNum(item.substr(atSign + 1, open - atSign - 1), "partition start");
      else if (!out.empty()) p.start = out.back().start + out.back().size;
      p.name = item.substr(open + 1, close - open - 1);
      const size_t flag = p.name.find(':');
      if (flag != std::string::npos) p.name.erase(flag);
      out.push_back(p);
    }
  }
  return out;
}

bool ParseFirmwareVersion(const std::string& text, uint32_t* out) {
  unsigned a = 0, b = 0, c = 0;
  char tail = 0;
  const int n = std::sscanf(text.c_str(), "%u.%u.%u%c", &a, &b, &c, &tail);
  if (n == 2) c = 0;
  else if (n != 3) return false;
  if (a > 255 || b > 255 || c > 0xFFFF) return false;
  *out = a << 24 | b << 16 | c;
  return true;
}

uint64_t PartitionBytes(const std::string& path) {
  File f;
  f.OpenRead(path);
  if (f.size() >= 28) {
    uint8_t h[28];
    f.ReadAt(0, h, 28);
    if (Get32(h) == 0xED26FF3Au && Get16(h + 4) == 1) return uint64_t(Get32(h + 12)) * Get32(h + 16);
  }
  return f.size();
}

// ---- RKAF on its own ----------------------------------------------------------------------------

void UnpackRkaf(const File& in, const std::string& dump, Cfg& cfg, const Log& log) {
  std::vector<Piece> pieces;
  std::vector<std::string> used;
  const uint64_t length = ReadRkaf(in, 0, in.size(), dump, cfg, pieces, used, log);
  StreamSums sums;
  sums.crc = true;
  sums.crcFrom = 0;
  sums.crcTo = length;
  SplitStream(in, length, pieces, &sums);
  uint8_t c[4];
  in.ReadAt(length, c, 4);
  if (Get32(c) != sums.crcValue) throw Error("RKAF image: CRC mismatch");
  if (in.size() > length + 4) log("  warning: " + std::to_string(in.size() - length - 4) + " bytes after the CRC are not kept");
}

void PackRkaf(const Cfg& cfg, const std::string& dump, const std::string& out, const Log& log) {
  const RkafPlan plan = PlanRkaf(cfg, dump, log);
  SeqWriter w(out);
  WriteRkaf(plan, w, log);
  w.Close();
}

// ---- RKFW update image --------------------------------------------------------------------------

void UnpackRkfw(const File& in, const std::string& dump, Cfg& cfg, const Log& log) {
  if (in.size() < kRkfwHeader + 32) throw Error("RKFW image too short");
  uint8_t h[kRkfwHeader];
  in.ReadAt(0, h, sizeof h);
  const uint64_t headLen = Get16(h + 4), loaderOff = Get32(h + 0x19), loaderLen = Get32(h + 0x1D),
                 imageOff = Get32(h + 0x21), imageLen = Get32(h + 0x25);
  if (headLen != kRkfwHeader || loaderOff != kRkfwHeader || imageOff != loaderOff + loaderLen)
    throw Error("RKFW header: unexpected layout (header " + std::to_string(headLen) + ", loader at " +
                std::to_string(loaderOff) + ", image at " + std::to_string(imageOff) + ")");
  if (imageOff > in.size() || imageLen > in.size() - imageOff || in.size() - imageOff - imageLen < 32)
    throw Error("RKFW header: the firmware image runs past the file");
  const uint64_t md5At = imageOff + imageLen;
  const std::string g = "rkfw";
  cfg.AddNum(g, "version", Get32(h + 0x06));
  cfg.AddNum(g, "code", Get32(h + 0x0A));
  cfg.Add(g, "date", std::to_string(Get16(h + 0x0E)) + "-" + std::to_string(h[0x10]) + "-" + std::to_string(h[0x11]) +
                         " " + std::to_string(h[0x12]) + ":" + std::to_string(h[0x13]) + ":" + std::to_string(h[0x14]));
  cfg.AddNum(g, "chip", Get32(h + 0x15));
  cfg.AddNum(g, "unknown1", Get32(h + 0x29));
  cfg.AddNum(g, "unknown2", Get32(h + 0x2D));
  cfg.AddNum(g, "fstype", Get32(h + 0x31));
  cfg.AddNum(g, "backup_endpos", Get32(h + 0x35));
  cfg.Add(g, "reserved", TrimmedHex(h + 0x39, 45));
  const std::string loaderName = "MiniLoaderAll.bin";
  cfg.Add(g, "loader", loaderName);
  std::vector<Piece> pieces{{loaderOff, loaderLen, JoinPath(dump, loaderName)}};
  std::vector<std::string> used{loaderName};
  log("  loader -> " + loaderName + " (" + std::to_string(loaderLen) + " bytes)");
  const uint64_t length = ReadRkaf(in, imageOff, imageLen, dump, cfg, pieces, used, log);
  if (length + 4 != imageLen) throw Error("RKFW: the RKAF length does not match the header's image length");
  Digest md5(Digest::kMd5);
  StreamSums sums;
  sums.md5 = &md5;
  sums.md5End = md5At;
  sums.crc = true;
  sums.crcFrom = imageOff;
  sums.crcTo = imageOff + length;
  SplitStream(in, md5At, pieces, &sums);
  uint8_t c[4];
  in.ReadAt(imageOff + length, c, 4);
  if (Get32(c) != sums.crcValue) throw Error("RKAF image: CRC mismatch");
  std::string stored = in.ReadString(md5At, 32);
  for (char& ch : stored) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  if (stored != Hex(md5.Final())) throw Error("RKFW image: MD5 mismatch");
  if (in.size() > md5At + 32) log("  warning: " + std::to_string(in.size() - md5At - 32) + " bytes after the MD5 are not kept");
}

void PackRkfw(const Cfg& cfg, const std::string& dump, const std::string& out, const Log& log) {
  const std::string g = "rkfw";
  const std::string loaderName = cfg.Get(g, "loader");
  if (!IsSafeRelPath(loaderName)) throw Error("bad loader name in image.cfg: " + loaderName);
  const std::string loader = JoinPath(dump, loaderName);
  const uint64_t loaderLen = FileSizeOf(loader);
  const RkafPlan plan = PlanRkaf(cfg, dump, log);
  const uint64_t imageLen = plan.length + 4;
  if (kRkfwHeader + loaderLen + imageLen > 0xFFFFFFFFu) throw Error("the update image would exceed 4 GiB");
  uint8_t h[kRkfwHeader] = {};
  std::memcpy(h, "RKFW", 4);
  Put16(h + 4, kRkfwHeader);
  // The update image carries the firmware's version; a version kept from the unpack stays while
  // the firmware's own is unchanged.
  const uint32_t rkafVersion = Get32(plan.header + 0x84);
  Put32(h + 6, rkafVersion == cfg.NumOr("rkaf", "version", rkafVersion) ? static_cast<uint32_t>(cfg.NumOr(g, "version", rkafVersion))
                                                                       : rkafVersion);
  Put32(h + 0x0A, static_cast<uint32_t>(cfg.Num(g, "code")));
  unsigned y = 0, mo = 0, d = 0, hh = 0, mi = 0, s = 0;
  if (std::sscanf(cfg.Get(g, "date").c_str(), "%u-%u-%u %u:%u:%u", &y, &mo, &d, &hh, &mi, &s) != 6 || y > 0xFFFF ||
      mo > 255 || d > 255 || hh > 255 || mi > 255 || s > 255)
    throw Error("image.cfg: bad date " + cfg.Get(g, "date"));
  Put16(h + 0x0E, static_cast<uint16_t>(y));
  h[0x10] = static_cast<uint8_t>(mo);
  h[0x11] = static_cast<uint8_t>(d);
  h[0x12] = static_cast<uint8_t>(hh);
  h[0x13] = static_cast<uint8_t>(mi);
  h[0x14] = static_cast<uint8_t>(s);
  Put32(h + 0x15, static_cast<uint32_t>(cfg.Num(g, "chip")));
  Put32(h + 0x19, kRkfwHeader);
  Put32(h + 0x1D, static_cast<uint32_t>(loaderLen));
  Put32(h + 0x21, static_cast<uint32_t>(kRkfwHeader + loaderLen));
  Put32(h + 0x25, static_cast<uint32_t>(imageLen));
  Put32(h + 0x29, static_cast<uint32_t>(cfg.NumOr(g, "unknown1", 0)));
  Put32(h + 0x2D, static_cast<uint32_t>(cfg.NumOr(g, "unknown2", 0)));
  Put32(h + 0x31, static_cast<uint32_t>(cfg.NumOr(g, "fstype", 0)));
  Put32(h + 0x35, static_cast<uint32_t>(cfg.NumOr(g, "backup_endpos", 0)));
  PutHexField(h + 0x39, 45, cfg.GetOr(g, "reserved", ""));
  Digest md5(Digest::kMd5);
  SeqWriter w(out);
  w.StartMd5(&md5);
  w.Write(h, sizeof h);
  w.CopyFrom(loader, loaderLen);
  log("  loader <- " + loaderName + " (" + std::to_string(loaderLen) + " bytes)");
  WriteRkaf(plan, w, log);
  w.StopMd5();
  const std::string hex = Hex(md5.Final());
  w.Write(hex.data(), hex.size());
  w.Close();
}

}  // namespace orvex::rk
