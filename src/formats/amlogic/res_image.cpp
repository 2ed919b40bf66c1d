#include "res_image.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

#include "aml_common.h"

namespace orvex::aml {

namespace {

bool Fail(std::string* error, const std::string& text) {
  *error = text;
  return false;
}
std::string Num(uint64_t v) { return std::to_string(v); }

bool ParseWith(const std::function<bool(uint64_t, void*, size_t)>& read, uint64_t fileSize, ResImage* image,
               std::string* error) {
  uint8_t h[kResHeaderSize];
  if (fileSize < kResHeaderSize || !read(0, h, sizeof h)) return Fail(error, "file too short for a resource image");
  if (std::memcmp(h + 8, kResMagic, 8) != 0) return Fail(error, "not an Amlogic resource image (AML_RES! missing)");
  ResImage r;
  r.crc = Get32(h);
  r.version = static_cast<int32_t>(Get32(h + 4));
  r.imageSize = Get32(h + 16);
  const uint32_t count = Get32(h + 20);
  r.align = Get32(h + 24);
  if (r.version != 1 && r.version != 2) return Fail(error, "unknown resource image version " + std::to_string(r.version));
  if (r.imageSize != fileSize)
    return Fail(error, "image size in the header (" + Num(r.imageSize) + ") differs from the file size (" +
                           Num(fileSize) + ")");
  if (r.align == 0 || r.align > 4096 || (r.align & (r.align - 1)) != 0)
    return Fail(error, "implausible alignment " + Num(r.align));
  if (count == 0 || count > kResMaxItems || kResHeaderSize + uint64_t{count} * kResItemHeaderSize > fileSize)
    return Fail(error, "implausible item count " + Num(count));
  std::set<std::string> names;
  uint64_t at = kResHeaderSize;
  for (uint32_t i = 0; i < count; ++i) {
    const std::string where = "item " + Num(i);
    if (at + kResItemHeaderSize > fileSize) return Fail(error, where + ": header runs past the end of the file");
    uint8_t e[kResItemHeaderSize];
    if (!read(at, e, sizeof e)) return Fail(error, where + ": cannot read its header");
    if (Get32(e) != kResItemMagic) return Fail(error, where + ": bad item magic");
    ResItem it;
    it.headerAt = static_cast<uint32_t>(at);
    it.size = Get32(e + 8);
    it.start = Get32(e + 12);
    const uint32_t next = Get32(e + 20);
    if (!FieldText(e + 32, kResNameSize, &it.name)) return Fail(error, where + ": name without an end");
    if (!IsSafeItemName(it.name)) return Fail(error, where + ": unsafe item name \"" + it.name + "\"");
    if (ToLowerAscii(it.name) == kResListName || ToLowerAscii(it.name) == std::string(kResListName) + ".bmp")
      return Fail(error, where + ": item named " + it.name);
    if (!names.insert(ToLowerAscii(it.name)).second) return Fail(error, where + ": second item named " + it.name);
    if (uint64_t{it.start} + it.size > fileSize || it.start < kResHeaderSize)
      return Fail(error, where + " (" + it.name + "): data at " + Num(it.start) + " size " + Num(it.size) +
                             " lies outside the file");
    r.items.push_back(it);
    if (i + 1 < count) {
      if (r.version == 2) {
        at = kResHeaderSize + uint64_t{i + 1} * kResItemHeaderSize;
      } else {
        if (next <= at) return Fail(error, where + ": next item header does not follow");
        at = next;
      }
    }
  }
  *image = std::move(r);
  return true;
}

}  // namespace

bool ParseResImageBytes(const uint8_t* data, size_t len, ResImage* image, std::string* error) {
  return ParseWith(
      [&](uint64_t off, void* buf, size_t n) {
        if (off > len || n > len - off) return false;
        std::memcpy(buf, data + off, n);
        return true;
      },
      len, image, error);
}

std::string ResFileName(const std::string& itemName, const uint8_t* data, size_t len) {
  const bool bmp = len >= 2 && data[0] == 'B' && data[1] == 'M';
  const std::string lower = ToLowerAscii(itemName);
  if (bmp && !(lower.size() > 4 && lower.compare(lower.size() - 4, 4, ".bmp") == 0)) return itemName + ".bmp";
  return itemName;
}

bool UnpackResImage(const std::string& image, const std::string& dir, const Progress& progress, std::string* error) {
  File in;
  if (!in.OpenRead(image, error)) return false;
  if (in.size() > 0xFFFFFFFFull) return Fail(error, "file too large for a resource image");
  ResImage r;
  std::string readError;
  if (!ParseWith([&](uint64_t off, void* buf, size_t n) { return in.ReadAt(off, buf, n, &readError); }, in.size(), &r,
                 error))
    return false;
  AmlCrc crc;
  std::vector<uint8_t> buf(static_cast<size_t>(std::min<uint64_t>(kCopyBuffer, std::max<uint64_t>(in.size(), 4096))));
  for (uint64_t pos = 4; pos < in.size();) {
    const size_t m = static_cast<size_t>(std::min<uint64_t>(buf.size(), in.size() - pos));
    if (!in.ReadAt(pos, buf.data(), m, error)) return false;
    crc.Update(buf.data(), m);
    pos += m;
  }
  if (crc.Value() != r.crc) {
    char b[80];
    std::snprintf(b, sizeof b, "header CRC mismatch: stored 0x%08X, computed 0x%08X", r.crc, crc.Value());
    return Fail(error, b);
  }
  if (!MakeFolder(dir, error)) return false;
  progress("Amlogic resource image v" + std::to_string(r.version) + ", " + Num(r.items.size()) + " items");
  std::vector<std::string> created;
  std::string list = "version=" + std::to_string(r.version) + "\nalign=" + Num(r.align) + "\n";
  std::set<std::string> files;
  for (const auto& it : r.items) {
    uint8_t head[2] = {0, 0};
    if (it.size >= 2 && !in.ReadAt(it.start, head, 2, error)) return false;
    const std::string fname = ResFileName(it.name, head, it.size);
    if (!files.insert(ToLowerAscii(fname)).second) {
      for (const auto& p : created) RemovePath(p);
      return Fail(error, "two items unpack to " + fname);
    }
    const std::string path = JoinPath(dir, fname);
    File o;
    if (!o.Create(path, error)) {
      for (const auto& p : created) RemovePath(p);
      return false;
    }
    created.push_back(path);
    for (uint64_t pos = 0; pos < it.size;) {
      const size_t m = static_cast<size_t>(std::min<uint64_t>(buf.size(), it.size - pos));
      if (!in.ReadAt(it.start + pos, buf.data(), m, error) || !o.WriteAt(pos, buf.data(), m, error)) {
        for (const auto& p : created) RemovePath(p);
        return false;
      }
      pos += m;
    }
    if (!o.Close(error)) return false;
    list += "item=\"" + it.name + "\"\tfile=\"" + fname + "\"\n";
    progress("  " + fname + " (" + Num(it.size) + " bytes)");
  }
  File lf;
  const std::string lp = JoinPath(dir, kResListName);
  if (!lf.Create(lp, error) || !lf.WriteAt(0, list.data(), list.size(), error) || !lf.Close(error)) {
    for (const auto& p : created) RemovePath(p);
    return false;
  }
  return true;
}

namespace {

struct PackEntry {
  std::string name, file;
  uint64_t size = 0;
  uint32_t start = 0;
};

// "key=value" words of one items.cfg line, values optionally quoted.
std::map<std::string, std::string> Words(const std::string& line) {
  std::map<std::string, std::string> kv;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    size_t eq = line.find('=', i);
    if (i >= line.size() || eq == std::string::npos) break;
    std::string key = line.substr(i, eq - i);
    i = eq + 1;
    std::string value;
    if (i < line.size() && line[i] == '"') {
      size_t close = line.find('"', i + 1);
      if (close == std::string::npos) close = line.size();
      value = line.substr(i + 1, close - i - 1);
      i = close + 1;
    } else {
      size_t end = line.find_first_of(" \t\r", i);
      if (end == std::string::npos) end = line.size();
      value = line.substr(i, end - i);
      i = end;
    }
    kv[key] = value;
  }
  return kv;
}

}  // namespace

bool PackResImage(const std::string& dir, const std::string& out, const Progress& progress, std::string* error) {
  int version = 2;
  uint32_t align = 16;
  std::vector<PackEntry> entries;
  std::set<std::string> listedFiles, names;
  auto addEntry = [&](const std::string& name, const std::string& file) -> bool {
    if (!IsSafeItemName(name) || name.size() >= kResNameSize) return Fail(error, "unusable item name \"" + name + "\"");
    if (!IsSafeItemName(file)) return Fail(error, "unusable file name \"" + file + "\"");
    if (!names.insert(ToLowerAscii(name)).second) return Fail(error, "second item named " + name);
    listedFiles.insert(file);
    entries.push_back({name, file});
    return true;
  };
  const std::string listPath = JoinPath(dir, kResListName);
  if (IsFile(listPath)) {
    File lf;
    if (!lf.OpenRead(listPath, error)) return false;
    if (lf.size() > (1u << 20)) return Fail(error, std::string(kResListName) + " is implausibly large");
    std::string text(static_cast<size_t>(lf.size()), '\0');
    if (!lf.ReadAt(0, text.data(), text.size(), error)) return false;
    size_t pos = 0;
    while (pos < text.size()) {
      size_t eol = text.find('\n', pos);
      if (eol == std::string::npos) eol = text.size();
      const std::string line = text.substr(pos, eol - pos);
      pos = eol + 1;
      auto kv = Words(line);
      if (kv.count("version")) version = std::atoi(kv["version"].c_str());
      if (kv.count("align")) align = static_cast<uint32_t>(std::strtoul(kv["align"].c_str(), nullptr, 10));
      if (kv.count("item") && !addEntry(kv["item"], kv.count("file") ? kv["file"] : kv["item"])) return false;
    }
    if (version != 1 && version != 2) return Fail(error, "unknown version in " + std::string(kResListName));
    if (align == 0 || align > 4096 || (align & (align - 1)) != 0)
      return Fail(error, "bad alignment in " + std::string(kResListName));
  }
  // Files nobody listed yet (pictures the user added) follow by name; a ".bmp" is not part of
  // the item name.
  std::vector<std::string> extra, present;
  if (!ListRegularFiles(dir, &present, error)) return false;
  for (const auto& f : present)
    if (f != kResListName && !listedFiles.count(f)) extra.push_back(f);
  std::sort(extra.begin(), extra.end());
  for (const auto& f : extra) {
    std::string name = f;
    const std::string lower = ToLowerAscii(f);
    if (lower.size() > 4 && lower.compare(lower.size() - 4, 4, ".bmp") == 0) name.resize(name.size() - 4);
    if (!addEntry(name, f)) return false;
  }
  if (entries.empty()) return Fail(error, "no picture to pack in " + dir);
  if (entries.size() > kResMaxItems) return Fail(error, "too many items: " + Num(entries.size()));

  // Layout.
  const uint32_t n = static_cast<uint32_t>(entries.size());
  uint64_t pos = kResHeaderSize + (version == 2 ? uint64_t{n} * kResItemHeaderSize : 0);
  std::vector<uint64_t> headerAt(n);
  for (uint32_t i = 0; i < n; ++i) {
    File f;
    if (!f.OpenRead(JoinPath(dir, entries[i].file), error)) return false;
    entries[i].size = f.size();
    if (version == 1) {
      headerAt[i] = pos;
      pos += kResItemHeaderSize;
    } else {
      headerAt[i] = kResHeaderSize + uint64_t{i} * kResItemHeaderSize;
    }
    if (pos + ResPadded(entries[i].size, align) > 0xFFFFFFFFull) return Fail(error, "the image would pass 4 GiB");
    entries[i].start = static_cast<uint32_t>(pos);
    pos += ResPadded(entries[i].size, align);
  }
  const uint64_t imageSize = pos;

  const std::string part = out + ".part";
  File o;
  if (!o.Create(part, error)) return false;
  auto failOut = [&] {
    std::string ignored;
    o.Close(&ignored);
    RemovePath(part);
    return false;
  };
  uint8_t h[kResHeaderSize] = {};
  Put32(h + 4, static_cast<uint32_t>(version));
  std::memcpy(h + 8, kResMagic, 8);
  Put32(h + 16, static_cast<uint32_t>(imageSize));
  Put32(h + 20, n);
  Put32(h + 24, align);
  if (!o.WriteAt(0, h, sizeof h, error)) return failOut();
  std::vector<uint8_t> buf(kCopyBuffer);
  for (uint32_t i = 0; i < n; ++i) {
    uint8_t e[kResItemHeaderSize] = {};
    Put32(e, kResItemMagic);
    Put32(e + 8, static_cast<uint32_t>(entries[i].size));
    Put32(e + 12, entries[i].start);
    Put32(e + 20, i + 1 < n ? static_cast<uint32_t>(headerAt[i + 1]) : 0);
    e[28] = static_cast<uint8_t>(i);
    e[29] = static_cast<uint8_t>(n);
    std::memcpy(e + 32, entries[i].name.data(), entries[i].name.size());
    if (!o.WriteAt(headerAt[i], e, sizeof e, error)) return failOut();
    File f;
    if (!f.OpenRead(JoinPath(dir, entries[i].file), error)) return failOut();
    if (f.size() != entries[i].size) {
      *error = "file changed while packing: " + entries[i].file;
      return failOut();
    }
    for (uint64_t p = 0; p < entries[i].size;) {
      const size_t m = static_cast<size_t>(std::min<uint64_t>(buf.size(), entries[i].size - p));
      if (!f.ReadAt(p, buf.data(), m, error) || !o.WriteAt(entries[i].start + p, buf.data(), m, error))
        return failOut();
      p += m;
    }
    progress("  " + entries[i].file + " -> " + entries[i].name + " (" + Num(entries[i].size) + " bytes)");
  }
  if (!o.SetSize(imageSize, error)) return failOut();
  // The CRC of what was written, read back through a descriptor of its own (the image is open
  // for writing only).
  AmlCrc crc;
  {
    File back;
    if (!back.OpenRead(part, error)) return failOut();
    for (uint64_t p = 4; p < imageSize;) {
      const size_t m = static_cast<size_t>(std::min<uint64_t>(buf.size(), imageSize - p));
      if (!back.ReadAt(p, buf.data(), m, error)) return failOut();
      crc.Update(buf.data(), m);
      p += m;
    }
  }
  uint8_t c[4];
  Put32(c, crc.Value());
  if (!o.WriteAt(0, c, 4, error) || !o.Close(error)) return failOut();
  if (!RenamePath(part, out, error)) {
    RemovePath(part);
    return false;
  }
  return true;
}

}  // namespace orvex::aml
