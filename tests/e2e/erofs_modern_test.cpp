// Images made by a current mkfs.erofs (LZMA, DEFLATE, Zstandard, fragments, deduplication,
// 48-bit addresses, the metabox, compressed directories): unpacked through orvex-cli, every path
// checked against the manifest of the tree they were made from; then packed again with the
// installed mkfs.erofs (which writes none of those features), checked by fsck.erofs, with the
// warning line in the log, and unpacked once more.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/xattr.h>

#include <fstream>
#include <sstream>

#include "cli_workspace.h"
#include "tree_manifest.h"

using namespace orvex::test;

namespace {

using Cli = CliWorkspace;

// One line of tree.manifest: path type mode uid gid size sha256-or-link label capability-hex.
struct Expected {
  char type = '?';
  unsigned mode = 0;
  unsigned uid = 0, gid = 0;
  uint64_t size = 0;
  std::string digest_or_link, label, cap;
};

std::map<std::string, Expected> ReadSampleManifest(const fs::path& file) {
  std::map<std::string, Expected> m;
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream ls(line);
    std::string path, type, mode, uid, gid, size, what, label, cap;
    ls >> path >> type >> mode >> uid >> gid >> size >> what >> label >> cap;
    Expected e;
    e.type = type[0];
    e.mode = static_cast<unsigned>(std::stoul(mode.substr(2), nullptr, 8));
    e.uid = static_cast<unsigned>(std::stoul(uid));
    e.gid = static_cast<unsigned>(std::stoul(gid));
    e.size = std::stoull(size);
    e.digest_or_link = what;
    e.label = label == "-" ? "" : label;
    e.cap = cap == "-" ? "" : cap;
    m[path.substr(1)] = e;  // "/system/bin/sh" -> "system/bin/sh"
  }
  return m;
}

// SHA-256 of every regular file under root, by path relative to root.
std::map<std::string, std::string> Sha256Tree(const fs::path& root) {
  auto r = RunCommand("cd " + ShQuote(root.string()) + " && find . -type f -print0 | xargs -0 -r sha256sum");
  std::map<std::string, std::string> out;
  std::istringstream in(r.output);
  std::string line;
  while (std::getline(in, line)) {
    if (line.size() < 67) continue;
    out[line.substr(66)] = line.substr(0, 64);  // "<hash>  ./path"
  }
  return out;
}

// An attribute's raw value in hex (trailing zero bytes kept), "" when absent.
std::string RawXattrHex(const fs::path& p, const char* name) {
  char buf[512];
  const ssize_t n = lgetxattr(p.c_str(), name, buf, sizeof buf);
  std::string out;
  static const char* hex = "0123456789abcdef";
  for (ssize_t i = 0; i < n; ++i) {
    out += hex[static_cast<unsigned char>(buf[i]) >> 4];
    out += hex[buf[i] & 15];
  }
  return out;
}

// Every manifest path exists under root with its type, mode, bytes and link target; with root
// rights also its owner, label and capability. No path is there that the manifest lacks.
void ExpectManifest(const fs::path& root, const std::map<std::string, Expected>& manifest, bool owners,
                    const std::string& what) {
  const auto digests = Sha256Tree(root);
  size_t seen = 0;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    ++seen;
    const std::string rel = fs::relative(it->path(), root).string();
    EXPECT_TRUE(manifest.count(rel)) << what << ": unexpected " << rel;
  }
  EXPECT_EQ(seen, manifest.size()) << what;
  for (const auto& [rel, e] : manifest) {
    const fs::path p = root / rel;
    struct stat st {};
    if (lstat(p.c_str(), &st) != 0) {
      ADD_FAILURE() << what << ": missing " << rel;
      continue;
    }
    const char type = S_ISREG(st.st_mode) ? 'f' : S_ISDIR(st.st_mode) ? 'd' : S_ISLNK(st.st_mode) ? 'l' : '?';
    EXPECT_EQ(type, e.type) << what << ": " << rel;
    if (type == 'f') {
      EXPECT_EQ(static_cast<uint64_t>(st.st_size), e.size) << what << ": " << rel;
      EXPECT_EQ(digests.count("./" + rel) ? digests.at("./" + rel) : "", e.digest_or_link) << what << ": " << rel;
    }
    if (type == 'l') EXPECT_EQ(fs::read_symlink(p).string(), e.digest_or_link) << what << ": " << rel;
    if (type != 'l') EXPECT_EQ(st.st_mode & 07777, e.mode) << what << ": " << rel;
    if (!owners) continue;
    EXPECT_EQ(st.st_uid, e.uid) << what << ": " << rel;
    EXPECT_EQ(st.st_gid, e.gid) << what << ": " << rel;
    EXPECT_EQ(XattrHex(p, "security.selinux"), e.label) << what << ": " << rel;
    EXPECT_EQ(RawXattrHex(p, "security.capability"), e.cap) << what << ": " << rel;
  }
}

struct Sample {
  const char* name;
  std::vector<const char*> lost;  // what the warning must name
  const char* args;               // what the recorded mkfs.erofs line must hold
};

const Sample kSamples[] = {
    {"lzma", {"LZMA compression"}, "-zlz4hc "},
    {"lzma9-C1M", {"LZMA compression"}, "-zlz4hc -C"},
    {"deflate", {"DEFLATE compression"}, "-zlz4hc "},
    {"zstd", {"Zstandard compression"}, "-zlz4hc "},
    {"fragments", {"fragments in the packed inode"}, "-zlz4hc,9 "},
    {"all-fragments", {"fragments in the packed inode"}, "-zlz4hc"},
    {"dedupe", {"deduplicated clusters"}, "-zlz4hc,9 "},
    {"frag-dedupe-tail", {"fragments in the packed inode"}, "-Eztailpacking "},
    {"lzma-frag-dedupe-tail-C64k", {"LZMA compression", "fragments in the packed inode"}, "-zlz4hc -C65536 "},
    {"48bit", {"48-bit block addresses"}, "-T1230768000 "},
    {"48bit-zstd", {"Zstandard compression", "48-bit block addresses"}, "-zlz4hc "},
    {"metabox", {"the metabox", "48-bit block addresses"}, "-zlz4hc,9 "},
    {"dir-compress", {"compressed directories"}, "-zlz4hc,9 "},
};

class ErofsModernSamples : public ::testing::TestWithParam<Sample> {};

TEST_P(ErofsModernSamples, UnpackPackAndUnpackAgain) {
  const Sample& s = GetParam();
  const fs::path dir = SamplesDir() / "erofs_modern";
  if (!fs::exists(dir / (std::string(s.name) + ".img"))) GTEST_SKIP() << "no sample " << s.name;
  if (!HaveProgram("mkfs.erofs") || !HaveProgram("fsck.erofs")) GTEST_SKIP() << "erofs-utils missing";
  const bool owners = IsRoot();
  const auto manifest = ReadSampleManifest(dir / "tree.manifest");
  ASSERT_EQ(manifest.size(), 60u);

  Cli cli;
  const std::string n = s.name;
  const fs::path image = cli.Fw() / (n + ".img");
  fs::copy_file(dir / (n + ".img"), image);
  fs::permissions(image, fs::perms::owner_write, fs::perm_options::add);
  auto r = cli.Run(image);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  const fs::path tree = cli.Fw() / n / n;
  ExpectManifest(tree, manifest, owners, n + " unpacked");
  EXPECT_TRUE(fs::equivalent(tree / "system/etc/conf1.hard", tree / "system/etc/conf1.xml")) << "hard link lost";

  const fs::path options = cli.Fw() / n / "config" / (n + "_fs_options.txt");
  const std::string text = ReadFile(options);
  std::string warning, line;
  for (std::istringstream in(text); std::getline(in, line);) {
    if (line.rfind("Repack warning: ", 0) == 0) warning = line.substr(16);
    if (line.rfind("mkfs.erofs options: ", 0) == 0) EXPECT_NE(line.find(s.args), std::string::npos) << line;
  }
  for (const char* lost : s.lost) EXPECT_NE(warning.find(lost), std::string::npos) << warning;

  r = cli.Run(cli.Fw() / n);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  if (!warning.empty() && warning.back() == '\r') warning.pop_back();
  EXPECT_NE(r.output.find(">< !!! " + warning), std::string::npos) << r.output;
  auto fsck = RunCommand("fsck.erofs " + ShQuote(image.string()));
  EXPECT_EQ(fsck.exit_code, 0) << fsck.output;

  // The rebuilt image holds the same tree, and nothing newer than the installed tools write.
  r = cli.Run(image);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  ExpectManifest(tree, manifest, owners, n + " rebuilt");
  EXPECT_TRUE(fs::equivalent(tree / "system/etc/conf1.hard", tree / "system/etc/conf1.xml")) << "hard link lost";
  EXPECT_EQ(ReadFile(options).find("Repack warning"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Erofs19, ErofsModernSamples, ::testing::ValuesIn(kSamples), [](const auto& info) {
  std::string n = info.param.name;
  for (char& c : n)
    if (!isalnum(static_cast<unsigned char>(c))) c = '_';
  return n;
});

}  // namespace
