// The ramdisk folder and its list file: what an edited folder packs into, entry by entry.
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

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

TEST(RamdiskTree, EntriesNewInTheFolderFollowTheirFolderPartByPart) {
  TempDir t;
  // A list with the top folder only: everything else is new. In plain byte order "a-b" and "a.c"
  // would come between the folder "a" and its own entries.
  WriteFile(t / "list.txt", ".\td\t0755\t0\t0\t0\n");
  for (const char* f : {"a/z", "a/b", "a-b", "a.c", "a/b2/x"}) WriteFile(t / "tree" / f, f);
  StringWriter out;
  BuildCpio((t / "tree").string(), (t / "list.txt").string(), out);
  auto entries = ReadArchive(out.s);
  EXPECT_EQ(Names(entries), ". a a/b a/b2 a/b2/x a/z a-b a.c ");
  for (const auto& e : entries)
    if ((e.mode & 0170000) == 0100000) EXPECT_EQ(e.data, e.name);
}

TEST(RamdiskTree, HardLinksGetTheirDataAndNoNamesListIsLeftWhereEveryNameIsStored) {
  TempDir t;
  // Archivers store a hard link group's data once, with its last name.
  auto linked = [](const std::string& name, const std::string& data) {
    std::string e = NewcEntry(name, 0100644, data, 42);
    e.replace(6 + 8 * 4, 8, "00000002");
    return e;
  };
  std::string cpio = NewcEntry("bin", 040755, "", 2) + linked("bin/first", "") + linked("bin/second", "shared data") +
                     NewcTrailer();
  const std::string tree = (t / "ramdisk").string(), list = (t / "ramdisk_entries.txt").string();
  // A names list of an earlier unpack must not survive: it would rename this folder's entries.
  EXPECT_EQ(NamesListPath(tree), (t / "ramdisk_windows_entries.txt").string());
  WriteFile(t / "ramdisk_windows_entries.txt", "name\tbin/first\tbin/x\r\n");
  MemoryReader in(cpio.data(), cpio.size());
  ExtractStats st = ExtractCpio(in, tree, list);
  EXPECT_EQ(st.files, 2u);
  EXPECT_EQ(ReadFile(t / "ramdisk/bin/first"), "shared data");
  EXPECT_EQ(ReadFile(t / "ramdisk/bin/second"), "shared data");
  EXPECT_FALSE(fs::exists(t / "ramdisk_windows_entries.txt"));

  StringWriter out;
  BuildCpio(tree, list, out);
  auto entries = ReadArchive(out.s);
  ASSERT_EQ(Names(entries), "bin bin/first bin/second ");
  EXPECT_EQ(entries[1].data, "shared data");
  EXPECT_EQ(entries[2].data, "shared data");
}

TEST(BootFile, BufferedWritesOfEverySizeReadBackInOrder) {
  TempDir t;
  const std::string path = (t / "f.bin").string();
  std::string expect;
  {
    File f(path, "wb");
    FileWriter w(f);
    // Small pieces fill the buffer, one larger than the buffer goes straight to the file between
    // them, and the size counts what is still buffered.
    for (size_t n : {size_t(1), size_t(4095), size_t(3u << 20), size_t(7), size_t(1u << 20), size_t(3)}) {
      std::string piece(n, '\0');
      for (size_t i = 0; i < n; ++i) piece[i] = char('a' + (expect.size() + i) % 23);
      w.Write(piece.data(), piece.size());
      expect += piece;
    }
    EXPECT_EQ(f.Size(), expect.size());
    f.Close();
  }
  EXPECT_EQ(ReadFile(t / "f.bin"), expect);
  File r(path, "rb");
  EXPECT_EQ(r.Size(), expect.size());
  std::string tail(10, '\0');
  r.ReadAt(expect.size() - 10, tail.data(), tail.size());
  EXPECT_EQ(tail, expect.substr(expect.size() - 10));
  EXPECT_THROW(r.ReadAt(expect.size() - 5, tail.data(), tail.size()), Error);
  FileReader fr(r);
  StringWriter all;
  EXPECT_EQ(Copy(fr, all), expect.size());
  EXPECT_TRUE(all.s == expect);
  EXPECT_THROW(File((t / "missing").string(), "rb"), Error);
  EXPECT_THROW(File(t.path().string(), "rb"), Error);  // a folder is not a file
}

TEST(RamdiskTree, NamesWindowsCannotHoldAreStoredChangedAndPackUnderTheirOwnNames) {
  TempDir t;
  // Case twins, characters Windows forbids, a trailing dot and a device name, in folders whose
  // own names change too; a link and a node stay in the ramdisk's list as always.
  std::string cpio;
  for (const auto& [name, mode, data] : std::vector<std::tuple<std::string, uint32_t, std::string>>{
           {"Etc", 040755, ""},
           {"Etc/init.rc", 0100644, "upper"},
           {"etc", 040750, ""},
           {"etc/init.rc", 0100640, "lower"},
           {"etc/a:b?.conf", 0100644, "colon"},
           {"etc/dot.", 0100644, "dot"},
           {"etc/nul", 0100644, "device name"},
           {"etc/sh", 0120777, "/system/bin/sh"},
           {"etc/console", 020600, ""},
       })
    cpio += NewcEntry(name, mode, data, 5);
  cpio += NewcTrailer();
  const std::string tree = (t / "ramdisk").string(), list = (t / "ramdisk_entries.txt").string();
  MemoryReader in(cpio.data(), cpio.size());
  ExtractLimits lim;
  lim.windows_names = true;
  ExtractCpio(in, tree, list, lim);

  // On disk: only names Windows can hold, none of them the link or the node.
  std::vector<std::string> stored;
  for (const auto& e : fs::recursive_directory_iterator(t / "ramdisk"))
    stored.push_back(fs::relative(e.path(), t / "ramdisk").generic_string());
  std::sort(stored.begin(), stored.end());
  std::string all;
  for (const auto& s : stored) {
    all += s + " ";
    EXPECT_EQ(s.find_first_of(":?"), std::string::npos) << s;
    EXPECT_NE(s.back(), '.') << s;
  }
  EXPECT_EQ(stored.size(), 7u) << all;  // Etc, its file, the twin folder, its file and three files
  EXPECT_TRUE(fs::exists(t / "ramdisk_windows_entries.txt"));
  EXPECT_EQ(ReadFile(t / "ramdisk/Etc/init.rc"), "upper");

  // Packed, every entry has its own name, kind, mode and data again, in the archive's order.
  StringWriter out;
  BuildCpio(tree, list, out);
  auto entries = ReadArchive(out.s);
  EXPECT_EQ(Names(entries), "Etc Etc/init.rc etc etc/init.rc etc/a:b?.conf etc/dot. etc/nul etc/sh etc/console ");
  ASSERT_EQ(entries.size(), 9u);
  EXPECT_EQ(entries[2].mode, 040750u);
  EXPECT_EQ(entries[3].data, "lower");
  EXPECT_EQ(entries[3].mode, 0100640u);
  EXPECT_EQ(entries[4].data, "colon");
  EXPECT_EQ(entries[5].data, "dot");
  EXPECT_EQ(entries[6].data, "device name");
  EXPECT_EQ(entries[7].data, "/system/bin/sh");
  EXPECT_EQ(entries[8].mode, 020600u);

  // The digest of the untouched folder is stable, and a stored file edited changes it.
  const std::string digest = TreeDigest(tree, list);
  EXPECT_EQ(TreeDigest(tree, list), digest);
  for (const auto& s : stored)
    if (s.rfind("etc", 0) == 0 && s.find("conf") != std::string::npos) WriteFile(t / "ramdisk" / s, "edited");
  EXPECT_NE(TreeDigest(tree, list), digest);
  StringWriter edited;
  BuildCpio(tree, list, edited);
  EXPECT_EQ(ReadArchive(edited.s)[4].data, "edited");
}
