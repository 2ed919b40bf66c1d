#include "bootimg/unpacked_folder.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "bootimg/compression.h"
#include "bootimg/cpio.h"
#include "bootimg/ramdisk_tree.h"
#include "bootimg/sha1.h"
#include "platform.h"
#include "platform_io.h"

namespace orvex::bootimg {

namespace fs = std::filesystem;

namespace {

std::string JoinPath(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  return platform::IsSeparator(dir.back()) ? dir + name : dir + "/" + name;
}

bool IsFile(const std::string& path) { return platform::FileSizeOrMarker(path) >= 0; }

uint64_t SizeOf(const std::string& path) {
  const int64_t n = platform::FileSizeOrMarker(path);
  if (n < 0) throw Error("cannot read " + path);
  return uint64_t(n);
}

}  // namespace

namespace {

const char* kConfigName = "config.ini";
const char* kHeaderSection = "header";
const char* kFilesSection = "files";

std::string Hex32(uint64_t v) {
  char b[32];
  std::snprintf(b, sizeof b, "0x%08llx", static_cast<unsigned long long>(v));
  return b;
}

uint64_t ParseU(const std::string& text, uint64_t max, const std::string& what) {
  std::string s = text;
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.pop_back();
  while (!s.empty() && (s[0] == ' ' || s[0] == '\t')) s.erase(0, 1);
  if (s.empty() || s[0] == '-' || s[0] == '+') throw Error("config.ini: " + what + " needs a number, not '" + text + "'");
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(s.c_str(), &end, 0);
  if (*end || errno || v > max) throw Error("config.ini: " + what + " is not a valid number: '" + text + "'");
  return v;
}

// A part file or folder named in config.ini: a plain name inside the unpacked folder.
std::string PlainName(const std::string& name, const std::string& what) {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
      name.find('\\') != std::string::npos || name.find(':') != std::string::npos)
    throw Error("config.ini: " + what + " must be a plain file name inside the folder, not '" + name + "'");
  return name;
}

const char* RamdiskTypeName(uint32_t t) {
  switch (t) {
    case 0: return "none";
    case 1: return "platform";
    case 2: return "recovery";
    case 3: return "dlkm";
  }
  return nullptr;
}

uint32_t ParseRamdiskType(const std::string& s) {
  for (uint32_t t = 0; t < 4; ++t)
    if (s == RamdiskTypeName(t)) return t;
  return uint32_t(ParseU(s, 0xFFFFFFFFu, "a vendor ramdisk type"));
}

// Replays the first bytes taken to identify a stream, then the rest.
class PrefixReader : public Reader {
 public:
  PrefixReader(std::string prefix, Reader& rest) : prefix_(std::move(prefix)), rest_(rest) {}
  size_t Read(void* out, size_t n) override {
    if (pos_ < prefix_.size()) {
      size_t k = std::min(n, prefix_.size() - pos_);
      std::memcpy(out, prefix_.data() + pos_, k);
      pos_ += k;
      return k;
    }
    return rest_.Read(out, n);
  }

 private:
  std::string prefix_;
  size_t pos_ = 0;
  Reader& rest_;
};

// Compares what is written with an existing file, for the check that an unedited pack gives
// the image back.
class CompareWriter : public Writer {
 public:
  explicit CompareWriter(const File& f) : f_(f), size_(f.Size()) {}
  void Write(const void* data, size_t n) override {
    const auto* p = static_cast<const uint8_t*>(data);
    while (n > 0 && !differs_) {
      if (pos_ >= size_) {
        differs_ = true;
        break;
      }
      size_t k = size_t(std::min<uint64_t>(std::min<uint64_t>(n, buf_.size()), size_ - pos_));
      f_.ReadAt(pos_, buf_.data(), k);
      for (size_t i = 0; i < k; ++i)
        if (buf_[i] != p[i]) {
          differs_ = true;
          pos_ += i;
          return;
        }
      pos_ += k;
      p += k;
      n -= k;
    }
  }
  // The offset of the first difference, or -1 when the written bytes equal the file.
  int64_t FirstDifference() const { return differs_ ? int64_t(pos_) : pos_ == size_ ? -1 : int64_t(pos_); }

 private:
  const File& f_;
  uint64_t size_;
  uint64_t pos_ = 0;
  bool differs_ = false;
  std::vector<uint8_t> buf_ = std::vector<uint8_t>(1 << 16);
};

// Whatever stands under the name from an earlier unpack goes first, so that nothing is written
// through a link left in the folder.
void ClearPath(const std::string& path) {
  std::error_code ec;
  fs::remove_all(platform::ToPath(path), ec);
}

void CopyRegionToFile(const File& img, uint64_t off, uint64_t size, const std::string& path) {
  ClearPath(path);
  File out(path, "wb");
  RegionReader r(img, off, size);
  FileWriter w(out);
  Copy(r, w);
  out.Close();
}

struct RamdiskInfo {
  std::string section;  // config section and base name
  std::string file;
  Compression compression = Compression::Unknown;
  bool has_folder = false;
  std::string digest;
};

// Keeps the ramdisk bytes and, when they hold a cpio archive, extracts it.
RamdiskInfo UnpackRamdisk(const File& img, uint64_t off, uint64_t size, const std::string& base,
                          const std::string& folder, std::ostream& log, const UnpackOptions& opt) {
  RamdiskInfo ri;
  ri.section = base;
  uint8_t head[16] = {};
  size_t hn = size_t(std::min<uint64_t>(size, sizeof head));
  img.ReadAt(off, head, hn);
  ri.compression = DetectCompression(head, hn);
  ri.file = base + CompressionSuffix(ri.compression);
  CopyRegionToFile(img, off, size, JoinPath(folder, ri.file));
  log << base << ": " << size << " bytes, " << CompressionName(ri.compression) << " -> " << ri.file << "\n";
  if (ri.compression == Compression::Unknown || !opt.extract_ramdisks) return ri;

  const std::string tree = JoinPath(folder, base);
  const std::string list = JoinPath(folder, base + "_entries.txt");
  ClearPath(tree);
  ClearPath(list);
  ClearPath(NamesListPath(tree));
  try {
    RegionReader raw(img, off, size);
    auto dec = OpenDecompressor(ri.compression, raw, opt.max_ramdisk_bytes);
    std::string magic(6, '\0');
    size_t got = 0;
    while (got < magic.size()) {
      size_t k = dec->Read(magic.data() + got, magic.size() - got);
      if (k == 0) break;
      got += k;
    }
    magic.resize(got);
    if (magic != "070701" && magic != "070702") {
      log << base << ": not a cpio archive; kept as " << ri.file << " only\n";
      return ri;
    }
    PrefixReader all(magic, *dec);
    ExtractStats st = ExtractCpio(all, tree, list);
    ri.has_folder = true;
    log << base << ": " << st.entries << " entries, " << st.files << " files, " << st.bytes << " bytes -> " << base
        << "/\n";
  } catch (const Error& e) {
    ClearPath(tree);
    ClearPath(list);
    ClearPath(NamesListPath(tree));
    throw Error(base + ": " + e.what());
  }
  ri.digest = TreeDigest(tree, list);
  return ri;
}

void WriteRamdiskSection(std::ostream& o, const RamdiskInfo& r) {
  o << "[" << r.section << "]\r\n";
  o << "; The ramdisk as it was stored. While the folder below is untouched the pack uses this file\r\n"
       "; unchanged (replace it to swap the whole ramdisk); once the folder or its list changes, the pack\r\n"
       "; builds a new cpio archive from them and compresses it as `compression` says.\r\n";
  o << "file = " << r.file << "\r\n";
  o << "; none, gzip, lz4-legacy, lz4, xz, lzma, bzip2, zstd (unknown: not a ramdisk we can open)\r\n";
  o << "compression = " << CompressionName(r.compression) << "\r\n";
  if (r.has_folder) {
    o << "folder = " << r.section << "\r\n";
    o << "list = " << r.section << "_entries.txt\r\n";
    o << "; Digest of the folder and list at unpack time (how the pack tells an untouched ramdisk).\r\n";
    o << "tree_digest = " << r.digest << "\r\n";
  }
}

}  // namespace

// ---- config.ini ----

std::string EscapeValue(const std::string& s) {
  std::string o;
  for (size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    bool edge_space = c == ' ' && (i == 0 || i + 1 == s.size());
    if (c == '\\') {
      o += "\\\\";
    } else if (c < 0x20 || c == 0x7f || edge_space) {
      char b[8];
      std::snprintf(b, sizeof b, "\\x%02x", c);
      o += b;
    } else {
      o += char(c);
    }
  }
  return o;
}

std::string UnescapeValue(const std::string& s) {
  std::string o;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size() && s[i + 1] == '\\') {
      o += '\\';
      ++i;
    } else if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] == 'x' && std::isxdigit(static_cast<unsigned char>(s[i + 2])) &&
               std::isxdigit(static_cast<unsigned char>(s[i + 3]))) {
      o += char(std::stoi(s.substr(i + 2, 2), nullptr, 16));
      i += 3;
    } else {
      o += s[i];
    }
  }
  return o;
}

void IniFile::Parse(const std::string& text, const std::string& where) {
  std::istringstream in(text);
  std::string line, section;
  int no = 0;
  while (std::getline(in, line)) {
    ++no;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (no == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
    size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == ';' || line[first] == '#') continue;
    if (line[first] == '[') {
      size_t close = line.find(']', first);
      if (close == std::string::npos) throw Error(where + " line " + std::to_string(no) + ": unclosed section name");
      section = line.substr(first + 1, close - first - 1);
      if (!values_.count(section)) order_.push_back(section);
      values_[section];
      continue;
    }
    size_t eq = line.find('=');
    if (eq == std::string::npos) throw Error(where + " line " + std::to_string(no) + ": expected key = value");
    std::string key = line.substr(first, eq - first);
    while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) key.pop_back();
    std::string value = line.substr(eq + 1);
    if (!value.empty() && value[0] == ' ') value.erase(0, 1);
    if (section.empty()) throw Error(where + " line " + std::to_string(no) + ": a key before any [section]");
    values_[section][key] = value;
  }
}

std::string IniFile::Get(const std::string& section, const std::string& key) const {
  auto s = values_.find(section);
  if (s == values_.end()) return "";
  auto k = s->second.find(key);
  return k == s->second.end() ? "" : k->second;
}

bool IniFile::Has(const std::string& section, const std::string& key) const {
  auto s = values_.find(section);
  return s != values_.end() && s->second.count(key);
}

bool IniFile::HasSection(const std::string& section) const { return values_.count(section) > 0; }

// ---- unpack ----

void UnpackImage(const std::string& image, const std::string& folder, std::ostream& log, const UnpackOptions& opt) {
  File img(image, "rb");
  const uint64_t file_size = img.Size();
  std::vector<uint8_t> head(size_t(std::min<uint64_t>(file_size, kMaxHeaderBytes)));
  if (!head.empty()) img.ReadAt(0, head.data(), head.size());
  Header h = ParseHeader(head.data(), head.size(), file_size);
  ReadVendorRamdiskTable(img, h);

  std::error_code ec;
  fs::create_directories(platform::ToPath(folder), ec);
  if (!platform::IsDirectory(folder)) throw Error("cannot create the folder " + folder);
  // A folder from an earlier unpack stops being packable until this one is complete.
  ClearPath(JoinPath(folder, kConfigName));

  const bool vendor = h.type == ImageType::VendorBoot;
  log << (vendor ? "vendor_boot" : "boot") << " image, header version " << h.version;
  if (!(h.type == ImageType::Boot && h.version >= 3)) log << ", page size " << h.page_size;
  log << "\n";

  std::vector<Part> parts = ListParts(h);
  std::map<std::string, std::string> files;  // part name -> file name
  std::vector<RamdiskInfo> ramdisks;
  for (const auto& p : parts) {
    if (p.name == "vendor_ramdisk_table") continue;
    if (p.name == "ramdisk") {
      ramdisks.push_back(UnpackRamdisk(img, p.offset, p.size, "ramdisk", folder, log, opt));
      continue;
    }
    if (p.name == "vendor_ramdisk") {
      if (h.version < 4 || h.ramdisks.empty()) {
        ramdisks.push_back(UnpackRamdisk(img, p.offset, p.size, "vendor_ramdisk", folder, log, opt));
      } else {
        uint64_t expect = 0;
        for (size_t i = 0; i < h.ramdisks.size(); ++i) {
          const auto& r = h.ramdisks[i];
          if (r.offset != expect)
            log << "warning: vendor ramdisk " << i << " does not follow the one before it; the pack lays them end to end\n";
          expect = uint64_t(r.offset) + r.size;
          std::string base = std::string(i < 10 ? "vendor_ramdisk0" : "vendor_ramdisk") + std::to_string(i);
          ramdisks.push_back(UnpackRamdisk(img, p.offset + r.offset, r.size, base, folder, log, opt));
        }
        if (expect != h.vendor_ramdisk_size)
          log << "warning: the vendor ramdisk table does not cover the whole vendor ramdisk section\n";
      }
      continue;
    }
    CopyRegionToFile(img, p.offset, p.size, JoinPath(folder, p.name));
    files[p.name] = p.name;
    log << p.name << ": " << p.size << " bytes\n";
  }
  const uint64_t end = ImageSize(h);
  if (file_size > end) {
    CopyRegionToFile(img, end, file_size - end, JoinPath(folder, "tail"));
    files["tail"] = "tail";
    log << "tail: " << (file_size - end) << " bytes after the image (kept and appended again on pack)\n";
  }

  // The id scheme: which digest layout reproduces the stored id.
  std::string id_scheme = "recorded";
  if (h.type == ImageType::Boot && h.version <= 2) {
    auto part_reader = [&](const char* name, std::unique_ptr<RegionReader>& r) -> Reader* {
      for (const auto& p : parts)
        if (p.name == name) {
          r = std::make_unique<RegionReader>(img, p.offset, p.size);
          return r.get();
        }
      return nullptr;
    };
    for (bool always : {true, false}) {
      std::unique_ptr<RegionReader> k, rd, s, dt, rec, dtb;
      IdParts ip;
      ip.kernel = part_reader("kernel", k);
      ip.ramdisk = part_reader("ramdisk", rd);
      ip.second = part_reader("second", s);
      ip.dt = part_reader("dt", dt);
      ip.recovery_dtbo = part_reader("recovery_dtbo", rec);
      ip.dtb = part_reader("dtb", dtb);
      ip.kernel_size = h.kernel_size;
      ip.ramdisk_size = h.ramdisk_size;
      ip.second_size = h.second_size;
      ip.dt_size = h.legacy_dt_size;
      ip.recovery_dtbo_size = h.recovery_dtbo_size;
      ip.dtb_size = h.dtb_size;
      if (ComputeId(ip, h.version, always) == h.id) {
        id_scheme = always ? "sha1" : "sha1-without-dt";
        break;
      }
    }
  }

  // A command line too short to fill the main field does not show where the tool that made the
  // image would split a longer one; the id layout tells the older tool (512) from the current (511).
  if (h.type == ImageType::Boot && h.version <= 2 && h.cmdline.size() < 512)
    h.cmdline_split = id_scheme == "sha1-without-dt" ? 512 : 511;

  std::ostringstream o;
  o << "; Unpacked " << (vendor ? "vendor_boot" : "boot") << " image. Edit values, part files or the ramdisk\r\n"
       "; folders, then pack the folder again. Sizes, offsets and the id digest are worked out again by the\r\n"
       "; pack from the files; the other header fields are written as they stand here. Texts use \\\\ for a\r\n"
       "; backslash and \\xHH for control bytes and for spaces at either end.\r\n";
  o << "[" << kHeaderSection << "]\r\n";
  o << "; boot (also recovery) or vendor_boot\r\n";
  o << "image_type = " << (vendor ? "vendor_boot" : "boot") << "\r\n";
  o << "header_version = " << h.version << "\r\n";
  if (vendor || h.version <= 2) {
    o << "page_size = " << h.page_size << "\r\n";
    o << "kernel_load_address = " << Hex32(h.kernel_addr) << "\r\n";
    o << "ramdisk_load_address = " << Hex32(h.ramdisk_addr) << "\r\n";
    if (!vendor) o << "second_load_address = " << Hex32(h.second_addr) << "\r\n";
    o << "tags_load_address = " << Hex32(h.tags_addr) << "\r\n";
    if (vendor || h.version >= 2) o << "dtb_load_address = " << Hex32(h.dtb_addr) << "\r\n";
    o << "board_name = " << EscapeValue(h.name) << "\r\n";
  }
  if (!vendor) {
    o << "; Android version A.B.C and security patch level YYYY-MM, packed into one header word.\r\n";
    o << "os_version = " << OsVersionText(h.os_version) << "\r\n";
    o << "os_patch_level = " << OsPatchLevelText(h.os_version) << "\r\n";
  }
  o << (vendor ? "; Vendor kernel command line (up to 2048 bytes).\r\n"
               : h.version >= 3 ? "; Kernel command line (up to 1536 bytes).\r\n"
                                : "; Kernel command line (up to 1536 bytes: the first part goes into the main field, the\r\n"
                                  "; rest into the extra field).\r\n");
  o << "cmdline = " << EscapeValue(h.cmdline) << "\r\n";
  if (!vendor && h.version <= 2) {
    o << "; Characters the main command-line field takes before the extra field: 512 (field filled\r\n"
         "; without terminator, older mkbootimg) or 511.\r\n";
    o << "cmdline_split = " << h.cmdline_split << "\r\n";
  }
  if (!vendor && h.version >= 1 && h.version <= 2) {
    uint64_t at = 0;
    for (const auto& p : parts)
      if (p.name == "recovery_dtbo") at = p.offset;
    o << "; auto: worked out by the pack. A number: the value this image stored, which does not match where\r\n"
         "; the part lies; written back as it is.\r\n";
    o << "recovery_dtbo_offset = " << (h.recovery_dtbo_offset == at ? std::string("auto") : Hex32(h.recovery_dtbo_offset))
      << "\r\n";
  }
  if (vendor || h.version >= 1) {
    o << "; Written as recorded (mkbootimg versions differ in the value they store).\r\n";
    o << "header_size = " << h.header_size << "\r\n";
  }
  if (!vendor && h.version >= 3) {
    o << "reserved = " << Hex32(h.reserved[0]) << " " << Hex32(h.reserved[1]) << " " << Hex32(h.reserved[2]) << " "
      << Hex32(h.reserved[3]) << "\r\n";
  }
  if (!vendor && h.version <= 2) {
    o << "; id: sha1 (digest with a device-tree slot, current mkbootimg), sha1-without-dt (older mkbootimg),\r\n"
         "; or recorded (the id below is written unchanged). The pack recomputes the sha1 forms.\r\n";
    o << "id_hash = " << id_scheme << "\r\n";
    o << "id = " << Sha1::Hex(h.id.data(), h.id.size()) << "\r\n";
  }
  o << "[" << kFilesSection << "]\r\n";
  o << "; Part files in this folder; an empty value or a missing key leaves the part out.\r\n";
  const char* names[] = {"kernel", "second", "dt", "recovery_dtbo", "dtb", "boot_signature", "bootconfig", "tail"};
  for (const char* n : names) {
    bool applies = (!vendor && h.version <= 2 && std::strcmp(n, "boot_signature") && std::strcmp(n, "bootconfig")) ||
                   (!vendor && h.version >= 3 && (!std::strcmp(n, "kernel") || !std::strcmp(n, "boot_signature"))) ||
                   (vendor && (!std::strcmp(n, "dtb") || !std::strcmp(n, "bootconfig"))) || !std::strcmp(n, "tail");
    if (!applies) continue;
    if (!std::strcmp(n, "boot_signature") && h.version < 4) continue;
    if (!std::strcmp(n, "bootconfig") && h.version < 4) continue;
    if (!std::strcmp(n, "recovery_dtbo") && h.version < 1) continue;
    if (!std::strcmp(n, "dtb") && !vendor && h.version < 2) continue;
    if (!std::strcmp(n, "dt") && h.version != 0) continue;
    o << n << " = " << (files.count(n) ? files[n] : "") << "\r\n";
  }
  for (size_t i = 0; i < ramdisks.size(); ++i) {
    WriteRamdiskSection(o, ramdisks[i]);
    if (vendor && h.version >= 4 && !h.ramdisks.empty()) {
      const auto& r = h.ramdisks[i];
      const char* tn = RamdiskTypeName(r.type);
      o << "; Vendor ramdisk table entry: type (none, platform, recovery, dlkm or a number), name, board id.\r\n";
      o << "type = " << (tn ? tn : std::to_string(r.type)) << "\r\n";
      o << "name = " << EscapeValue(r.name) << "\r\n";
      o << "board_id =";
      for (uint32_t b : r.board_id) o << " " << Hex32(b);
      o << "\r\n";
    }
  }
  {
    ClearPath(JoinPath(folder, kConfigName));
    File cfg(JoinPath(folder, kConfigName), "wb");
    FileWriter w(cfg);
    std::string text = o.str();
    w.Write(text.data(), text.size());
    cfg.Close();
  }

  // The promise of an unedited round trip, checked now rather than discovered later.
  std::ostringstream quiet;
  CompareWriter cmp(img);
  try {
    PackImageTo(folder, cmp, folder, quiet);
    int64_t diff = cmp.FirstDifference();
    if (diff >= 0)
      log << "warning: packing this folder unedited will not give the same image (first difference at byte " << diff
          << ")\n";
  } catch (const Error& e) {
    log << "warning: this folder cannot be packed as it is: " << e.what() << "\n";
  }
}

// ---- pack ----

namespace {

struct PartFile {
  std::string path;
  uint64_t size = 0;
};

uint32_t Size32(uint64_t n, const std::string& what) {
  if (n > 0xFFFFFFFFull) throw Error(what + " is larger than 4 GiB");
  return uint32_t(n);
}

// A temporary file removed with the object.
struct TempFile {
  std::string path;
  ~TempFile() {
    if (!path.empty()) {
      platform::RemoveFile(path);
    }
  }
};

}  // namespace

void PackImageTo(const std::string& folder, Writer& out, const std::string& temp_dir, std::ostream& log) {
  const std::string& dir = folder;
  IniFile ini;
  {
    bool ok = IsFile(JoinPath(dir, kConfigName));
    if (!ok) throw Error("no config.ini in " + folder);
    File in(JoinPath(dir, kConfigName), "rb");
    FileReader r(in);
    StringWriter text;
    Copy(r, text);
    ini.Parse(text.s, "config.ini");
  }
  auto get = [&](const char* key) { return ini.Get(kHeaderSection, key); };
  auto num = [&](const char* key, uint64_t max, uint64_t def) {
    return ini.Has(kHeaderSection, key) ? ParseU(get(key), max, key) : def;
  };
  Header h;
  const std::string type = get("image_type");
  if (type == "vendor_boot") {
    h.type = ImageType::VendorBoot;
  } else if (type == "boot") {
    h.type = ImageType::Boot;
  } else {
    throw Error("config.ini: image_type must be boot or vendor_boot, not '" + type + "'");
  }
  const bool vendor = h.type == ImageType::VendorBoot;
  h.version = uint32_t(num("header_version", 4, 0));
  if (vendor && h.version < 3) throw Error("config.ini: a vendor_boot image has header version 3 or 4");
  if (!vendor && h.version >= 3) {
    h.page_size = 4096;
  } else {
    h.page_size = uint32_t(num("page_size", kMaxPageSize, 2048));
    const uint32_t least = vendor ? 512 : 2048;
    if (h.page_size < least || (h.page_size & (h.page_size - 1)))
      throw Error("config.ini: page_size must be a power of two from " + std::to_string(least) + " up");
  }
  h.kernel_addr = uint32_t(num("kernel_load_address", 0xFFFFFFFFu, 0));
  h.ramdisk_addr = uint32_t(num("ramdisk_load_address", 0xFFFFFFFFu, 0));
  h.second_addr = uint32_t(num("second_load_address", 0xFFFFFFFFu, 0));
  h.tags_addr = uint32_t(num("tags_load_address", 0xFFFFFFFFu, 0));
  h.dtb_addr = num("dtb_load_address", ~0ull, 0);
  h.name = UnescapeValue(get("board_name"));
  if (h.name.size() > 16) throw Error("config.ini: board_name is longer than 16 bytes");
  h.cmdline = UnescapeValue(get("cmdline"));
  const size_t max_cmdline = vendor ? 2048 : 1536;
  if (h.cmdline.size() > max_cmdline)
    throw Error("config.ini: cmdline is longer than " + std::to_string(max_cmdline) + " bytes");
  h.cmdline_split = uint32_t(num("cmdline_split", 512, 511));
  if (h.cmdline_split != 511 && h.cmdline_split != 512) throw Error("config.ini: cmdline_split must be 511 or 512");
  if (!vendor) h.os_version = PackOsVersion(get("os_version").empty() ? "0.0.0" : get("os_version"),
                                            get("os_patch_level").empty() ? "2000-00" : get("os_patch_level"));
  const uint32_t default_header_size =
      vendor ? (h.version >= 4 ? 2128 : 2112) : h.version == 1 ? 1648 : h.version == 2 ? 1660 : h.version == 3 ? 1580 : 1584;
  h.header_size = uint32_t(num("header_size", 16384, (vendor || h.version >= 1) ? default_header_size : 0));
  if (vendor && h.header_size < 2048) throw Error("config.ini: header_size is too small for a vendor_boot header");
  if (ini.Has(kHeaderSection, "reserved")) {
    std::istringstream rs(get("reserved"));
    for (auto& r : h.reserved) {
      std::string w;
      if (!(rs >> w)) throw Error("config.ini: reserved needs four numbers");
      r = uint32_t(ParseU(w, 0xFFFFFFFFu, "reserved"));
    }
  }

  // Part files.
  auto part = [&](const char* key) -> PartFile {
    std::string name = ini.Get(kFilesSection, key);
    if (name.empty()) return {};
    PlainName(name, key);
    const std::string p = JoinPath(dir, name);
    if (!IsFile(p)) throw Error("the " + std::string(key) + " file " + name + " is missing");
    return {p, SizeOf(p)};
  };
  PartFile kernel = part("kernel"), second = part("second"), dt = part("dt"), recovery_dtbo = part("recovery_dtbo"),
           dtb = part("dtb"), signature = part("boot_signature"), bootconfig = part("bootconfig"), tail = part("tail");

  // Ramdisks: the kept file while the folder is untouched, else a new archive.
  std::vector<std::unique_ptr<TempFile>> temps;
  auto ramdisk = [&](const std::string& section) -> PartFile {
    std::string file = ini.Get(section, "file");
    if (file.empty()) return {};
    PlainName(file, section + " file");
    Compression comp = CompressionFromName(ini.Get(section, "compression").empty() ? "unknown" : ini.Get(section, "compression"));
    std::string folder_name = ini.Get(section, "folder"), list_name = ini.Get(section, "list");
    const std::string kept = JoinPath(dir, file);
    bool have_kept = IsFile(kept);
    bool have_tree = !folder_name.empty() && platform::IsDirectory(JoinPath(dir, PlainName(folder_name, section + " folder")));
    if (have_tree && !list_name.empty()) {
      PlainName(list_name, section + " list");
      std::string tree = JoinPath(dir, folder_name), list = JoinPath(dir, list_name);
      if (!IsFile(list)) throw Error(section + ": the list file " + list_name + " is missing");
      bool untouched = have_kept && TreeDigest(tree, list) == ini.Get(section, "tree_digest");
      if (untouched) {
        uint8_t headb[16] = {};
        File k(kept, "rb");
        size_t n = 0;
        while (n < sizeof headb) {
          size_t got = k.Read(headb + n, sizeof headb - n);
          if (got == 0) break;
          n += got;
        }
        untouched = DetectCompression(headb, n) == comp;
      }
      if (!untouched) {
        if (comp == Compression::Unknown) throw Error(section + ": set a compression to rebuild the ramdisk");
        auto t = std::make_unique<TempFile>();
        t->path = JoinPath(temp_dir, ".andimg_" + section + ".tmp");
        {
          TempFile cpio_tmp;
          cpio_tmp.path = t->path + ".cpio";
          File c(cpio_tmp.path, "wb");
          FileWriter cw(c);
          BuildCpio(tree, list, cw);
          c.Close();
          File cr(cpio_tmp.path, "rb");
          FileReader rr(cr);
          File z(t->path, "wb");
          FileWriter zw(z);
          Compress(comp, rr, zw);
          z.Close();
        }
        log << section << ": rebuilt from " << folder_name << "/ (" << CompressionName(comp) << ")\n";
        PartFile pf{t->path, SizeOf(t->path)};
        temps.push_back(std::move(t));
        return pf;
      }
    }
    if (!have_kept) throw Error(section + ": the ramdisk file " + file + " is missing");
    return {kept, SizeOf(kept)};
  };

  PartFile main_ramdisk;
  std::vector<PartFile> vendor_ramdisks;
  if (!vendor) {
    main_ramdisk = ramdisk("ramdisk");
  } else if (h.version >= 4 && ini.HasSection("vendor_ramdisk00")) {
    uint64_t offset = 0;
    for (size_t i = 0;; ++i) {
      if (i > 0xFFFF) throw Error("config.ini: more vendor ramdisks than a table can hold");
      const std::string s = std::string(i < 10 ? "vendor_ramdisk0" : "vendor_ramdisk") + std::to_string(i);
      if (!ini.HasSection(s)) break;
      PartFile pf = ramdisk(s);
      VendorRamdisk r;
      r.size = Size32(pf.size, s);
      r.offset = Size32(offset, "the vendor ramdisk section");
      r.type = ParseRamdiskType(ini.Get(s, "type").empty() ? "none" : ini.Get(s, "type"));
      r.name = UnescapeValue(ini.Get(s, "name"));
      if (r.name.size() > 32) throw Error("config.ini: the name of " + s + " is longer than 32 bytes");
      std::istringstream bs(ini.Get(s, "board_id"));
      std::string w;
      for (size_t k = 0; k < 16 && bs >> w; ++k) r.board_id[k] = uint32_t(ParseU(w, 0xFFFFFFFFu, "board_id"));
      h.ramdisks.push_back(r);
      vendor_ramdisks.push_back(pf);
      offset += pf.size;
    }
    h.vendor_ramdisk_size = Size32(offset, "the vendor ramdisk section");
  } else {
    PartFile pf = ramdisk("vendor_ramdisk");
    if (!pf.path.empty()) vendor_ramdisks.push_back(pf);
    h.vendor_ramdisk_size = Size32(pf.size, "the vendor ramdisk");
  }

  // Sizes and what each version allows.
  auto forbid = [&](const PartFile& p, const char* what) {
    if (!p.path.empty()) throw Error(std::string("header version ") + std::to_string(h.version) + " has no " + what);
  };
  if (vendor) {
    forbid(kernel, "kernel");
    forbid(second, "second");
    forbid(dt, "dt");
    forbid(recovery_dtbo, "recovery_dtbo");
    forbid(signature, "boot_signature");
    if (h.version < 4) forbid(bootconfig, "bootconfig");
    h.dtb_size = Size32(dtb.size, "dtb");
    h.bootconfig_size = Size32(bootconfig.size, "bootconfig");
    if (h.version >= 4) {
      h.table_entry_num = uint32_t(h.ramdisks.size());
      h.table_entry_size = kVendorTableEntrySize;
      h.table_size = h.table_entry_num * kVendorTableEntrySize;
    }
  } else {
    h.kernel_size = Size32(kernel.size, "kernel");
    h.ramdisk_size = Size32(main_ramdisk.size, "ramdisk");
    forbid(bootconfig, "bootconfig");
    if (h.version >= 3) {
      forbid(second, "second");
      forbid(dt, "dt");
      forbid(recovery_dtbo, "recovery_dtbo");
      forbid(dtb, "dtb");
      if (h.version < 4) forbid(signature, "boot_signature");
      h.signature_size = Size32(signature.size, "boot_signature");
    } else {
      forbid(signature, "boot_signature");
      if (h.version < 1) forbid(recovery_dtbo, "recovery_dtbo");
      if (h.version < 2) forbid(dtb, "dtb");
      if (h.version != 0) forbid(dt, "dt");
      h.second_size = Size32(second.size, "second");
      h.legacy_dt_size = Size32(dt.size, "dt");
      if (h.legacy_dt_size && h.legacy_dt_size <= 4)
        throw Error("a device-tree table of 4 bytes or fewer cannot be told from a header version");
      h.recovery_dtbo_size = Size32(recovery_dtbo.size, "recovery_dtbo");
      h.dtb_size = Size32(dtb.size, "dtb");
      const std::string rec = get("recovery_dtbo_offset");
      if (!rec.empty() && rec != "auto") {
        h.recovery_dtbo_offset = ParseU(rec, ~0ull, "recovery_dtbo_offset");
      } else if (h.recovery_dtbo_size) {
        for (const auto& p : ListParts(h))
          if (p.name == "recovery_dtbo") h.recovery_dtbo_offset = p.offset;
      }
    }
  }

  // The id.
  if (!vendor && h.version <= 2) {
    std::string scheme = get("id_hash");
    if (scheme == "sha1" || scheme == "sha1-without-dt") {
      std::vector<std::unique_ptr<File>> open;
      std::vector<std::unique_ptr<FileReader>> readers;
      auto rd = [&](const PartFile& p) -> Reader* {
        if (p.path.empty()) return nullptr;
        open.push_back(std::make_unique<File>(p.path, "rb"));
        readers.push_back(std::make_unique<FileReader>(*open.back()));
        return readers.back().get();
      };
      IdParts ip;
      ip.kernel = rd(kernel);
      ip.ramdisk = rd(main_ramdisk);
      ip.second = rd(second);
      ip.dt = rd(dt);
      ip.recovery_dtbo = rd(recovery_dtbo);
      ip.dtb = rd(dtb);
      ip.kernel_size = h.kernel_size;
      ip.ramdisk_size = h.ramdisk_size;
      ip.second_size = h.second_size;
      ip.dt_size = h.legacy_dt_size;
      ip.recovery_dtbo_size = h.recovery_dtbo_size;
      ip.dtb_size = h.dtb_size;
      h.id = ComputeId(ip, h.version, scheme == "sha1");
    } else if (scheme == "recorded") {
      std::string hex = get("id");
      if (hex.size() != 64) throw Error("config.ini: id must be 64 hexadecimal digits");
      for (size_t i = 0; i < 32; ++i) h.id[i] = uint8_t(ParseU("0x" + hex.substr(2 * i, 2), 255, "id"));
    } else {
      throw Error("config.ini: id_hash must be sha1, sha1-without-dt or recorded");
    }
  }

  // Write: header, parts in file order, each padded to the page, then the tail.
  const uint64_t page = EffectivePageSize(h);
  CountingWriter cw(&out);
  std::vector<uint8_t> header = SerializeHeader(h);
  cw.Write(header.data(), header.size());
  auto put_file = [&](const PartFile& p) {
    File f(p.path, "rb");
    FileReader r(f);
    if (Copy(r, cw) != p.size) throw Error(p.path + " changed size while it was packed");
  };
  auto pad = [&]() { WriteZeros(cw, AlignUp(cw.count, page) - cw.count); };
  for (const Part& p : ListParts(h)) {
    if (p.offset != cw.count) throw Error("internal layout error at " + p.name);
    if (p.name == "kernel") put_file(kernel);
    else if (p.name == "ramdisk") put_file(main_ramdisk);
    else if (p.name == "second") put_file(second);
    else if (p.name == "dt") put_file(dt);
    else if (p.name == "recovery_dtbo") put_file(recovery_dtbo);
    else if (p.name == "dtb") put_file(dtb);
    else if (p.name == "boot_signature") put_file(signature);
    else if (p.name == "bootconfig") put_file(bootconfig);
    else if (p.name == "vendor_ramdisk") {
      for (const auto& v : vendor_ramdisks) put_file(v);
    } else if (p.name == "vendor_ramdisk_table") {
      auto t = SerializeVendorTable(h);
      cw.Write(t.data(), t.size());
    }
    pad();
  }
  if (!tail.path.empty()) put_file(tail);
  log << (vendor ? "vendor_boot" : "boot") << " image, header version " << h.version << ": " << cw.count << " bytes\n";
}

void PackImage(const std::string& folder, const std::string& image, std::ostream& log) {
  const std::string tmp = image + ".andimg.tmp";
  const fs::path parent = platform::ToPath(image).parent_path();
  std::string temp_dir = parent.empty() ? "." : platform::FromPath(parent);
  try {
    File f(tmp, "wb");
    FileWriter w(f);
    PackImageTo(folder, w, temp_dir, log);
    f.Close();
    if (!platform::RenameReplacing(tmp, image))
      throw Error("cannot rename " + tmp + " to " + image + ": " + std::strerror(errno));
  } catch (...) {
    platform::RemoveFile(tmp);
    throw;
  }
}

}  // namespace orvex::bootimg
