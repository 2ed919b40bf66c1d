#include "image_survey.h"

#include <lz4.h>
#include <lz4hc.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

#include "config_files.h"

namespace orvex::extract_erofs {

using erofs::Extent;
using erofs::ExtentKind;
using erofs::FileType;
using erofs::Image;
using erofs::Inode;

void ImageSurvey::Add(const erofs::Superblock& sb, const Inode& inode, const std::vector<erofs::Xattr>& xattrs) {
  ++inodes;
  switch (inode.type) {
    case FileType::kRegular: ++regular; data_bytes += inode.size; break;
    case FileType::kDirectory: ++directories; break;
    case FileType::kSymlink: ++symlinks; break;
    case FileType::kCharDevice:
    case FileType::kBlockDevice: ++devices; break;
    case FileType::kFifo: ++fifos; break;
    case FileType::kSocket: ++sockets; break;
  }
  if (inode.extended) ++extended_inodes;
  else ++compact_inodes;
  if (inode.mtime != sb.MkfsTime()) mtimes_equal_build_time = false;
  if (inode.in_metabox) ++metabox_inodes;
  if (inode.uid != 0 || inode.gid != 0) all_root = false;
  if (!first_owner_set) {
    first_owner_set = true;
    uid = inode.uid;
    gid = inode.gid;
  } else {
    if (inode.uid != uid) uid_varies = true;
    if (inode.gid != gid) gid_varies = true;
  }
  if (inode.IsCompressed()) {
    ++compressed_files;
    if (inode.type == FileType::kDirectory) ++compressed_dirs;
    if (inode.type == FileType::kRegular) {
      compressed_samples.emplace_back(inode.nid, inode.size);
      std::sort(compressed_samples.begin(), compressed_samples.end(),
                [](const auto& a, const auto& b) { return a.second > b.second; });
      if (compressed_samples.size() > 3) compressed_samples.resize(3);
    }
  } else if (inode.type == FileType::kRegular && inode.size > 0) {
    if (inode.layout == erofs::kLayoutFlatInline) ++inline_regular;
    else if (inode.layout == erofs::kLayoutFlatPlain && inode.size % sb.block_size != 0) ++partial_plain_regular;
  }
  if (inode.layout == erofs::kLayoutChunkBased) {
    ++chunk_files;
    const unsigned bits = sb.blkszbits + (inode.raw_u & 0x1F);
    if (bits < 48) max_chunk_size = std::max(max_chunk_size, uint64_t{1} << bits);
    if (inode.raw_u & 0x20) chunk_indexes = true;
  }
  if (!xattrs.empty()) ++inodes_with_xattrs;
  for (const auto& x : xattrs) {
    if (x.name == "security.selinux" && !CleanContext(x.value).empty()) ++selinux_labels;
    if (x.name == "security.capability") {
      auto caps = DecodeCapabilities(x.value);
      if (caps && *caps) ++capabilities;
    }
  }
}

void ImageSurvey::AddCompression(const Inode& inode, const erofs::CompressionInfo& info) {
  if (inode.size == 0) return;
  if (info.full_indexes) ++full_index_files;
  if (info.extent_records) ++extent_record_files;
  if (info.whole_fragment || info.tail_fragment) ++fragment_files;
  if (info.whole_fragment) ++whole_fragment_files;
}

void SurveyClusters(const Image& img, ImageSurvey& survey) {
  std::vector<uint64_t> seen;
  try {
    for (const auto& [nid, size] : survey.compressed_samples) {
      const Inode ino = img.ReadInode(nid);
      img.ForEachExtent(ino, [&](const Extent& e) {
        if (e.kind != ExtentKind::kCompressed || e.inline_data) return true;
        // Encoded extents give byte lengths; clusters are whole blocks.
        const uint64_t bs = img.sb().block_size;
        survey.max_pcluster_bytes = std::max(survey.max_pcluster_bytes, (e.plen + bs - 1) / bs * bs);
        if (e.partial || std::find(seen.begin(), seen.end(), e.pa) != seen.end()) survey.shared_clusters = true;
        if (seen.size() < 4096) seen.push_back(e.pa);
        return true;
      });
    }
  } catch (const erofs::Error&) {
    // damaged data is reported by the extraction itself
  }
}

std::string Compressor::Text() const {
  if (name.empty()) return "none";
  if (name == "lz4hc" && recognised && level > 0) return "lz4hc," + std::to_string(level);
  return name;
}

// ---- recognising the compressor -------------------------------------------------------------

namespace {

struct Sample {
  std::vector<uint8_t> input;   // decoded bytes from the start of the extent on
  size_t llen = 0;              // bytes the stored stream decodes to
  std::vector<uint8_t> stored;  // the physical cluster as stored
  bool right_aligned = false;   // zero padding before the stream
};

bool Matches(const Sample& s, bool hc, int level, void* hc_state) {
  std::vector<char> out(s.stored.size());
  int src_size = static_cast<int>(s.input.size());
  const int cap = static_cast<int>(s.stored.size());
  int n;
  if (hc) {
    n = LZ4_compress_HC_destSize(hc_state, reinterpret_cast<const char*>(s.input.data()), out.data(), &src_size, cap,
                                 level);
  } else {
    n = LZ4_compress_destSize(reinterpret_cast<const char*>(s.input.data()), out.data(), &src_size, cap);
  }
  if (n <= 0 || static_cast<size_t>(src_size) != s.llen) return false;
  const size_t len = static_cast<size_t>(n);
  if (s.right_aligned) {
    const size_t off = s.stored.size() - len;
    if (std::any_of(s.stored.begin(), s.stored.begin() + static_cast<long>(off), [](uint8_t b) { return b != 0; }))
      return false;
    return std::memcmp(s.stored.data() + off, out.data(), len) == 0;
  }
  if (std::memcmp(s.stored.data(), out.data(), len) != 0) return false;
  return std::all_of(s.stored.begin() + static_cast<long>(len), s.stored.end(), [](uint8_t b) { return b == 0; });
}

}  // namespace

Compressor RecogniseCompressor(const Image& img, const ImageSurvey& survey) {
  Compressor c;
  if (survey.compressed_files == 0) return c;
  c.name = "lz4hc";  // what Android builds use when the stored streams say nothing better
  c.algorithms = img.sb().Algorithms();
  // Streams of other algorithms cannot be matched against LZ4: the nearest form is LZ4HC.
  if (c.algorithms != (1u << erofs::kAlgLz4)) return c;
  std::vector<Sample> samples;
  const bool padded = img.sb().feature_incompat & erofs::kIncompatZeroPadding;
  try {
    for (const auto& [nid, size] : survey.compressed_samples) {
      const Inode ino = img.ReadInode(nid);
      std::vector<Extent> exts;
      uint64_t covered = 0;
      img.ForEachExtent(ino, [&](const Extent& e) {
        if (e.kind == ExtentKind::kFragment) return false;
        exts.push_back(e);
        covered = e.la + e.llen;
        return exts.size() < 64 && covered < (1u << 20);
      });
      std::vector<uint8_t> data;
      std::vector<uint8_t> piece;
      erofs::ReadScratch scratch;
      for (const Extent& e : exts) {
        img.DecodeExtent(ino, e, piece, scratch);
        data.insert(data.end(), piece.begin(), piece.end());
      }
      int taken = 0;
      for (size_t i = 0; i + 1 < exts.size() && taken < 3; ++i) {
        const Extent& e = exts[i];
        if (e.kind != ExtentKind::kCompressed || e.inline_data) continue;
        Sample s;
        const size_t end = std::min<size_t>(data.size(), e.la + e.llen + (64u << 10));
        s.input.assign(data.begin() + static_cast<long>(e.la), data.begin() + static_cast<long>(end));
        s.llen = e.llen;
        s.stored.resize(e.plen);
        img.source().ReadAt(e.pa, s.stored.data(), e.plen);
        s.right_aligned = padded;
        samples.push_back(std::move(s));
        ++taken;
      }
    }
  } catch (const erofs::Error&) {
    return c;  // damaged data is reported by the extraction itself
  }
  if (samples.empty()) return c;
  std::unique_ptr<char[]> state(new char[static_cast<size_t>(LZ4_sizeofStateHC())]);
  struct Candidate {
    bool hc;
    int level;
  };
  std::vector<Candidate> candidates = {{false, 0}, {true, 9}, {true, 12}};
  for (int l = 1; l <= 11; ++l)
    if (l != 9) candidates.push_back({true, l});
  for (const Candidate& cand : candidates) {
    bool all = std::all_of(samples.begin(), samples.end(),
                           [&](const Sample& s) { return Matches(s, cand.hc, cand.level, state.get()); });
    if (all) {
      c.name = cand.hc ? "lz4hc" : "lz4";
      c.level = cand.hc ? cand.level : -1;
      c.recognised = true;
      return c;
    }
  }
  return c;
}

// ---- the options file -----------------------------------------------------------------------

namespace {

std::string JoinRel(const std::string& dir, const std::string& leaf) {
  if (dir.empty() || dir == ".") return leaf;
  if (dir.back() == '/') return dir + leaf;
  return dir + "/" + leaf;
}

}  // namespace

namespace {

const char* AlgorithmTitle(uint8_t alg) {
  switch (alg) {
    case erofs::kAlgLzma: return "LZMA";
    case erofs::kAlgDeflate: return "DEFLATE";
    case erofs::kAlgZstd: return "Zstandard";
    default: return "LZ4";
  }
}

bool OtherAlgorithms(const OptionsInput& in) {
  return in.survey.compressed_files > 0 && (in.sb.Algorithms() & ~(1u << erofs::kAlgLz4)) != 0;
}

// The physical cluster size the rebuilt image uses: the LZ4 configuration's, else the largest
// cluster seen (images of other algorithms); 0 when clusters are single blocks.
uint64_t ClusterBytes(const OptionsInput& in) {
  const erofs::Superblock& sb = in.sb;
  if (in.survey.compressed_files == 0 || !(sb.feature_incompat & erofs::kIncompatComprCfgs)) return 0;
  uint64_t bytes = 0;
  if (!OtherAlgorithms(in)) bytes = uint64_t{sb.lz4_max_pclusterblks} * sb.block_size;
  else bytes = in.survey.max_pcluster_bytes;
  if (bytes <= 4096) return 0;
  return std::min<uint64_t>(bytes, 1u << 20);
}

}  // namespace

std::vector<std::string> UnwritableFeatures(const OptionsInput& in) {
  const ImageSurvey& s = in.survey;
  const erofs::Superblock& sb = in.sb;
  std::vector<std::string> out;
  if (OtherAlgorithms(in)) {
    for (uint8_t alg = erofs::kAlgLzma; alg <= erofs::kAlgZstd; ++alg)
      if (sb.Algorithms() & (1u << alg)) out.push_back(std::string(AlgorithmTitle(alg)) + " compression");
  }
  if (s.fragment_files > 0) out.push_back("fragments in the packed inode");
  if ((sb.feature_incompat & erofs::kIncompatFragments) && (s.shared_clusters || s.fragment_files == 0))
    out.push_back("deduplicated clusters");
  if (s.extent_record_files > 0) out.push_back("encoded extent records");
  if (sb.feature_incompat & erofs::kIncompat48Bit) out.push_back("48-bit block addresses");
  if (sb.feature_incompat & erofs::kIncompatMetabox) out.push_back("the metabox");
  if (s.compressed_dirs > 0) out.push_back("compressed directories");
  if (sb.feature_incompat & erofs::kIncompatXattrPrefixes) out.push_back("long attribute name prefixes");
  if (sb.block_size != 4096) out.push_back(std::to_string(sb.block_size) + "-byte blocks");
  return out;
}

std::string RepackWarning(const OptionsInput& in) {
  const std::vector<std::string> lost = UnwritableFeatures(in);
  if (lost.empty()) return "";
  std::string text = "the installed mkfs.erofs cannot write ";
  for (size_t i = 0; i < lost.size(); ++i) text += (i ? ", " : "") + lost[i];
  text += "; the image comes back ";
  if (OtherAlgorithms(in)) {
    text += "as LZ4HC";
    const uint64_t c = ClusterBytes(in);
    text += c ? " with " + std::to_string(c) + "-byte clusters" : " with single-block clusters";
    if (lost.size() > 1) text += " and without the rest";
  } else {
    text += "without them";
  }
  text += ", with the same files";
  return text;
}

std::string BuildMkfsArguments(const OptionsInput& in) {
  const ImageSurvey& s = in.survey;
  const erofs::Superblock& sb = in.sb;
  std::vector<std::string> args;
  // LZMA, DEFLATE and Zstandard images come back as LZ4HC (the nearest the installed mkfs.erofs writes).
  if (s.compressed_files > 0) args.push_back("-z" + (OtherAlgorithms(in) ? std::string("lz4hc") : in.compressor.Text()));

  std::vector<std::string> ext;
  // Full indexes in images with fragments or deduplication carry those features (partial
  // references, 64-bit fragment offsets), not a choice of the legacy layout.
  if (s.compressed_files > 0 && ((s.full_index_files > 0 && !(sb.feature_incompat & erofs::kIncompatFragments)) ||
                                 !(sb.feature_incompat & erofs::kIncompatZeroPadding)))
    ext.push_back("legacy-compress");
  if (sb.feature_incompat & erofs::kIncompatZtailpacking) ext.push_back("ztailpacking");
  if (!sb.HasChecksum()) ext.push_back("nosbcrc");
  if (s.inline_regular == 0 && s.partial_plain_regular > 0) ext.push_back("noinline_data");
  if (s.compact_inodes == 0 && s.extended_inodes > 0) ext.push_back("force-inode-extended");
  if (s.chunk_indexes) ext.push_back("force-chunk-indexes");
  if (!ext.empty()) {
    std::string e = "-E";
    for (size_t i = 0; i < ext.size(); ++i) e += (i ? "," : "") + ext[i];
    args.push_back(e);
  }
  if (const uint64_t c = ClusterBytes(in)) args.push_back("-C" + std::to_string(c));
  if (s.chunk_files > 0) {
    // The installed mkfs.erofs writes 4096-byte blocks; a chunk holds at least one block.
    args.push_back("--chunksize=" + std::to_string(std::max<uint64_t>(s.max_chunk_size, 4096)));
  }
  if (s.mtimes_equal_build_time) args.push_back("-T" + std::to_string(sb.MkfsTime()));
  const std::string uuid = sb.UuidText();
  if (!uuid.empty()) args.push_back("-U" + uuid);
  if (s.inodes_with_xattrs == 0) args.push_back("-x-1");
  if (s.all_root) {
    args.push_back("--all-root");
  } else {
    if (!s.uid_varies) args.push_back("--force-uid=" + std::to_string(s.uid));
    if (!s.gid_varies) args.push_back("--force-gid=" + std::to_string(s.gid));
  }
  if (s.selinux_labels > 0)
    args.push_back("--file-contexts=" + QuoteForOptions(JoinRel(in.out_rel, "config/" + in.name + "_file_contexts")));
  args.push_back(QuoteForOptions(in.name + "_repack.img"));
  args.push_back(QuoteForOptions(JoinRel(in.out_rel, in.folder_name)));
  std::string out;
  for (size_t i = 0; i < args.size(); ++i) out += (i ? " " : "") + args[i];
  return out;
}

std::string BuildOptionsFile(const OptionsInput& in) {
  const ImageSurvey& s = in.survey;
  const erofs::Superblock& sb = in.sb;
  std::vector<std::string> lines;
  lines.push_back("Name: " + in.name);
  lines.push_back("FolderName: " + in.folder_name);
  lines.push_back("Mount point: " + in.mount_point);
  lines.push_back("Layout: " + in.layout_note);
  lines.push_back("Filesystem: EROFS");
  lines.push_back("Image size: " + std::to_string(in.image_size));
  lines.push_back("Block size: " + std::to_string(sb.block_size));
  lines.push_back("Blocks: " + std::to_string(sb.blocks));
  lines.push_back("Inodes: " + std::to_string(s.inodes));
  lines.push_back("Build time: " + std::to_string(sb.MkfsTime()));
  const std::string uuid = sb.UuidText();
  lines.push_back("UUID: " + (uuid.empty() ? std::string("none") : uuid));
  if (!sb.volume_name.empty()) lines.push_back("Volume name: " + sb.volume_name);
  lines.push_back("Features: " + sb.FeatureNames());
  std::string comp = in.compressor.Text();
  if (OtherAlgorithms(in)) {
    comp.clear();
    for (uint8_t alg = 0; alg <= erofs::kAlgZstd; ++alg)
      if (sb.Algorithms() & (1u << alg)) comp += (comp.empty() ? "" : ", ") + std::string(erofs::AlgorithmName(alg));
  } else if (!in.compressor.name.empty() && !in.compressor.recognised) {
    comp += " (LZ4 streams; the exact compressor was not recognised)";
  }
  lines.push_back("Compression: " + comp);
  if (s.compressed_files > 0) {
    const uint64_t c = OtherAlgorithms(in) ? s.max_pcluster_bytes
                                           : uint64_t{std::max<uint16_t>(sb.lz4_max_pclusterblks, 1)} * sb.block_size;
    if (c) lines.push_back("Cluster size: " + std::to_string(c) + (OtherAlgorithms(in) ? " (the largest seen)" : ""));
  }
  if (s.fragment_files > 0)
    lines.push_back("Fragments: " + std::to_string(s.fragment_files) + " files (" +
                    std::to_string(s.whole_fragment_files) + " whole) in the packed inode");
  lines.push_back("Files: " + std::to_string(s.regular) + " regular, " + std::to_string(s.directories) +
                  " directories, " + std::to_string(s.symlinks) + " symbolic links, " + std::to_string(s.devices) +
                  " devices, " + std::to_string(s.fifos) + " fifos, " + std::to_string(s.sockets) + " sockets, " +
                  std::to_string(s.hard_links) + " extra hard links");
  lines.push_back(std::string("Timestamps: ") +
                  (s.mtimes_equal_build_time ? "the build time on every file" : "per file (kept on the tree)"));
  std::string owners;
  if (s.all_root) owners = "all root";
  else if (!s.uid_varies && !s.gid_varies) owners = "all " + std::to_string(s.uid) + ":" + std::to_string(s.gid);
  else owners = "per file (in the attribute file; the tree carries them when extracted as root)";
  lines.push_back("Owners: " + owners);
  lines.push_back("SELinux labels: " + std::to_string(s.selinux_labels));
  lines.push_back("Capabilities: " + std::to_string(s.capabilities));
  if (sb.block_size != 4096)
    lines.push_back("Note: the image uses " + std::to_string(sb.block_size) +
                    "-byte blocks; the installed mkfs.erofs rebuilds it with 4096-byte blocks");
  const std::string warning = RepackWarning(in);
  if (!warning.empty()) lines.push_back("Repack warning: " + warning);
  lines.push_back("mkfs.erofs options: " + BuildMkfsArguments(in));
  // Names, labels and the volume name come from the image: none may start a line of its own.
  std::string out;
  for (const auto& l : lines) out += OneLineValue(l) + "\r\n";
  return out;
}

// ---- root layout ----------------------------------------------------------------------------

namespace {

const erofs::DirEntry* Find(const std::vector<erofs::DirEntry>& entries, std::string_view name) {
  for (const auto& e : entries)
    if (e.name == name) return &e;
  return nullptr;
}

// The partition a build.prop belongs to, from its ro.<partition>.build.* keys.
std::string PartitionOfBuildProp(const std::string& text) {
  static const char* kParts[] = {"system", "system_ext", "vendor", "vendor_dlkm", "odm",
                                 "odm_dlkm", "product", "system_dlkm"};
  std::map<std::string, int> count;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) nl = text.size();
    std::string_view line(text.data() + pos, nl - pos);
    pos = nl + 1;
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    if (line.rfind("ro.build.", 0) == 0) {
      ++count["system"];
      continue;
    }
    if (line.rfind("ro.", 0) != 0) continue;
    std::string_view rest = line.substr(3);
    for (const char* p : kParts) {
      const std::string key = std::string(p) + ".build.";
      if (rest.rfind(key, 0) == 0) ++count[p];
    }
  }
  std::string best;
  int most = 0;
  for (const auto& [part, n] : count)
    if (n > most) {
      most = n;
      best = part;
    }
  return best;
}

}  // namespace

RootLayout DetectRootLayout(const Image& img, const std::string& image_name) {
  RootLayout r;
  try {
    const Inode root = img.ReadInode(img.sb().root_nid);
    const auto entries = img.ReadDir(root);
    if (const auto* sys = Find(entries, "system")) {
      const Inode s = img.ReadInode(sys->nid);
      if (s.type == FileType::kDirectory && s.nid != root.nid) {
        const bool has_init = Find(entries, "init") != nullptr;
        const bool has_prop = Find(img.ReadDir(s), "build.prop") != nullptr;
        if (has_init || has_prop) {
          r.folder_name = "system";
          r.mount_point = "/";
          r.note = "system-as-root (system/ at the root of the image)";
          return r;
        }
      }
    }
    auto try_prop = [&](const std::vector<erofs::DirEntry>& dir, const char* where) -> bool {
      const auto* e = Find(dir, "build.prop");
      if (!e) return false;
      const Inode ino = img.ReadInode(e->nid);
      if (ino.type != FileType::kRegular) return false;
      const std::string part = PartitionOfBuildProp(img.ReadPrefix(ino, 256u << 10));
      if (part.empty()) return false;
      r.folder_name = part;
      r.mount_point = "/" + part;
      r.note = std::string("partition named by the ro.") + part + ".build properties in " + where;
      return true;
    };
    if (try_prop(entries, "/build.prop")) return r;
    if (const auto* etc = Find(entries, "etc")) {
      const Inode e = img.ReadInode(etc->nid);
      if (e.type == FileType::kDirectory && e.nid != root.nid && try_prop(img.ReadDir(e), "/etc/build.prop")) return r;
    }
  } catch (const erofs::Error&) {
    // A damaged image is reported by the walk itself; fall back to the file name here.
  }
  r.folder_name = image_name;
  std::string part = image_name;
  if (part.size() > 2 && (part.ends_with("_a") || part.ends_with("_b"))) part.resize(part.size() - 2);
  r.mount_point = "/" + part;
  r.note = "from the image file name (no build.prop or system-as-root layout found)";
  return r;
}

}  // namespace orvex::extract_erofs
