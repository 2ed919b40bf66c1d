#include "imagewty.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <sstream>

#include "bootimg/unpacked_folder.h"
#include "rk_cfg.h"
#include "rk_io.h"

namespace orvex::aw {

using rk::Error;
using rk::Get32;
using rk::Put32;
using rk::BaseName;
using rk::DirName;
using rk::EndsWith;
using rk::WriteReplacing;

namespace {

constexpr uint64_t kHeader = 1024, kItem = 1024;
constexpr uint32_t kMaxItems = 4096;

bool IsPlainName(const std::string& n) {
  if (n.empty() || n == "." || n == ".." || n.size() > 255) return false;
  for (unsigned char c : n)
    if (c < 0x20 || c == '/' || c == '\\' || c == '"' || c == ':') return false;
  return true;
}
std::string Fixed(const uint8_t* p, size_t n) { return std::string(reinterpret_cast<const char*>(p), n); }
std::string TrimmedHex(const uint8_t* p, size_t n) {
  while (n && p[n - 1] == 0) --n;
  return rk::Hex(std::string_view(reinterpret_cast<const char*>(p), n));
}
std::string HexNum(uint64_t v, int width = 0) {
  char b[32];
  std::snprintf(b, sizeof b, "0x%0*llx", width, static_cast<unsigned long long>(v));
  return b;
}
uint64_t Get64Lo(const uint8_t* p) { return Get32(p) | uint64_t(Get32(p + 4)) << 32; }
void Put64Lo(uint8_t* p, uint64_t v) {
  Put32(p, static_cast<uint32_t>(v));
  Put32(p + 4, static_cast<uint32_t>(v >> 32));
}

void FreshFolder(const std::string& dump) {
  if (!rk::RemovePath(dump)) throw Error("cannot remove the earlier folder " + dump);
  rk::MakeFolder(dump);
}

// ---- image.cfg -------------------------------------------------------------------------------

struct ListItem {
  std::string filename, maintype, subtype;
};
struct ImageCfg {
  std::vector<ListItem> files;
  std::map<std::string, std::string> imageCfg;  // [IMAGE_CFG]
  std::string header;                           // [IMAGE_LAYOUT] header (raw bytes)
  std::map<std::string, std::string> items;     // [IMAGE_LAYOUT] item per file name (raw bytes)
};

std::string Trim(const std::string& s) {
  const size_t a = s.find_first_not_of(" \t\r\n");
  if (a == std::string::npos) return "";
  return s.substr(a, s.find_last_not_of(" \t\r\n") - a + 1);
}

// `key = "value"` pairs inside one braced list line; quoted values keep their spaces.
std::map<std::string, std::string> BracePairs(const std::string& line) {
  std::map<std::string, std::string> out;
  size_t at = line.find('{');
  if (at == std::string::npos) return out;
  ++at;
  while (at < line.size()) {
    const size_t eq = line.find('=', at);
    if (eq == std::string::npos) break;
    const std::string key = Trim(line.substr(at, eq - at));
    size_t v = line.find_first_not_of(" \t", eq + 1);
    if (v == std::string::npos) break;
    std::string value;
    if (line[v] == '"') {
      const size_t close = line.find('"', v + 1);
      if (close == std::string::npos) throw Error("image.cfg: unclosed quote in: " + line);
      value = line.substr(v + 1, close - v - 1);
      at = close + 1;
    } else {
      const size_t end = line.find_first_of(",}", v);
      value = Trim(line.substr(v, end == std::string::npos ? end : end - v));
      at = end == std::string::npos ? line.size() : end;
    }
    out[key] = value;
    at = line.find_first_not_of(" \t,", at);
    if (at == std::string::npos || line[at] == '}') break;
  }
  return out;
}

ImageCfg ParseImageCfg(const std::string& text) {
  ImageCfg c;
  std::string group;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    line = Trim(line);
    if (line.compare(0, 3, "\xEF\xBB\xBF") == 0) line = Trim(line.substr(3));
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line[0] == '[') {
      group = line.substr(1, line.find(']') - 1);
      continue;
    }
    if (group == "FILELIST") {
      auto p = BracePairs(line);
      if (!p.count("filename")) throw Error("image.cfg: a file line without a filename: " + line);
      c.files.push_back({p["filename"], p["maintype"], p["subtype"]});
      continue;
    }
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = Trim(line.substr(0, eq));
    std::string value = Trim(line.substr(eq + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    if (group == "IMAGE_CFG") c.imageCfg[key] = value;
    if (group == "IMAGE_LAYOUT" && key == "header") c.header = rk::Unhex(value);
    if (group == "IMAGE_LAYOUT" && key == "item") {
      const size_t semi = value.find(';');
      if (semi == std::string::npos) throw Error("image.cfg: bad layout item: " + value);
      c.items[value.substr(0, semi)] = rk::Unhex(value.substr(semi + 1));
    }
  }
  return c;
}

// ---- IMAGEWTY --------------------------------------------------------------------------------

void UnpackWty(const rk::File& in, const std::string& dump, const Log& log) {
  if (in.size() < kHeader) throw Error("Allwinner image too short: " + in.path());
  uint8_t h[kHeader];
  in.ReadAt(0, h, sizeof h);
  if (std::memcmp(h, "IMAGEWTY", 8) != 0)
    throw Error("the image is encrypted or not an Allwinner image: its header does not read IMAGEWTY in clear "
                "text; encrypted images are not supported");
  const uint32_t version = Get32(h + 8);
  if (version != 0x0300 && version != 0x0403)
    throw Error("Allwinner image header version " + HexNum(version) + " is not supported (0x0300 and 0x0403 are)");
  const uint32_t itemSize = Get32(h + 0x38), count = Get32(h + 0x3C), itemOffset = Get32(h + 0x40);
  if (itemSize != kItem) throw Error("Allwinner item size " + std::to_string(itemSize) + " is not 1024");
  if (count > kMaxItems || itemOffset < kHeader || itemOffset > in.size() || uint64_t(count) * kItem > in.size() - itemOffset)
    throw Error("Allwinner item table (" + std::to_string(count) + " items at " + std::to_string(itemOffset) +
                ") does not fit the file");
  std::string cfg = "[DIR_DEF]\r\nINPUT_DIR = \"./\"\r\n\r\n[FILELIST]\r\n";
  std::string layout = "[IMAGE_LAYOUT]\r\nheader = " + TrimmedHex(h, kHeader) + "\r\n";
  std::vector<rk::Piece> pieces;
  std::vector<std::string> names;
  for (uint32_t i = 0; i < count; ++i) {
    uint8_t e[kItem];
    in.ReadAt(itemOffset + uint64_t(i) * kItem, e, sizeof e);
    const std::string name = rk::FieldText(e + 0x24, 256);
    const std::string mainType = Fixed(e + 0x08, 8), subType = Fixed(e + 0x10, 16);
    const uint64_t fileLen = Get64Lo(e + 0x12C), offset = Get64Lo(e + 0x134);
    if (!rk::FieldText(e + 0x13C, 64).empty())
      throw Error("item " + name + " is encrypted (" + rk::FieldText(e + 0x13C, 64) + "); encrypted items are not supported");
    if (!IsPlainName(name)) throw Error("Allwinner item with an unsafe file name: " + name);
    if (mainType.find('"') != std::string::npos || subType.find('"') != std::string::npos ||
        mainType.find('\0') != std::string::npos || subType.find('\0') != std::string::npos)
      throw Error("Allwinner item " + name + " has a type that image.cfg cannot hold");
    if (std::find(names.begin(), names.end(), name) != names.end()) throw Error("Allwinner item named twice: " + name);
    if (offset > in.size() || fileLen > in.size() - offset)
      throw Error("Allwinner item " + name + " lies past the end of the file");
    names.push_back(name);
    pieces.push_back({offset, fileLen, rk::JoinPath(dump, name)});
    cfg += "\t{filename = \"" + name + "\", maintype = \"" + mainType + "\", subtype = \"" + subType + "\",},\r\n";
    layout += "item = " + name + ";" + TrimmedHex(e, kItem) + "\r\n";
    log("  " + name + " (" + std::to_string(fileLen) + " bytes)");
  }
  rk::SplitStream(in, in.size(), pieces, nullptr);
  cfg += "\r\n[IMAGE_CFG]\r\nversion = " + HexNum(Get32(h + 0x14)) + "\r\npid = " + HexNum(Get32(h + 0x24), 8) +
         "\r\nvid = " + HexNum(Get32(h + 0x28), 8) + "\r\nhardwareid = " + HexNum(Get32(h + 0x2C)) +
         "\r\nfirmwareid = " + HexNum(Get32(h + 0x30)) + "\r\nimagename = \"" + BaseName(in.path()) +
         "\"\r\nfilelist = FILELIST\r\n\r\n" + layout;
  rk::WriteWhole(rk::JoinPath(dump, "image.cfg"), cfg);
}

void PackWty(const ImageCfg& c, const std::string& dump, const std::string& out, const Log& log) {
  if (c.files.empty()) throw Error("image.cfg lists no files");
  if (c.files.size() > kMaxItems) throw Error("image.cfg lists too many files");
  std::string header = c.header;
  if (header.size() > kHeader) throw Error("image.cfg: header too long");
  const bool known = !header.empty();
  header.resize(kHeader, '\0');
  uint8_t* h = reinterpret_cast<uint8_t*>(header.data());
  if (!known) {
    std::memcpy(h, "IMAGEWTY", 8);
    Put32(h + 0x08, 0x0300);
    Put32(h + 0x0C, 0x60);
    Put32(h + 0x10, 0x04D00000);
    Put32(h + 0x20, 1024);
    Put32(h + 0x34, 1);
    Put32(h + 0x38, 1024);
    Put32(h + 0x40, 1024);
  }
  auto num = [&](const char* key, uint32_t* v) {
    auto it = c.imageCfg.find(key);
    if (it != c.imageCfg.end()) *v = static_cast<uint32_t>(rk::ParseNum(it->second, key));
  };
  uint32_t ver = Get32(h + 0x14), pid = Get32(h + 0x24), vid = Get32(h + 0x28), hw = Get32(h + 0x2C), fw = Get32(h + 0x30);
  num("version", &ver);
  num("pid", &pid);
  num("vid", &vid);
  num("hardwareid", &hw);
  num("firmwareid", &fw);
  Put32(h + 0x14, ver);
  Put32(h + 0x24, pid);
  Put32(h + 0x28, vid);
  Put32(h + 0x2C, hw);
  Put32(h + 0x30, fw);
  const uint64_t align = Get32(h + 0x20) ? Get32(h + 0x20) : 1024;
  const uint64_t itemOffset = Get32(h + 0x40) ? Get32(h + 0x40) : 1024;
  Put32(h + 0x3C, static_cast<uint32_t>(c.files.size()));

  struct Plan {
    std::string item, src;
    uint64_t size, stored, offset, oldOffset;
  };
  std::vector<Plan> plan;
  bool changed = !known;
  for (const ListItem& f : c.files) {
    if (!IsPlainName(f.filename)) throw Error("image.cfg: unsafe file name " + f.filename);
    if (f.maintype.size() > 8 || f.subtype.size() > 16) throw Error("image.cfg: type too long for " + f.filename);
    Plan p;
    auto it = c.items.find(f.filename);
    p.item = it != c.items.end() ? it->second : std::string();
    if (p.item.size() > kItem) throw Error("image.cfg: item too long for " + f.filename);
    const bool hadItem = !p.item.empty();
    p.item.resize(kItem, '\0');
    uint8_t* e = reinterpret_cast<uint8_t*>(p.item.data());
    if (!hadItem) {
      Put32(e, 0x100);
      Put32(e + 4, 1024);
    }
    std::memset(e + 0x08, ' ', 8);
    std::memcpy(e + 0x08, f.maintype.data(), f.maintype.size());
    std::memset(e + 0x10, ' ', 16);
    std::memcpy(e + 0x10, f.subtype.data(), f.subtype.size());
    std::memset(e + 0x24, 0, 256);
    std::memcpy(e + 0x24, f.filename.data(), f.filename.size());
    p.src = rk::JoinPath(dump, f.filename);
    p.size = rk::FileSizeOf(p.src);
    const bool same = hadItem && Get64Lo(e + 0x12C) == p.size;
    if (!same) changed = true;
    p.stored = same ? Get64Lo(e + 0x124) : rk::AlignUp(p.size, 16);
    p.oldOffset = hadItem ? Get64Lo(e + 0x134) : UINT64_MAX;
    plan.push_back(p);
  }
  std::vector<Plan*> order;
  for (Plan& p : plan) order.push_back(&p);
  std::stable_sort(order.begin(), order.end(), [](const Plan* a, const Plan* b) { return a->oldOffset < b->oldOffset; });
  uint64_t cursor = itemOffset + plan.size() * kItem;
  for (Plan* p : order) {
    p->offset = rk::AlignUp(cursor, align);
    if (p->oldOffset != UINT64_MAX) p->offset = std::max(p->offset, p->oldOffset);
    cursor = p->offset + std::max(p->stored, p->size);
  }
  uint64_t total = rk::AlignUp(cursor, align);
  if (!changed) total = std::max<uint64_t>(total, Get64Lo(h + 0x18));
  Put64Lo(h + 0x18, total);
  for (Plan& p : plan) {
    uint8_t* e = reinterpret_cast<uint8_t*>(p.item.data());
    Put64Lo(e + 0x124, p.stored);
    Put64Lo(e + 0x12C, p.size);
    Put64Lo(e + 0x134, p.offset);
  }
  rk::SeqWriter w(out);
  w.Write(h, kHeader);
  w.Zeros(itemOffset - kHeader);
  for (const Plan& p : plan) w.Write(p.item.data(), kItem);
  for (const Plan* p : order) {
    w.Zeros(p->offset - w.pos());
    w.CopyFrom(p->src, p->size);
    log("  " + BaseName(p->src) + " (" + std::to_string(p->size) + " bytes)");
  }
  w.Zeros(total - w.pos());
  w.Close();
}

}  // namespace

void UnpackImage(const std::string& image, const Log& log) {
  rk::File in;
  in.OpenRead(image);
  uint8_t m[8] = {};
  if (in.size() >= 8) in.ReadAt(0, m, 8);
  const std::string dump = image + ".dump";
  const bool android = std::memcmp(m, "ANDROID!", 8) == 0;
  if (!android && std::memcmp(m, "IMAGEWTY", 8) != 0 && std::memcmp(m, "IMAGE", 5) != 0 && in.size() >= kHeader) {
    // Not readable in clear: an encrypted firmware (or something else entirely).
    throw Error("the image is encrypted or not an Allwinner image: its header does not read IMAGEWTY in clear "
                "text; encrypted images are not supported");
  }
  FreshFolder(dump);
  try {
    if (android) {
      log("Unpacking Android boot image " + image);
      std::ostringstream o;
      try {
        bootimg::UnpackImage(image, dump, o);
      } catch (const std::exception& e) {
        throw Error(e.what());
      }
      std::istringstream lines(o.str());
      for (std::string l; std::getline(lines, l);) log(l);
      rk::WriteWhole(image + ".cfg", "[allwinner]\r\nkind = ANDROID\r\nimage = " + BaseName(image) + "\r\n");
    } else {
      log("Unpacking IMAGEWTY image " + image);
      UnpackWty(in, dump, log);
    }
  } catch (...) {
    rk::RemovePath(dump);
    throw;
  }
}

std::string PackFolder(const std::string& folderIn, const std::string& cfgIn, const Log& log) {
  std::string folder = folderIn;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  if (!rk::IsDir(folder)) throw Error("not a folder: " + folder);
  std::string cfgPath = cfgIn.empty() ? rk::JoinPath(folder, "image.cfg") : cfgIn;
  if (cfgIn.empty() && !rk::IsRegularFile(cfgPath) && EndsWith(folder, ".dump"))
    cfgPath = folder.substr(0, folder.size() - 5) + ".cfg";
  const std::string text = rk::ReadWhole(cfgPath, 16u << 20);
  std::string out;
  if (text.find("[allwinner]") != std::string::npos) {
    const size_t at = text.find("image = ");
    if (at == std::string::npos) throw Error(cfgPath + ": no image name");
    const std::string name = Trim(text.substr(at + 8, text.find('\n', at) - at - 8));
    if (!IsPlainName(name)) throw Error(cfgPath + ": the image name is not a plain file name: " + name);
    out = DirName(cfgPath) + name;
    log("Packing Android boot image " + out);
    WriteReplacing(out, [&](const std::string& tmp) {
      std::ostringstream o;
      try {
        bootimg::PackImage(folder, tmp, o);
      } catch (const std::exception& e) {
        throw Error(e.what());
      }
      std::istringstream lines(o.str());
      for (std::string l; std::getline(lines, l);) log(l);
    });
    return out;
  }
  const ImageCfg c = ParseImageCfg(text);
  if (EndsWith(folder, ".dump")) {
    out = folder.substr(0, folder.size() - 5);
  } else {
    auto it = c.imageCfg.find("imagename");
    const std::string name = it == c.imageCfg.end() ? "" : it->second;
    if (!IsPlainName(name)) throw Error("image.cfg: the image name is not a plain file name: " + name);
    out = DirName(folder) + name;
  }
  log("Packing IMAGEWTY image " + out);
  WriteReplacing(out, [&](const std::string& tmp) { PackWty(c, folder, tmp, log); });
  return out;
}

}  // namespace orvex::aw
