#include "burn_image.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <set>

#include "aml_common.h"

namespace orvex::aml {

namespace {

constexpr uint32_t kSparseMagic = 0xED26FF3A;
constexpr size_t kVerifySize = 48;  // "sha1sum " + 40 hex digits

std::string Num(uint64_t v) { return std::to_string(v); }

bool Fail(std::string* error, const std::string& text) {
  *error = text;
  return false;
}

bool IsEncItem(const std::string& main, const std::string& sub) {
  return main == "USB" && sub.size() >= 4 && sub.compare(sub.size() - 4, 4, "_ENC") == 0;
}

const char* FileTypeName(uint32_t t) {
  switch (t) {
    case kFileTypeNormal: return "normal";
    case kFileTypeSparse: return "sparse";
    case kFileTypeUbi: return "ubi";
    case kFileTypeUbifs: return "ubifs";
    default: return nullptr;
  }
}

bool ParseFileType(const std::string& text, uint32_t* out) {
  const std::string t = ToLowerAscii(text);
  for (uint32_t v : {kFileTypeNormal, kFileTypeSparse, kFileTypeUbi, kFileTypeUbifs})
    if (t == FileTypeName(v)) {
      *out = v;
      return true;
    }
  if (t.size() > 2 && t.size() <= 10 && t.compare(0, 2, "0x") == 0) {
    char* end = nullptr;
    unsigned long v = std::strtoul(t.c_str() + 2, &end, 16);
    if (end && *end == 0) {
      *out = static_cast<uint32_t>(v);
      return true;
    }
  }
  return false;
}

std::string HexType(uint32_t t) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%X", t);
  return b;
}

}  // namespace

bool ParseBurnTable(const uint8_t* data, size_t len, uint64_t fileSize, BurnTable* table, size_t* needed,
                    std::string* error) {
  *needed = 0;
  if (len < kBurnHeaderSize || fileSize < kBurnHeaderSize) return Fail(error, "file too short for a burn image header");
  if (Get32(data + 8) != kBurnMagic) return Fail(error, "not an Amlogic burn image (magic missing)");
  BurnTable t;
  t.crc = Get32(data);
  t.version = Get32(data + 4);
  t.imageSize = Get64(data + 12);
  t.align = Get32(data + 20);
  const uint32_t count = Get32(data + 24);
  if (t.version != 1 && t.version != 2) return Fail(error, "unknown item table version " + Num(t.version));
  if (t.imageSize != fileSize)
    return Fail(error, "image size in the header (" + Num(t.imageSize) + ") differs from the file size (" +
                           Num(fileSize) + ")");
  if (count == 0 || count > kBurnMaxItems) return Fail(error, "implausible item count " + Num(count));
  const size_t entry = BurnEntrySize(t.version);
  const size_t typeField = BurnTypeFieldSize(t.version);
  const uint64_t tableEnd = kBurnHeaderSize + static_cast<uint64_t>(count) * entry;
  if (tableEnd > fileSize) return Fail(error, "item table (" + Num(count) + " items) runs past the end of the file");
  if (len < tableEnd) {
    *needed = static_cast<size_t>(tableEnd);
    return Fail(error, "item table not read");
  }
  std::set<std::string> names;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* e = data + kBurnHeaderSize + static_cast<size_t>(i) * entry;
    BurnItem it;
    it.id = Get32(e);
    it.fileType = Get32(e + 4);
    it.currentOffset = Get64(e + 8);
    it.offset = Get64(e + 16);
    it.size = Get64(e + 24);
    const size_t tail = 32 + 2 * typeField;
    it.verify = Get32(e + tail);
    it.isBackup = Get16(e + tail + 4);
    it.backupId = Get16(e + tail + 6);
    const std::string where = "item " + Num(i);
    if (!FieldText(e + 32, typeField, &it.mainType) || !FieldText(e + 32 + typeField, typeField, &it.subType))
      return Fail(error, where + ": type name without an end");
    if (!IsSafeItemName(it.mainType) || !IsSafeItemName(it.subType))
      return Fail(error, where + ": unsafe item name \"" + it.subType + "." + it.mainType + "\"");
    if (it.offset > fileSize || it.size > fileSize - it.offset)
      return Fail(error, where + " (" + it.FileName() + "): data at " + Num(it.offset) + " size " + Num(it.size) +
                             " runs past the end of the file");
    if (it.size > 0 && it.offset < tableEnd)
      return Fail(error, where + " (" + it.FileName() + "): data overlaps the item table");
    if (it.isBackup) {
      if (it.backupId >= i) return Fail(error, where + ": backup of a later item " + Num(it.backupId));
      const BurnItem& src = t.items[it.backupId];
      if (src.offset != it.offset || src.size != it.size)
        return Fail(error, where + ": backup item does not match the data of item " + Num(it.backupId));
    }
    if (it.IsVerifyItem()) {
      if (i == 0 || t.items[i - 1].verify != 1 || t.items[i - 1].subType != it.subType)
        return Fail(error, where + ": VERIFY item without its partition item");
      if (it.size != kVerifySize) return Fail(error, where + ": VERIFY item of size " + Num(it.size));
    } else {
      if (i > 0 && t.items[i - 1].verify == 1)
        return Fail(error, "item " + Num(i - 1) + " (" + t.items[i - 1].FileName() + "): its VERIFY item is missing");
      const std::string fname = it.FileName();
      if (ToLowerAscii(fname) == "image.cfg") return Fail(error, where + ": item named image.cfg");
      if (!names.insert(ToLowerAscii(fname)).second) return Fail(error, where + ": second item named " + fname);
    }
    t.items.push_back(std::move(it));
  }
  if (t.items.back().verify == 1) return Fail(error, "last item: its VERIFY item is missing");
  *table = std::move(t);
  return true;
}

// ----- image.cfg -----

bool ParseBurnConfig(std::string_view text, BurnConfig* cfg, std::string* error) {
  BurnConfig c;
  std::string section;
  int lineNo = 0;
  size_t pos = 0;
  bool layoutOrderSeen = false;
  while (pos <= text.size()) {
    size_t eol = text.find('\n', pos);
    if (eol == std::string_view::npos) eol = text.size();
    std::string line(text.substr(pos, eol - pos));
    pos = eol + 1;
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (lineNo == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
    // Comments start with '#' outside quotes.
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
      if (line[i] == '"') quoted = !quoted;
      if (line[i] == '#' && !quoted) {
        line.resize(i);
        break;
      }
    }
    size_t a = line.find_first_not_of(" \t");
    if (a == std::string::npos) continue;
    line = line.substr(a, line.find_last_not_of(" \t") + 1 - a);
    const std::string where = "image.cfg line " + std::to_string(lineNo);
    if (line.front() == '[') {
      if (line.back() != ']') return Fail(error, where + ": unclosed section name");
      section = ToLowerAscii(line.substr(1, line.size() - 2));
      continue;
    }
    // key="value" pairs (blanks tolerated around '='), or key=value in the layout section.
    std::map<std::string, std::string> kv;
    size_t i = 0;
    while (i < line.size()) {
      while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
      if (i >= line.size()) break;
      size_t eq = line.find('=', i);
      if (eq == std::string::npos) return Fail(error, where + ": expected key=\"value\"");
      std::string key = line.substr(i, eq - i);
      while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) key.pop_back();
      i = eq + 1;
      while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
      std::string value;
      if (i < line.size() && line[i] == '"') {
        size_t close = line.find('"', i + 1);
        if (close == std::string::npos) return Fail(error, where + ": unclosed quote");
        value = line.substr(i + 1, close - i - 1);
        i = close + 1;
      } else {
        size_t end = line.find_first_of(" \t", i);
        if (end == std::string::npos) end = line.size();
        value = line.substr(i, end - i);
        i = end;
      }
      kv[ToLowerAscii(key)] = value;
    }
    if (section == "list_normal" || section == "list_verify") {
      BurnCfgEntry e;
      e.file = kv["file"];
      e.mainType = kv["main_type"];
      e.subType = kv["sub_type"];
      e.fileType = kv["file_type"];
      e.verify = section == "list_verify";
      e.line = lineNo;
      if (e.file.empty() || e.mainType.empty() || e.subType.empty())
        return Fail(error, where + ": an item needs file, main_type and sub_type");
      c.entries.push_back(std::move(e));
    } else if (section == "pack_layout") {
      for (const auto& [k, v] : kv) {
        char* end = nullptr;
        if (k == "version" || k == "align") {
          unsigned long n = std::strtoul(v.c_str(), &end, 10);
          if (v.empty() || *end != 0 || n == 0 || n > (1u << 20))
            return Fail(error, where + ": bad " + k + " \"" + v + "\"");
          (k == "version" ? c.version : c.align) = static_cast<uint32_t>(n);
        } else if (k == "dedup") {
          c.dedup = v != "0";
        } else if (k == "item") {
          if (!layoutOrderSeen) c.order.clear();
          layoutOrderSeen = true;
          c.order.push_back(v);
        }
      }
    }
  }
  if (c.version != 1 && c.version != 2) return Fail(error, "image.cfg: unknown table version " + Num(c.version));
  if (c.entries.empty()) return Fail(error, "image.cfg lists no item");
  *cfg = std::move(c);
  return true;
}

std::string FormatBurnConfig(const BurnConfig& cfg) {
  std::string out;
  auto list = [&](bool verify) {
    out += verify ? "[LIST_VERIFY]\n" : "[LIST_NORMAL]\n";
    for (const auto& e : cfg.entries) {
      if (e.verify != verify) continue;
      out += "file=\"" + e.file + "\"" + (verify ? "\t" : "\t\t") + "main_type=\"" + e.mainType + "\"\t\tsub_type=\"" +
             e.subType + "\"";
      if (!e.fileType.empty()) out += "\t\tfile_type=\"" + e.fileType + "\"";
      out += "\n";
    }
  };
  list(false);
  out += "\n";
  list(true);
  out += "\n# How this image was laid out; packing keeps it while the lists above name the same items.\n";
  out += "[PACK_LAYOUT]\n";
  out += "version=" + Num(cfg.version) + "\n";
  out += "align=" + Num(cfg.align) + "\n";
  if (!cfg.dedup) out += "dedup=0\n";
  for (const auto& o : cfg.order) out += "item=\"" + o + "\"\n";
  return out;
}

// ----- unpack -----

bool UnpackBurnImage(const std::string& image, const std::string& dir, const Progress& progress, std::string* error) {
  File in;
  if (!in.OpenRead(image, error)) return false;
  std::vector<uint8_t> head(kBurnHeaderSize);
  if (in.size() < kBurnHeaderSize) return Fail(error, "file too short for a burn image header");
  if (!in.ReadAt(0, head.data(), head.size(), error)) return false;
  BurnTable table;
  size_t needed = 0;
  if (!ParseBurnTable(head.data(), head.size(), in.size(), &table, &needed, error)) {
    if (needed == 0) return false;
    head.resize(needed);
    if (!in.ReadAt(0, head.data(), head.size(), error)) return false;
    if (!ParseBurnTable(head.data(), head.size(), in.size(), &table, &needed, error)) return false;
  }
  if (!MakeFolder(dir, error)) return false;
  progress("Amlogic burn image v" + Num(table.version) + ", " + Num(table.items.size()) + " items, align " +
           Num(table.align));

  struct Out {
    std::unique_ptr<File> file;
    std::unique_ptr<Sha1> sha;
    std::string digest;
    std::string verifyText;  // for VERIFY items: their content
    uint8_t head[4] = {0, 0, 0, 0};
    bool created = false;
  };
  const size_t n = table.items.size();
  std::vector<Out> outs(n);
  std::vector<std::string> created;
  auto cleanup = [&] {
    for (auto& o : outs) o.file.reset();
    for (const auto& p : created) RemovePath(p);
  };
  // Hash the partition items (their VERIFY checks) and items that share a size with another
  // (to tell whether the image stored equal items once or twice).
  std::map<uint64_t, int> sizeCount;
  for (const auto& it : table.items)
    if (!it.IsVerifyItem() && !it.isBackup) ++sizeCount[it.size];
  for (size_t i = 0; i < n; ++i) {
    const BurnItem& it = table.items[i];
    if (it.IsVerifyItem()) continue;
    const std::string path = JoinPath(dir, it.FileName());
    outs[i].file = std::make_unique<File>();
    if (!outs[i].file->Create(path, error)) {
      cleanup();
      return false;
    }
    created.push_back(path);
    if (it.verify == 1 || (!it.isBackup && sizeCount[it.size] > 1)) outs[i].sha = std::make_unique<Sha1>();
  }

  // One pass over the file: the CRC of everything after its first 4 bytes, and each item's
  // bytes to its file; the hashes run beside the copying.
  AmlCrc crc;
  HashPipeline pipe(static_cast<size_t>(std::min<uint64_t>(kCopyBuffer, std::max<uint64_t>(in.size(), 4096))));
  auto failCopy = [&](uint8_t* b) {
    pipe.Release(b);
    pipe.Drain();
    cleanup();
    return false;
  };
  for (uint64_t pos = 0; pos < in.size();) {
    uint8_t* buf = pipe.Acquire();
    const size_t len = static_cast<size_t>(std::min<uint64_t>(pipe.buffer_size(), in.size() - pos));
    if (!in.ReadAt(pos, buf, len, error)) return failCopy(buf);
    const size_t skip = pos < 4 ? static_cast<size_t>(4 - pos) : 0;
    if (len > skip) pipe.Crc(buf, buf + skip, len - skip, &crc);
    const uint64_t end = pos + len;
    for (size_t i = 0; i < n; ++i) {
      const BurnItem& it = table.items[i];
      const uint64_t lo = std::max(pos, it.offset), hi = std::min(end, it.offset + it.size);
      if (lo >= hi) continue;
      const uint8_t* p = buf + (lo - pos);
      const size_t m = static_cast<size_t>(hi - lo);
      const uint64_t at = lo - it.offset;
      Out& o = outs[i];
      if (it.IsVerifyItem()) {
        o.verifyText.resize(kVerifySize);
        std::memcpy(&o.verifyText[at], p, m);
        continue;
      }
      for (uint64_t k = at; k < 4 && k < at + m; ++k) o.head[k] = p[k - at];
      if (o.sha) pipe.Sha(buf, p, m, o.sha.get());
      if (!o.file->WriteAt(at, p, m, error)) return failCopy(buf);
    }
    pipe.Release(buf);
    pos = end;
  }
  pipe.Drain();
  for (auto& o : outs)
    if (o.file && !o.file->Close(error)) {
      cleanup();
      return false;
    }
  if (crc.Value() != table.crc) {
    char b[80];
    std::snprintf(b, sizeof b, "header CRC mismatch: stored 0x%08X, computed 0x%08X", table.crc, crc.Value());
    cleanup();
    return Fail(error, b);
  }
  for (size_t i = 0; i < n; ++i)
    if (outs[i].sha) outs[i].digest = outs[i].sha->HexDigest();
  for (size_t i = 0; i + 1 < n; ++i) {
    const BurnItem& it = table.items[i];
    if (it.verify != 1) continue;
    const std::string want = "sha1sum " + outs[i].digest;
    if (ToLowerAscii(outs[i + 1].verifyText) != want) {
      cleanup();
      return Fail(error, "SHA-1 mismatch of " + it.FileName() + ": VERIFY holds \"" +
                             outs[i + 1].verifyText.substr(0, kVerifySize) + "\", data gives \"" + want + "\"");
    }
  }

  BurnConfig cfg;
  cfg.version = table.version;
  cfg.align = table.align == 0 ? 4 : table.align;
  std::map<std::string, size_t> seen;  // size + digest -> first item
  for (size_t i = 0; i < n; ++i) {
    const BurnItem& it = table.items[i];
    if (it.IsVerifyItem()) continue;
    BurnCfgEntry e;
    e.file = it.FileName();
    e.mainType = it.mainType;
    e.subType = it.subType;
    e.verify = it.verify == 1;
    const bool sparseData = it.size >= 4 && Get32(outs[i].head) == kSparseMagic;
    const uint32_t guessed = sparseData ? kFileTypeSparse : kFileTypeNormal;
    if (it.fileType != guessed) e.fileType = FileTypeName(it.fileType) ? FileTypeName(it.fileType) : HexType(it.fileType);
    cfg.entries.push_back(e);
    cfg.order.push_back(it.FileName());
    if (!it.isBackup && !outs[i].digest.empty() && !IsEncItem(it.mainType, it.subType) &&
        !seen.emplace(Num(it.size) + outs[i].digest, i).second)
      cfg.dedup = false;
    progress("  " + it.FileName() + " (" + Num(it.size) + " bytes" + (it.isBackup ? ", same data as item " + Num(it.backupId) : "") +
             ")");
  }
  const std::string cfgPath = JoinPath(dir, "image.cfg");
  File cf;
  const std::string text = FormatBurnConfig(cfg);
  if (!cf.Create(cfgPath, error) || !cf.WriteAt(0, text.data(), text.size(), error) || !cf.Close(error)) {
    cleanup();
    return false;
  }
  return true;
}

// ----- pack -----

namespace {

struct PackItem {
  std::string name, path, mainType, subType;
  bool verify = false;      // a partition item followed by its VERIFY item
  bool verifyItem = false;  // the VERIFY item itself
  int partner = -1;         // VERIFY item -> its partition item
  uint32_t fileType = 0;
  uint64_t size = 0;
  uint64_t offset = 0;
  int backupOf = -1;
  std::string digest;  // SHA-1 of the data, when known
};

bool HashFile(const std::string& path, uint64_t size, std::vector<uint8_t>& buf, std::string* digest,
              std::string* error) {
  File f;
  if (!f.OpenRead(path, error)) return false;
  if (f.size() != size) return Fail(error, "file changed while packing: " + path);
  Sha1 sha;
  for (uint64_t pos = 0; pos < size;) {
    const size_t len = static_cast<size_t>(std::min<uint64_t>(buf.size(), size - pos));
    if (!f.ReadAt(pos, buf.data(), len, error)) return false;
    sha.Update(buf.data(), len);
    pos += len;
  }
  *digest = sha.HexDigest();
  return true;
}

bool SafeRelativePath(const std::string& p) {
  if (p.empty() || p[0] == '/' || p[0] == '\\' || (p.size() > 1 && p[1] == ':')) return false;
  size_t start = 0;
  while (start <= p.size()) {
    size_t end = p.find_first_of("/\\", start);
    if (end == std::string::npos) end = p.size();
    if (p.compare(start, end - start, "..") == 0) return false;
    start = end + 1;
  }
  return true;
}

}  // namespace

bool PackBurnImage(const std::string& cfgPath, const std::string& dir, const std::string& out,
                   const Progress& progress, std::string* error) {
  std::string text;
  {
    File cf;
    if (!cf.OpenRead(cfgPath, error)) return false;
    if (cf.size() > (16u << 20)) return Fail(error, "image.cfg is implausibly large");
    text.resize(static_cast<size_t>(cf.size()));
    if (!cf.ReadAt(0, text.data(), text.size(), error)) return false;
  }
  BurnConfig cfg;
  if (!ParseBurnConfig(text, &cfg, error)) return false;
  const size_t typeField = BurnTypeFieldSize(cfg.version);

  // The items by name, checked.
  std::map<std::string, size_t> byName;
  std::vector<PackItem> listed;
  for (const auto& e : cfg.entries) {
    const std::string where = "image.cfg line " + std::to_string(e.line);
    if (!IsSafeItemName(e.mainType) || !IsSafeItemName(e.subType) || e.mainType == "VERIFY")
      return Fail(error, where + ": unusable type name");
    if (e.mainType.size() >= typeField || e.subType.size() >= typeField)
      return Fail(error, where + ": type name longer than the table holds");
    if (!SafeRelativePath(e.file)) return Fail(error, where + ": file must be a path inside the folder: " + e.file);
    PackItem it;
    it.mainType = e.mainType;
    it.subType = e.subType;
    it.name = e.subType + "." + e.mainType;
    it.path = JoinPath(dir, e.file);
    it.verify = e.verify;
    if (!byName.emplace(it.name, listed.size()).second) return Fail(error, where + ": item listed twice: " + it.name);
    File f;
    if (!f.OpenRead(it.path, error)) return Fail(error, where + ": " + *error);
    it.size = f.size();
    uint8_t magic[4] = {0, 0, 0, 0};
    if (it.size >= 4 && !f.ReadAt(0, magic, 4, error)) return false;
    it.fileType = Get32(magic) == kSparseMagic ? kFileTypeSparse : kFileTypeNormal;
    if (!e.fileType.empty() && !ParseFileType(e.fileType, &it.fileType))
      return Fail(error, where + ": unknown file_type \"" + e.fileType + "\"");
    listed.push_back(std::move(it));
  }

  // Order: as recorded when the lists still name the same items, else DDR, UBOOT and the rest by
  // (sub_type, main_type).
  std::vector<size_t> order;
  bool recorded = cfg.order.size() == listed.size();
  if (recorded) {
    std::set<size_t> used;
    for (const auto& nm : cfg.order) {
      auto f = byName.find(nm);
      if (f == byName.end() || !used.insert(f->second).second) {
        recorded = false;
        break;
      }
      order.push_back(f->second);
    }
  }
  if (!recorded) {
    order.clear();
    for (const char* first : {"DDR.USB", "DDR_ENC.USB", "UBOOT.USB", "UBOOT_ENC.USB"}) {
      auto f = byName.find(first);
      if (f != byName.end()) order.push_back(f->second);
    }
    std::vector<size_t> rest;
    for (size_t i = 0; i < listed.size(); ++i)
      if (std::find(order.begin(), order.end(), i) == order.end()) rest.push_back(i);
    std::sort(rest.begin(), rest.end(), [&](size_t a, size_t b) {
      if (listed[a].subType != listed[b].subType) return listed[a].subType < listed[b].subType;
      return listed[a].mainType < listed[b].mainType;
    });
    order.insert(order.end(), rest.begin(), rest.end());
  }
  std::vector<PackItem> items;
  for (size_t i : order) {
    items.push_back(listed[i]);
    if (listed[i].verify) {
      PackItem v;
      v.mainType = "VERIFY";
      v.subType = listed[i].subType;
      v.name = v.subType + ".VERIFY";
      v.verifyItem = true;
      v.partner = static_cast<int>(items.size() - 1);
      v.size = kVerifySize;
      items.push_back(v);
    }
  }
  if (items.size() > kBurnMaxItems) return Fail(error, "too many items: " + Num(items.size()));

  std::vector<uint8_t> buf(kCopyBuffer);
  // Equal data is stored once: items that share a size with another are hashed first.
  if (cfg.dedup) {
    // A VERIFY item holds the SHA-1 of its partition, so two can only be equal when their
    // partitions have the same size: they are grouped by that size, and no partition is hashed
    // ahead of the copy unless it may equal another.
    std::map<std::pair<bool, uint64_t>, std::vector<size_t>> bySize;
    for (size_t i = 0; i < items.size(); ++i) {
      if (IsEncItem(items[i].mainType, items[i].subType)) continue;
      if (items[i].verifyItem)
        bySize[{true, items[static_cast<size_t>(items[i].partner)].size}].push_back(i);
      else
        bySize[{false, items[i].size}].push_back(i);
    }
    auto digestOf = [&](size_t i, std::string* d) -> bool {
      PackItem& it = items[i];
      if (it.verifyItem) {
        PackItem& p = items[static_cast<size_t>(it.partner)];
        if (p.digest.empty() && !HashFile(p.path, p.size, buf, &p.digest, error)) return false;
        Sha1 s;
        const std::string t = "sha1sum " + p.digest;
        s.Update(t.data(), t.size());
        *d = s.HexDigest();
        return true;
      }
      if (it.digest.empty() && !HashFile(it.path, it.size, buf, &it.digest, error)) return false;
      *d = it.digest;
      return true;
    };
    for (auto& [size, group] : bySize) {
      if (group.size() < 2) continue;
      std::map<std::string, size_t> first;
      for (size_t i : group) {
        std::string d;
        if (!digestOf(i, &d)) return false;
        auto [f, inserted] = first.emplace(d, i);
        if (!inserted) items[i].backupOf = static_cast<int>(f->second);
      }
    }
  }

  // Layout: data after the table, each item aligned, a VERIFY item right after its partition.
  const uint64_t tableEnd = kBurnHeaderSize + items.size() * BurnEntrySize(cfg.version);
  uint64_t len = 0;
  for (size_t i = 0; i < items.size(); ++i) {
    PackItem& it = items[i];
    if (it.backupOf >= 0) {
      it.offset = items[static_cast<size_t>(it.backupOf)].offset;
      continue;
    }
    const bool rightAfter = it.verifyItem && items[static_cast<size_t>(it.partner)].backupOf < 0;
    if (!rightAfter) len = (len + cfg.align - 1) / cfg.align * cfg.align;
    it.offset = tableEnd + len;
    len += it.size;
  }
  const uint64_t imageSize = tableEnd + len;

  std::vector<uint8_t> table(static_cast<size_t>(tableEnd), 0);
  Put32(&table[4], cfg.version);
  Put32(&table[8], kBurnMagic);
  Put64(&table[12], imageSize);
  Put32(&table[20], cfg.align);
  Put32(&table[24], static_cast<uint32_t>(items.size()));
  for (size_t i = 0; i < items.size(); ++i) {
    const PackItem& it = items[i];
    uint8_t* e = &table[kBurnHeaderSize + i * BurnEntrySize(cfg.version)];
    Put32(e, static_cast<uint32_t>(i));
    Put32(e + 4, it.verifyItem ? 0 : it.fileType);
    Put64(e + 16, it.offset);
    Put64(e + 24, it.size);
    std::memcpy(e + 32, it.mainType.data(), it.mainType.size());
    std::memcpy(e + 32 + typeField, it.subType.data(), it.subType.size());
    const size_t tail = 32 + 2 * typeField;
    Put32(e + tail, it.verify ? 1 : 0);
    if (it.backupOf >= 0) {
      Put16(e + tail + 4, 1);
      Put16(e + tail + 6, static_cast<uint16_t>(it.backupOf));
    }
  }

  const std::string part = out + ".part";
  File o;
  if (!o.Create(part, error)) return false;
  AmlCrc crc;
  crc.Update(table.data() + 4, table.size() - 4);
  // The hashes run beside the copying; every way out waits for them first.
  HashPipeline pipe(buf.size());
  auto failOut = [&](uint8_t* held) {
    if (held) pipe.Release(held);
    pipe.Drain();
    std::string ignored;
    o.Close(&ignored);
    RemovePath(part);
    return false;
  };
  if (!o.WriteAt(0, table.data(), table.size(), error)) return failOut(nullptr);
  uint64_t cur = tableEnd;
  for (size_t i = 0; i < items.size(); ++i) {
    PackItem& it = items[i];
    if (it.backupOf >= 0) {
      progress("  " + it.name + " (same data as item " + Num(static_cast<uint64_t>(it.backupOf)) + ")");
      continue;
    }
    while (cur < it.offset) {  // alignment padding: zeros in the CRC, a hole in the file
      uint8_t* b = pipe.Acquire();
      const size_t m = static_cast<size_t>(std::min<uint64_t>(pipe.buffer_size(), it.offset - cur));
      std::memset(b, 0, m);
      pipe.Crc(b, b, m, &crc);
      pipe.Release(b);
      cur += m;
    }
    if (it.verifyItem) {
      pipe.Drain();  // the partition's SHA-1
      const PackItem& p = items[static_cast<size_t>(it.partner)];
      const std::string t = "sha1sum " + p.digest;
      uint8_t* b = pipe.Acquire();
      std::memcpy(b, t.data(), t.size());
      pipe.Crc(b, b, t.size(), &crc);
      if (!o.WriteAt(cur, b, t.size(), error)) return failOut(b);
      pipe.Release(b);
      cur += t.size();
      continue;
    }
    progress("  " + it.name + " (" + Num(it.size) + " bytes)");
    File f;
    if (!f.OpenRead(it.path, error)) return failOut(nullptr);
    if (f.size() != it.size) {
      *error = "file changed while packing: " + it.path;
      return failOut(nullptr);
    }
    Sha1 sha;
    const bool hash = it.verify && it.digest.empty();
    for (uint64_t pos = 0; pos < it.size;) {
      uint8_t* b = pipe.Acquire();
      const size_t m = static_cast<size_t>(std::min<uint64_t>(pipe.buffer_size(), it.size - pos));
      if (!f.ReadAt(pos, b, m, error)) return failOut(b);
      pipe.Crc(b, b, m, &crc);
      if (hash) pipe.Sha(b, b, m, &sha);
      if (!o.WriteAt(cur, b, m, error)) return failOut(b);
      pipe.Release(b);
      pos += m;
      cur += m;
    }
    if (hash) {
      pipe.Drain();
      it.digest = sha.HexDigest();
    }
  }
  pipe.Drain();
  if (!o.SetSize(imageSize, error)) return failOut(nullptr);
  uint8_t c[4];
  Put32(c, crc.Value());
  if (!o.WriteAt(0, c, 4, error) || !o.Close(error)) return failOut(nullptr);
  if (!RenamePath(part, out, error)) {
    RemovePath(part);
    return false;
  }
  char b[96];
  std::snprintf(b, sizeof b, "%zu items, %llu bytes, crc 0x%08X", items.size(),
                static_cast<unsigned long long>(imageSize), crc.Value());
  progress(b);
  return true;
}

}  // namespace orvex::aml
