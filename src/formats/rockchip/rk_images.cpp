// The small Rockchip images (RSCE resource, KRNL/PARM wrapped, LOADER/TOS) and the dispatch of
// unpack and pack by kind.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "bootimg/compression.h"
#include "bootimg/ramdisk_tree.h"
#include "bootimg/unpacked_folder.h"
#include "platform.h"
#include "rockchip.h"

namespace orvex::rk {

namespace {

constexpr uint64_t kBlock = 512;
const char kGroup[] = "rockchip";


std::string HashOf(const std::string& path, Digest::Kind kind) {
  File f;
  f.OpenRead(path);
  Digest d(kind);
  std::vector<uint8_t> buf(1 << 20);
  for (uint64_t at = 0; at < f.size();) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), f.size() - at));
    f.ReadAt(at, buf.data(), n);
    d.Update(buf.data(), n);
    at += n;
  }
  return d.Final();
}

}  // namespace

Kind DetectKind(const File& f) {
  uint8_t m[8] = {};
  if (f.size() >= 8) f.ReadAt(0, m, 8);
  auto is = [&](const char* s) { return std::memcmp(m, s, std::strlen(s)) == 0; };
  if (is("RKFW")) return Kind::kRkfw;
  if (is("RKAF")) return Kind::kRkaf;
  if (is("RSCE")) return Kind::kRsce;
  if (is("KRNL")) return Kind::kKrnl;
  if (is("PARM")) return Kind::kParm;
  if (is("LOADER  ") || is("TOS     ") || std::memcmp(m, "KERNEL\0\0", 8) == 0) return Kind::kLoader;
  if (is("ANDROID!") || is("VNDRBOOT")) return Kind::kAndroid;
  if (m[0] == 0x1F && m[1] == 0x8B && m[2] == 0x08) return Kind::kGzip;
  return Kind::kUnknown;
}

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::kRkfw: return "RKFW";
    case Kind::kRkaf: return "RKAF";
    case Kind::kRsce: return "RSCE";
    case Kind::kKrnl: return "KRNL";
    case Kind::kParm: return "PARM";
    case Kind::kLoader: return "LOADER";
    case Kind::kAndroid: return "ANDROID";
    case Kind::kGzip: return "GZIP";
    default: return "unknown";
  }
}

void UnpackImage(const std::string& image, const Log& log) {
  File in;
  in.OpenRead(image);
  const Kind kind = DetectKind(in);
  if (kind == Kind::kUnknown) throw Error("not a Rockchip image (no known signature): " + image);
  const std::string dump = image + ".dump";
  if (!RemovePath(dump)) throw Error("cannot remove the earlier folder " + dump);
  MakeFolder(dump);
  log("Unpacking " + std::string(KindName(kind)) + " image " + image);
  Cfg cfg;
  const bool whole = kind == Kind::kRkfw;
  cfg.Add(whole ? "rkfw" : kGroup, "kind", KindName(kind));
  cfg.Add(whole ? "rkfw" : kGroup, "image", EscapeCfg(BaseName(image)));
  try {
    switch (kind) {
      case Kind::kRkfw: UnpackRkfw(in, dump, cfg, log); break;
      case Kind::kRkaf: UnpackRkaf(in, dump, cfg, log); break;
      case Kind::kRsce: UnpackRsce(in, dump, cfg, log); break;
      case Kind::kKrnl:
      case Kind::kParm:
      case Kind::kGzip: UnpackWrapped(in, dump, cfg, log); break;
      case Kind::kLoader: UnpackLoader(in, dump, cfg, log); break;
      case Kind::kAndroid: {
        std::ostringstream out;
        try {
          bootimg::UnpackImage(image, dump, out);
        } catch (const std::exception& e) {
          throw Error(e.what());
        }
        std::istringstream lines(out.str());
        for (std::string l; std::getline(lines, l);) log(l);
        break;
      }
      default: break;
    }
    WriteWhole(whole ? JoinPath(dump, "image.cfg") : image + ".cfg", cfg.Text());
  } catch (...) {
    // A broken image leaves nothing half-unpacked behind.
    RemovePath(dump);
    throw;
  }
}

std::string PackFolder(const std::string& folderIn, const std::string& cfgIn, const Log& log) {
  std::string folder = folderIn;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  if (!IsDir(folder)) throw Error("not a folder: " + folder);
  std::string cfgPath = cfgIn;
  if (cfgPath.empty()) {
    cfgPath = JoinPath(folder, "image.cfg");
    if (!IsRegularFile(cfgPath) && EndsWith(folder, ".dump")) cfgPath = folder.substr(0, folder.size() - 5) + ".cfg";
  }
  const Cfg cfg = Cfg::Parse(ReadWhole(cfgPath, 16u << 20), cfgPath);
  const bool whole = cfg.HasGroup("rkfw");
  const std::string group = whole ? "rkfw" : kGroup;
  const std::string kind = cfg.Get(group, "kind");
  // The image: for a firmware folder the folder's name without ".dump" (where the firmware
  // pack expects it), for a sub-image the name its .cfg records, beside the .cfg.
  std::string out;
  if (whole && EndsWith(folder, ".dump")) {
    out = folder.substr(0, folder.size() - 5);
  } else {
    const std::string name = UnescapeCfg(cfg.Get(group, "image"));
    // One plain name beside the .cfg: IsSafeRelPath with no folder part (no '\\' or ':' either,
    // which Windows would read as a folder or a drive).
    if (!IsSafeRelPath(name) || name.find('/') != std::string::npos)
      throw Error(cfgPath + ": the image name is not a plain file name: " + name);
    out = DirName(cfgPath) + name;
  }
  log("Packing " + kind + " image " + out);
  WriteReplacing(out, [&](const std::string& tmp) {
    if (kind == "RKFW") PackRkfw(cfg, folder, tmp, log);
    else if (kind == "RKAF") PackRkaf(cfg, folder, tmp, log);
    else if (kind == "RSCE") PackRsce(cfg, folder, tmp, log);
    else if (kind == "KRNL" || kind == "PARM" || kind == "GZIP") PackWrapped(cfg, folder, tmp, log);
    else if (kind == "LOADER") PackLoader(cfg, folder, tmp, log);
    else if (kind == "ANDROID") {
      std::ostringstream o;
      try {
        bootimg::PackImage(folder, tmp, o);
      } catch (const std::exception& e) {
        throw Error(e.what());
      }
      std::istringstream lines(o.str());
      for (std::string l; std::getline(lines, l);) log(l);
    } else {
      throw Error(cfgPath + ": unknown kind " + kind);
    }
  });
  return out;
}

// ---- RSCE resource image --------------------------------------------------------------------

void UnpackRsce(const File& in, const std::string& dump, Cfg& cfg, const Log& log) {
  if (in.size() < kBlock) throw Error("resource image too short: " + in.path());
  uint8_t h[16];
  in.ReadAt(0, h, sizeof h);
  const uint32_t headerBlocks = h[8], tblOffset = h[9], entryBlocks = h[10], count = Get32(h + 12);
  const uint64_t blocks = in.size() / kBlock;
  if (headerBlocks == 0 || tblOffset == 0 || entryBlocks == 0 || count == 0 || count > 4096 ||
      tblOffset + uint64_t(count) * entryBlocks > blocks)
    throw Error("resource image table does not fit the file: " + in.path());
  cfg.AddNum(kGroup, "ptn_version", Get16(h + 4));
  cfg.AddNum(kGroup, "tbl_version", Get16(h + 6));
  cfg.AddNum(kGroup, "header_blocks", headerBlocks);
  cfg.AddNum(kGroup, "table_block", tblOffset);
  cfg.AddNum(kGroup, "entry_blocks", entryBlocks);
  cfg.AddNum(kGroup, "size", in.size());
  std::vector<Piece> pieces;
  std::vector<std::string> hashes;
  std::vector<uint32_t> hashSizes;
  std::vector<std::string> names;
  for (uint32_t i = 0; i < count; ++i) {
    uint8_t e[kBlock];
    in.ReadAt((tblOffset + uint64_t(i) * entryBlocks) * kBlock, e, kBlock);
    if (std::memcmp(e, "ENTR", 4) != 0) throw Error("resource entry " + std::to_string(i) + " has no ENTR mark");
    const std::string path = FieldText(e + 4, 220);
    const uint32_t hashSize = Get32(e + 256), offset = Get32(e + 260), size = Get32(e + 264);
    if (!IsSafeRelPath(path)) throw Error("resource entry with an unsafe name: " + path);
    if (std::find(names.begin(), names.end(), path) != names.end())
      throw Error("resource entry named twice: " + path);
    if (hashSize > 32) throw Error("resource entry " + path + " has a hash size of " + std::to_string(hashSize));
    if (uint64_t(offset) * kBlock > in.size() || size > in.size() - uint64_t(offset) * kBlock)
      throw Error("resource entry " + path + " lies past the end of the file");
    names.push_back(path);
    MakeParents(dump, path);
    pieces.push_back({uint64_t(offset) * kBlock, size, JoinPath(dump, path)});
    hashes.push_back(std::string(reinterpret_cast<char*>(e + 224), hashSize));
    hashSizes.push_back(hashSize);
    cfg.Add("files", "file", JoinFields({path, std::to_string(hashSize), std::to_string(offset)}));
  }
  SplitStream(in, in.size(), pieces, nullptr);
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (hashSizes[i] == 20 || hashSizes[i] == 32) {
      const std::string got = HashOf(pieces[i].path, hashSizes[i] == 20 ? Digest::kSha1 : Digest::kSha256);
      if (got != hashes[i]) throw Error("resource entry " + names[i] + ": its hash does not match its content");
    }
    log("  " + names[i] + " (" + std::to_string(pieces[i].length) + " bytes)");
  }
}

void PackRsce(const Cfg& cfg, const std::string& dump, const std::string& out, const Log& log) {
  const uint64_t headerBlocks = cfg.Num(kGroup, "header_blocks"), tbl = cfg.Num(kGroup, "table_block"),
                 entryBlocks = cfg.Num(kGroup, "entry_blocks");
  if (headerBlocks == 0 || headerBlocks > 255 || tbl == 0 || tbl > 255 || entryBlocks == 0 || entryBlocks > 255)
    throw Error("resource layout values out of range in the .cfg");
  struct Item {
    std::string name, path;
    uint32_t hashSize;
    uint64_t wanted, size, offset;
  };
  std::vector<Item> items;
  for (const std::string& v : cfg.All("files", "file")) {
    const auto f = SplitFields(v);
    if (f.size() < 3 || !IsSafeRelPath(f[0])) throw Error("bad resource file line in the .cfg: " + v);
    const uint32_t hs = static_cast<uint32_t>(ParseNum(f[1], "hash size"));
    if (hs != 0 && hs != 20 && hs != 32) throw Error("unsupported hash size in the .cfg: " + f[1]);
    items.push_back({f[0], JoinPath(dump, f[0]), hs, ParseNum(f[2], "offset"), 0, 0});
  }
  // Files added to the folder since the unpack follow the listed ones, by name, with a SHA-1.
  std::vector<std::string> added;
  std::error_code ec;
  const std::filesystem::path top = platform::ToPath(dump);
  for (auto it = std::filesystem::recursive_directory_iterator(top, ec); !ec && it != std::filesystem::end(it);
       it.increment(ec)) {
    if (!it->is_regular_file() || it->is_symlink()) continue;
    std::string rel = platform::FromPath(std::filesystem::relative(it->path(), top));
    // Paths of the image have '/' between folders, whatever this system writes.
    if (platform::kSep != '/') std::replace(rel.begin(), rel.end(), platform::kSep, '/');
    if (std::none_of(items.begin(), items.end(), [&](const Item& i) { return i.name == rel; })) added.push_back(rel);
  }
  std::sort(added.begin(), added.end());
  for (const std::string& rel : added) {
    if (!IsSafeRelPath(rel)) throw Error("a file in the folder has a name the image cannot hold: " + rel);
    items.push_back({rel, JoinPath(dump, rel), 20, UINT64_MAX, 0, 0});  // stored after the others
    log("  adding " + rel);
  }
  if (items.empty()) throw Error("the .cfg lists no resource files");
  const uint64_t firstData = std::max(headerBlocks, tbl + items.size() * entryBlocks);
  // Contents in the order they were stored; each starts where it stood unless an earlier one grew.
  std::vector<size_t> order(items.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return items[a].wanted < items[b].wanted; });
  uint64_t cursor = firstData;
  for (size_t i : order) {
    items[i].size = FileSizeOf(items[i].path);
    if (items[i].size > 0xFFFFFFFFu) throw Error("resource file too large: " + items[i].name);
    items[i].offset = items[i].wanted == UINT64_MAX ? cursor : std::max(cursor, items[i].wanted);
    cursor = items[i].offset + AlignUp(items[i].size, kBlock) / kBlock;
  }
  if (cursor > 0xFFFFFFFFu) throw Error("resource image too large");
  const uint64_t total = std::max(cursor * kBlock, cfg.NumOr(kGroup, "size", 0));
  File f;
  f.Create(out);
  std::vector<uint8_t> head(headerBlocks * kBlock, 0);
  std::memcpy(head.data(), "RSCE", 4);
  Put16(head.data() + 4, static_cast<uint16_t>(cfg.NumOr(kGroup, "ptn_version", 0)));
  Put16(head.data() + 6, static_cast<uint16_t>(cfg.NumOr(kGroup, "tbl_version", 0)));
  head[8] = static_cast<uint8_t>(headerBlocks);
  head[9] = static_cast<uint8_t>(tbl);
  head[10] = static_cast<uint8_t>(entryBlocks);
  Put32(head.data() + 12, static_cast<uint32_t>(items.size()));
  f.WriteAt(0, head.data(), head.size());
  for (size_t i = 0; i < items.size(); ++i) {
    std::vector<uint8_t> e(entryBlocks * kBlock, 0);
    std::memcpy(e.data(), "ENTR", 4);
    if (items[i].name.size() >= 220) throw Error("resource file name too long: " + items[i].name);
    std::memcpy(e.data() + 4, items[i].name.data(), items[i].name.size());
    if (items[i].hashSize) {
      const std::string h = HashOf(items[i].path, items[i].hashSize == 20 ? Digest::kSha1 : Digest::kSha256);
      std::memcpy(e.data() + 224, h.data(), h.size());
    }
    Put32(e.data() + 256, items[i].hashSize);
    Put32(e.data() + 260, static_cast<uint32_t>(items[i].offset));
    Put32(e.data() + 264, static_cast<uint32_t>(items[i].size));
    f.WriteAt((tbl + i * entryBlocks) * kBlock, e.data(), e.size());
  }
  std::vector<uint8_t> buf(1 << 20);
  for (const Item& it : items) {
    File src;
    src.OpenRead(it.path);
    for (uint64_t at = 0; at < it.size;) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), it.size - at));
      src.ReadAt(at, buf.data(), n);
      f.WriteAt(it.offset * kBlock + at, buf.data(), n);
      at += n;
    }
    log("  " + it.name + " (" + std::to_string(it.size) + " bytes)");
  }
  // The file ends on whole blocks: the last byte is written when the data stops short.
  const uint8_t zero = 0;
  if (f.size() < total) f.WriteAt(total - 1, &zero, 1);
  f.Close();
}

// ---- KRNL / PARM wrapped images and bare gzip ramdisks -----------------------------------------

namespace {

const char kRamdiskTree[] = "ramdisk", kRamdiskList[] = "ramdisk_fs_list.txt";

// A gzip cpio ramdisk is also extracted into an editable tree with its list file; the compressed
// file stays as unpacked and is used again while the tree is untouched.
void ExtractRamdisk(const std::string& dump, const std::string& gz, Cfg& cfg, const Log& log) {
  const std::string tree = JoinPath(dump, kRamdiskTree), list = JoinPath(dump, kRamdiskList);
  try {
    bootimg::File f(JoinPath(dump, gz), "rb");
    bootimg::FileReader r(f);
    auto cpio = bootimg::OpenDecompressor(bootimg::Compression::Gzip, r, 1ull << 30);
    const bootimg::ExtractStats st = bootimg::ExtractCpio(*cpio, tree, list);
    cfg.Add(kGroup, "ramdisk", kRamdiskTree);
    cfg.Add(kGroup, "ramdisk_digest", EscapeCfg(bootimg::TreeDigest(tree, list)));
    log("  ramdisk -> " + std::string(kRamdiskTree) + " (" + std::to_string(st.entries) + " entries)");
  } catch (const std::exception& e) {
    RemovePath(tree);
    RemovePath(list);
    RemovePath(bootimg::NamesListPath(tree));
    log("  the ramdisk is not a gzip cpio archive (" + std::string(e.what()) + "); kept as " + gz);
  }
}

// The compressed ramdisk to pack: the kept file, or the edited tree built and compressed into tmp.
std::string RamdiskSource(const Cfg& cfg, const std::string& dump, const std::string& kept, const std::string& tmp,
                          const Log& log) {
  if (cfg.GetOr(kGroup, "ramdisk", "").empty()) return kept;
  const std::string tree = JoinPath(dump, kRamdiskTree), list = JoinPath(dump, kRamdiskList);
  if (!IsDir(tree)) return kept;
  try {
    if (bootimg::TreeDigest(tree, list) == UnescapeCfg(cfg.GetOr(kGroup, "ramdisk_digest", ""))) return kept;
    log("  the ramdisk tree changed: building it again");
    bootimg::StringWriter cpio;
    bootimg::BuildCpio(tree, list, cpio);
    bootimg::MemoryReader in(cpio.s.data(), cpio.s.size());
    bootimg::File out(tmp, "wb");
    bootimg::FileWriter w(out);
    bootimg::Compress(bootimg::Compression::Gzip, in, w);
    out.Close();
  } catch (const Error&) {
    throw;
  } catch (const std::exception& e) {
    throw Error(std::string("ramdisk: ") + e.what());
  }
  return tmp;
}

}  // namespace

void UnpackWrapped(const File& in, const std::string& dump, Cfg& cfg, const Log& log) {
  if (DetectKind(in) == Kind::kGzip) {
    SplitStream(in, in.size(), {{0, in.size(), JoinPath(dump, "ramdisk.cpio.gz")}}, nullptr);
    cfg.Add(kGroup, "file", "ramdisk.cpio.gz");
    log("  ramdisk.cpio.gz (" + std::to_string(in.size()) + " bytes)");
    ExtractRamdisk(dump, "ramdisk.cpio.gz", cfg, log);
    return;
  }
  if (in.size() < 12) throw Error("wrapped image too short: " + in.path());
  uint8_t h[8];
  in.ReadAt(0, h, 8);
  const std::string tag(reinterpret_cast<char*>(h), 4);
  const uint32_t len = Get32(h + 4);
  if (len > in.size() - 12) throw Error(tag + " image: its length " + std::to_string(len) + " runs past the file");
  uint8_t head[2] = {};
  if (len >= 2) in.ReadAt(8, head, 2);
  const std::string name = tag == "PARM" ? "parameter.txt" : (head[0] == 0x1F && head[1] == 0x8B) ? "ramdisk.cpio.gz" : "kernel";
  StreamSums sums;
  sums.crc = true;
  sums.crcFrom = 8;
  sums.crcTo = 8 + uint64_t(len);
  SplitStream(in, 8 + uint64_t(len), {{8, len, JoinPath(dump, name)}}, &sums);
  uint8_t c[4];
  in.ReadAt(8 + uint64_t(len), c, 4);
  if (Get32(c) != sums.crcValue) throw Error(tag + " image: CRC mismatch (stored " + Hex(std::string(reinterpret_cast<char*>(c), 4)) + ")");
  // Bytes after the CRC (zero padding to a block) are kept by length.
  const uint64_t tail = in.size() - 12 - len;
  if (tail) {
    const std::string t = in.ReadString(12 + uint64_t(len), static_cast<size_t>(std::min<uint64_t>(tail, 1 << 20)));
    if (tail > (1 << 20) || t.find_first_not_of('\0') != std::string::npos)
      throw Error(tag + " image: unexpected data after its CRC");
  }
  cfg.Add(kGroup, "file", EscapeCfg(name));
  if (tail) cfg.AddNum(kGroup, "size", in.size());
  log("  " + name + " (" + std::to_string(len) + " bytes, CRC ok)");
  if (name == "ramdisk.cpio.gz") ExtractRamdisk(dump, name, cfg, log);
}

void PackWrapped(const Cfg& cfg, const std::string& dump, const std::string& out, const Log& log) {
  const std::string kind = cfg.Get(kGroup, "kind");
  const std::string name = UnescapeCfg(cfg.Get(kGroup, "file"));
  if (!IsSafeRelPath(name)) throw Error("bad file name in the .cfg: " + name);
  const std::string rebuilt = out + ".ramdisk~";
  struct Cleanup {
    std::string path;
    ~Cleanup() { RemovePath(path); }
  } cleanup{rebuilt};
  const std::string src = RamdiskSource(cfg, dump, JoinPath(dump, name), rebuilt, log);
  const uint64_t len = FileSizeOf(src);
  if (len > 0xFFFFFFFFu - 12) throw Error("file too large to wrap: " + src);
  SeqWriter w(out);
  if (kind == "GZIP") {
    w.CopyFrom(src, len);
    w.Close();
    log("  " + name + " (" + std::to_string(len) + " bytes)");
    return;
  }
  uint8_t h[8];
  std::memcpy(h, kind.data(), 4);
  Put32(h + 4, static_cast<uint32_t>(len));
  w.Write(h, 8);
  w.crcOn = true;
  w.CopyFrom(src, len);
  w.crcOn = false;
  uint8_t c[4];
  Put32(c, w.crc);
  w.Write(c, 4);
  const uint64_t size = cfg.NumOr(kGroup, "size", 0);
  if (size > w.pos()) w.Zeros(size - w.pos());
  w.Close();
  log("  " + name + " (" + std::to_string(len) + " bytes)");
}

// ---- LOADER / TOS / KERNEL second-stage images -----------------------------------------------

namespace {

constexpr uint64_t kLoaderHeader = 2048;

uint32_t JsHash(uint32_t hash, const uint8_t* p, size_t len) {
  for (size_t i = 0; i < len; ++i) hash ^= (hash << 5) + p[i] + (hash >> 2);
  return hash;
}

// The hash of a loader header: payload, then version and reserved (when a version is set),
// load address, load size and hash length.
std::string LoaderHash(const std::string& payload, const uint8_t* header, uint32_t hashLen) {
  Digest d(hashLen == 32 ? Digest::kSha256 : Digest::kSha1);
  d.Update(payload.data(), payload.size());
  if (Get32(header + 8) > 0) d.Update(header + 8, 8);
  d.Update(header + 16, 8);
  d.Update(header + 28, 4);
  return d.Final();
}

}  // namespace

void UnpackLoader(const File& in, const std::string& dump, Cfg& cfg, const Log& log) {
  if (in.size() < kLoaderHeader) throw Error("loader image too short: " + in.path());
  if (in.size() > (512u << 20)) throw Error("too large for a loader image: " + in.path());
  std::string header = in.ReadString(0, kLoaderHeader);
  const uint8_t* h = reinterpret_cast<const uint8_t*>(header.data());
  const uint32_t loadSize = Get32(h + 20), crc = Get32(h + 24), hashLen = Get32(h + 28);
  if (loadSize > in.size() - kLoaderHeader) throw Error("loader image: its payload runs past the file");
  if (loadSize > (256u << 20)) throw Error("loader image: payload size too large");
  const std::string payload = in.ReadString(kLoaderHeader, loadSize);
  if (RkCrc(0, payload.data(), payload.size()) != crc) throw Error("loader image: payload CRC mismatch");
  if (hashLen != 0 && hashLen != 20 && hashLen != 32) throw Error("loader image: unknown hash length");
  if (hashLen && LoaderHash(payload, h, hashLen) != header.substr(32, hashLen))
    log("  warning: the header hash does not match the payload (kept as stored)");
  // Copies: the header and padded payload repeat at a fixed step (a multiple of 64 KiB).
  uint64_t step = in.size(), copies = 1;
  for (uint64_t k = AlignUp(kLoaderHeader + loadSize, 64 * 1024); k <= in.size() / 2; k += 64 * 1024) {
    if (in.size() % k == 0 && in.ReadString(k, kLoaderHeader) == header) {
      step = k;
      copies = in.size() / k;
      break;
    }
  }
  if (copies > 1) {
    const std::string first = in.ReadString(0, static_cast<size_t>(step));
    for (uint64_t i = 1; i < copies; ++i)
      if (in.ReadString(i * step, static_cast<size_t>(step)) != first) throw Error("loader image: its copies differ");
  }
  const std::string rest = in.ReadString(kLoaderHeader + loadSize, static_cast<size_t>(step - kLoaderHeader - loadSize));
  if (rest.find_first_not_of('\0') != std::string::npos) throw Error("loader image: unexpected data after the payload");
  const std::string name = std::memcmp(h, "TOS", 3) == 0 ? "trust.bin" : std::memcmp(h, "KERNEL", 6) == 0 ? "kernel.bin" : "uboot.bin";
  WriteWhole(JoinPath(dump, name), payload);
  std::string trimmed = header;
  while (!trimmed.empty() && trimmed.back() == '\0') trimmed.pop_back();
  cfg.Add(kGroup, "file", name);
  cfg.AddNum(kGroup, "copy_size", step);
  cfg.AddNum(kGroup, "copies", copies);
  Digest sha(Digest::kSha1);
  sha.Update(payload.data(), payload.size());
  cfg.Add(kGroup, "payload_sha1", Hex(sha.Final()));
  cfg.Add(kGroup, "header", Hex(trimmed));
  log("  " + name + " (" + std::to_string(loadSize) + " bytes, " + std::to_string(copies) + " copies, CRC ok)");
}

void PackLoader(const Cfg& cfg, const std::string& dump, const std::string& out, const Log& log) {
  const std::string name = cfg.Get(kGroup, "file");
  if (!IsSafeRelPath(name)) throw Error("bad file name in the .cfg: " + name);
  std::string header = Unhex(cfg.Get(kGroup, "header"));
  if (header.size() > kLoaderHeader || header.size() < 32) throw Error("bad loader header in the .cfg");
  header.resize(kLoaderHeader, '\0');
  uint8_t* h = reinterpret_cast<uint8_t*>(header.data());
  std::string payload = ReadWhole(JoinPath(dump, name), 256u << 20);
  Digest sha(Digest::kSha1);
  sha.Update(payload.data(), payload.size());
  const bool changed = Hex(sha.Final()) != cfg.Get(kGroup, "payload_sha1");
  payload.resize(AlignUp(payload.size(), 4), '\0');
  Put32(h + 20, static_cast<uint32_t>(payload.size()));
  Put32(h + 24, RkCrc(0, payload.data(), payload.size()));
  const uint32_t hashLen = Get32(h + 28);
  if (changed) {
    if (hashLen == 20 || hashLen == 32) {
      const std::string hash = LoaderHash(payload, h, hashLen);
      std::memcpy(h + 32, hash.data(), hash.size());
    }
    if (Get32(h + 64) != 0) Put32(h + 64, JsHash(0x47C6A7E6u, reinterpret_cast<const uint8_t*>(payload.data()), payload.size()));
    if (Get32(h + 1024) == 0x4E474953u) log("  warning: the payload changed; its RSA signature no longer matches");
  }
  uint64_t step = cfg.Num(kGroup, "copy_size");
  const uint64_t copies = cfg.Num(kGroup, "copies");
  if (copies == 0 || copies > 64) throw Error("bad copy count in the .cfg");
  if (kLoaderHeader + payload.size() > step) {
    if (copies > 1)
      throw Error(name + " is " + std::to_string(payload.size()) + " bytes; each of the " + std::to_string(copies) +
                  " copies holds " + std::to_string(step - kLoaderHeader));
    step = kLoaderHeader + payload.size();
  }
  SeqWriter w(out);
  for (uint64_t i = 0; i < copies; ++i) {
    w.Write(header.data(), header.size());
    w.Write(payload.data(), payload.size());
    w.Zeros(step - kLoaderHeader - payload.size());
  }
  w.Close();
  log("  " + name + " (" + std::to_string(payload.size()) + " bytes, " + std::to_string(copies) + " copies)");
}

}  // namespace orvex::rk
