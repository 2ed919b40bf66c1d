// The ramdisk folder and its list file: what an edited folder packs into, entry by entry.
#include <gtest/gtest.h>

#include "bootimg/cpio.h"
#include "bootimg/ramdisk_tree.h"
#include "bootimg_test_util.h"

using namespace orvex::test;
using namespace orvex::bootimg;

namespace {

struct Seen {
  std::string name;
  uint32_t mode, uid, gid, mtime;
  std::string data;
};

std::vector<Seen> ReadArchive(const std::string& bytes) {
  MemoryReader in(bytes.data(), bytes.size());
  CpioReader r(in);
  CpioEntry e;
  std::vector<Seen> out;
  while (r.Next(e)) {
    std::string data(size_t(e.size), '\0');
    size_t got = r.ReadData(data.data(), data.size());
    data.resize(got);
    out.push_back({e.name, e.mode, e.uid, e.gid, e.mtime, data});
  }
  return out;
}

std::string Names(const std::vector<Seen>& v) {
  std::string s;
  for (const auto& e : v) s += e.name + " ";
  return s;
}

}  // namespace

TEST(RamdiskTree, EditedFolderKeepsOrderMetadataAndListOnlyEntries) {
  TempDir t;
  // An archive in an order no sorted walk would give, with owners and times to keep.
  std::string cpio;
  auto add = [&](const std::string& name, uint32_t mode, const std::string& data = "") {
    std::string e = NewcEntry(name, mode, data, 7);
    // uid 1000, gid 2000, mtime 1234 in the header fields.
    e.replace(6 + 8 * 2, 8, "000003E8");
    e.replace(6 + 8 * 3, 8, "000007D0");
    e.replace(6 + 8 * 5, 8, "000004D2");
    cpio += e;
  };
  add("zeta", 0100600, "z");
  add("alpha", 040750);
  add("alpha/file", 0100644, "a");
  add("dev", 040755);
  add("dev/kmsg", 020600);
  add("link", 0120777, "alpha/file");
  add("gone", 0100644, "will be deleted");
  cpio += NewcTrailer();
  MemoryReader in(cpio.data(), cpio.size());
  const std::string tree = (t / "tree").string(), list = (t / "list.txt").string();
  ExtractStats st = ExtractCpio(in, tree, list);
  EXPECT_EQ(st.entries, 7u);
  EXPECT_EQ(st.files, 3u);
  const std::string digest = TreeDigest(tree, list);

  // Untouched, the folder packs into the same entries in the same order.
  StringWriter out;
  BuildCpio(tree, list, out);
  auto entries = ReadArchive(out.s);
  EXPECT_EQ(Names(entries), "zeta alpha alpha/file dev dev/kmsg link gone ");
  for (const auto& e : entries) {
    EXPECT_EQ(e.uid, 1000u) << e.name;
    EXPECT_EQ(e.gid, 2000u) << e.name;
    EXPECT_EQ(e.mtime, 1234u) << e.name;
  }
  EXPECT_EQ(entries[1].mode, 040750u);
  EXPECT_EQ(entries[4].mode, 020600u);
  EXPECT_EQ(entries[5].data, "alpha/file");

  // Edits: a file deleted, one changed, one added in a new folder; the digest notices each.
  fs::remove(t / "tree/gone");
  EXPECT_NE(TreeDigest(tree, list), digest);
  WriteFile(t / "tree/zeta", "changed");
  WriteFile(t / "tree/new/dir/file.sh", "#!/bin/sh\n");
  fs::permissions(t / "tree/new/dir/file.sh", fs::perms::owner_all);
  StringWriter edited;
  BuildCpio(tree, list, edited);
  entries = ReadArchive(edited.s);
  EXPECT_EQ(Names(entries), "zeta alpha alpha/file dev dev/kmsg link new new/dir new/dir/file.sh ");
  EXPECT_EQ(entries[0].data, "changed");
  EXPECT_EQ(entries[0].mode, 0100600u);  // the list's mode, not the host file's
  EXPECT_EQ(entries[6].mode, 040755u);
  EXPECT_EQ(entries[8].mode, 0100755u);  // executable on the host: 0755
  EXPECT_EQ(entries[8].uid, 0u);
}

TEST(RamdiskTree, BrokenListLinesAreNamed) {
  TempDir t;
  fs::create_directories(t / "tree");
  const std::string list = (t / "list.txt").string();
  const char* bad[] = {
      "a\tf\t0644\t0\n",                 // too few fields
      "a\tq\t0644\t0\t0\t0\n",           // unknown type
      "a\tf\t0999\t0\t0\t0\n",           // not octal
      "a\tl\t0777\t0\t0\t0\n",           // link without target
      "a\tc\t0600\t0\t0\t0\t5\n",        // device without minor
      "../a\tf\t0644\t0\t0\t0\n",        // leaves the folder
      "a\tf\t0644\t-1\t0\t0\n",          // negative owner
  };
  for (const char* line : bad) {
    SCOPED_TRACE(line);
    WriteFile(t / "list.txt", line);
    StringWriter out;
    EXPECT_THROW(BuildCpio((t / "tree").string(), list, out), Error);
  }
}
