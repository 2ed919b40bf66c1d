// A tree unpacked where the file system cannot hold links, device nodes or some names (NTFS):
// the entries list beside the attribute file tells fspatch and make_ext4fs what each stand-in
// file really is, whichever system packs. Also the image I/O of the library past 4 GiB.
#include <gtest/gtest.h>

#include <cstring>

#include "ext4/image_source.h"
#include "ext4_test_util.h"
#include "platform_io.h"

namespace {

using namespace orvex::test;
using namespace orvex::test::ext4;

class KeptEntries : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* p : {"e2fsck", "debugfs"})
      if (Prog(p).empty()) GTEST_SKIP() << p << " not installed";
    // fw/sys/{sys,config}: what the unpack leaves on NTFS for an image with a link, a device
    // node, a fifo, a name with ':' and two names differing only in case.
    const fs::path tree = fw() / "sys" / "sys";
    fs::create_directories(tree / "bin");
    fs::create_directories(tree / "dev");
    fs::create_directories(tree / "case");
    fs::create_directories(fw() / "sys" / "config");
    WriteFile(tree / "bin" / "toybox", "binary");
    WriteFile(tree / "bin" / "sh", "/system/bin/toybox");  // a link's file: its target
    WriteFile(tree / "bin" / "rel", "toybox");
    WriteFile(tree / "dev" / "null", "");                   // a device node's file
    WriteFile(tree / "dev" / "pipe", "");
    WriteFile(tree / "a%3Ab", "colon");
    WriteFile(tree / "case" / "Makefile", "upper");
    WriteFile(tree / "case" / "makefile~2", "lower");
    WriteFile(config("_fs_config.txt"),
              "sys 0 0 0755\nsys/a:b 0 0 0644\nsys/bin 0 2000 0751\nsys/bin/toybox 0 2000 0755 "
              "capabilities=0x400\nsys/bin/sh 0 2000 0777\nsys/bin/rel 0 0 0777\nsys/dev 0 0 0755\n"
              "sys/dev/null 0 0 0666\nsys/dev/pipe 1000 1000 0600\nsys/case 0 0 0755\n"
              "sys/case/Makefile 0 0 0644\nsys/case/makefile 0 0 0640\nsys/lost+found 0 0 0700\n");
    WriteFile(config("_file_contexts.txt"),
              "/sys(/.*)? u:object_r:system_file:s0\n/sys/bin/sh u:object_r:shell_exec:s0\n"
              "/sys/a:b u:object_r:colon_file:s0\n");
    WriteFile(config("_windows_entries.txt"),
              "link\tbin/sh\t/system/bin/toybox\r\nlink\tbin/rel\ttoybox\r\nchar\tdev/null\t1\t3\r\n"
              "fifo\tdev/pipe\r\nname\ta%3Ab\ta:b\r\nname\tcase/makefile~2\tcase/makefile\r\n");
  }

  fs::path fw() const { return t_.path(); }
  fs::path config(const std::string& suffix) const { return fw() / "sys" / "config" / ("sys" + suffix); }

  CommandResult Fspatch() {
    return Sh("cd " + ShQuote(fw().string()) + " && " + Tool("fspatch") +
              " sys/sys sys/config/sys_fs_config.txt");
  }
  CommandResult Pack(const std::string& extra = "") {
    return Sh("cd " + ShQuote((fw() / "sys").string()) + " && " + Tool("make_ext4fs") +
              " -l 16M -J -T 1700000000 -L sys -a sys" + extra +
              " -S ./config/sys_file_contexts.txt -C ./config/sys_fs_config.txt ../sys.img ./sys");
  }
  std::string Debugfs(const std::string& request) const {
    return Sh(Prog("debugfs") + " -R " + ShQuote(request) + " " + ShQuote((fw() / "sys.img").string()) +
              " 2>/dev/null")
        .output;
  }

  TempDir t_;
};

TEST_F(KeptEntries, FspatchKnowsEveryEntryByItsImageName) {
  const std::string before = ReadFile(config("_fs_config.txt"));
  auto r = Fspatch();
  ASSERT_EQ(r.exit_code, 0) << r.output;
  // Stored names such as "a%3Ab" and "makefile~2" are the paths already listed as "a:b" and
  // "makefile": nothing is added, nothing is changed.
  EXPECT_NE(r.output.find("fspatch: 0 entries added"), std::string::npos) << r.output;
  EXPECT_EQ(ReadFile(config("_fs_config.txt")), before);

  // A new file under a stored name is added under its image name.
  WriteFile(fw() / "sys" / "sys" / "case" / "new%3Afile", "new");
  std::string list = ReadFile(config("_windows_entries.txt"));
  WriteFile(config("_windows_entries.txt"), list + "name\tcase/new%3Afile\tcase/new:file\r\n");
  r = Fspatch();
  ASSERT_EQ(r.exit_code, 0) << r.output;
  const auto lines = FsConfigByPath(config("_fs_config.txt"));
  EXPECT_EQ(lines.count("sys/case/new:file"), 1u) << r.output;
  EXPECT_EQ(lines.count("sys/case/new%3Afile"), 0u) << r.output;
}

TEST_F(KeptEntries, PackPutsBackLinksNodesAndNames) {
  auto r = Pack();
  ASSERT_EQ(r.exit_code, 0) << r.output;
  auto fsck = Sh(Prog("e2fsck") + " -fn " + ShQuote((fw() / "sys.img").string()));
  EXPECT_EQ(fsck.exit_code, 0) << fsck.output;

  // Unpacked again here, where the tree keeps everything: the real kinds and names come out.
  auto x = Sh(Tool("imgextractor") + " " + ShQuote((fw() / "sys.img").string()) + " " +
              ShQuote((fw() / "back").string()));
  ASSERT_EQ(x.exit_code, 0) << x.output;
  const fs::path back = fw() / "back" / "sys";
  EXPECT_TRUE(fs::is_symlink(back / "bin" / "sh"));
  EXPECT_EQ(fs::is_symlink(back / "bin" / "sh") ? fs::read_symlink(back / "bin" / "sh").string() : "",
            "/system/bin/toybox");
  EXPECT_EQ(fs::is_symlink(back / "bin" / "rel") ? fs::read_symlink(back / "bin" / "rel").string() : "",
            "toybox");
  EXPECT_EQ(ReadFile(back / "a:b"), "colon");
  EXPECT_EQ(ReadFile(back / "case" / "Makefile"), "upper");
  EXPECT_EQ(ReadFile(back / "case" / "makefile"), "lower");
  EXPECT_FALSE(fs::exists(back / "a%3Ab"));
  EXPECT_FALSE(fs::exists(back / "case" / "makefile~2"));
  EXPECT_FALSE(fs::exists(fw() / "back" / "config" / "sys_windows_entries.txt"));

  // Device numbers, kinds, owners, modes, capabilities and labels from the image itself.
  const std::string null_stat = Debugfs("stat /dev/null");
  EXPECT_NE(null_stat.find("Type: character special"), std::string::npos) << null_stat;
  EXPECT_NE(null_stat.find("Device major/minor number: 01:03"), std::string::npos) << null_stat;
  EXPECT_NE(null_stat.find("Mode:  0666"), std::string::npos) << null_stat;
  const std::string pipe_stat = Debugfs("stat /dev/pipe");
  EXPECT_NE(pipe_stat.find("Type: FIFO"), std::string::npos) << pipe_stat;
  EXPECT_NE(pipe_stat.find("User:  1000"), std::string::npos) << pipe_stat;
  const auto cfg = FsConfigByPath(fw() / "back" / "config" / "sys_fs_config.txt");
  ASSERT_EQ(cfg.count("sys/bin/toybox"), 1u);
  EXPECT_EQ(cfg.at("sys/bin/toybox"), "0 2000 0755 capabilities=0x400");
  EXPECT_EQ(cfg.at("sys/case/makefile"), "0 0 0640");
  const std::string contexts = ReadFile(fw() / "back" / "config" / "sys_file_contexts.txt");
  EXPECT_NE(contexts.find("/sys/bin/sh u:object_r:shell_exec:s0"), std::string::npos) << contexts;
  EXPECT_NE(contexts.find("/sys/a:b u:object_r:colon_file:s0"), std::string::npos) << contexts;
}

TEST_F(KeptEntries, AFolderOnDiskIsNeverTakenForAKeptEntry) {
  // The list says "link", but the disk holds a folder there (the user replaced it): the folder
  // and its contents are packed as they are.
  fs::remove(fw() / "sys" / "sys" / "bin" / "rel");
  fs::create_directories(fw() / "sys" / "sys" / "bin" / "rel");
  WriteFile(fw() / "sys" / "sys" / "bin" / "rel" / "inside", "kept");
  auto r = Pack();
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_NE(Debugfs("stat /bin/rel").find("Type: directory"), std::string::npos);
  EXPECT_NE(Debugfs("cat /bin/rel/inside").find("kept"), std::string::npos);
}

TEST_F(KeptEntries, AMalformedListStopsThePackWithItsLine) {
  WriteFile(config("_windows_entries.txt"), "link\tbin/sh\t/system/bin/toybox\r\nchar\tdev/null\tone\t3\r\n");
  auto r = Pack();
  EXPECT_NE(r.exit_code, 0);
  EXPECT_NE(r.output.find("sys_windows_entries.txt:2"), std::string::npos) << r.output;
  EXPECT_FALSE(fs::exists(fw() / "sys.img"));
  auto p = Fspatch();
  EXPECT_NE(p.exit_code, 0);
  EXPECT_NE(p.output.find("sys_windows_entries.txt:2"), std::string::npos) << p.output;
}

// The image I/O behind the extractor and the builder addresses blocks past 4 GiB (64-bit offsets
// on every system): a block written through the builder's I/O manager at 5 GiB + 4 KiB comes
// back through the reader's, in a sparse file that takes no room.
TEST(ImageIo, BlocksPastFourGibRoundTrip) {
  TempDir t;
  const std::string path = (t.path() / "big.img").string();
  const uint64_t size = 6ull << 30;
  const unsigned long long block = ((5ull << 30) + 4096) / 4096;
  std::string error;
  {
    orvex::ext4::ImageFile img;
    ASSERT_TRUE(img.Create(path, size, &error)) << error;
    io_channel io = nullptr;
    io_manager m = img.Manager();
    ASSERT_EQ(m->open(img.Ext2Name().c_str(), IO_FLAG_RW, &io), 0);
    ASSERT_EQ(io_channel_set_blksize(io, 4096), 0);
    std::string data(8192, 'x');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + 1);
    EXPECT_EQ(io_channel_write_blk64(io, block, 2, data.data()), 0);
    // A byte count (negative) as libext2fs passes it for the superblock.
    EXPECT_EQ(io_channel_write_blk64(io, block + 3, -5, "hello"), 0);
    // Single blocks wait in the channel: a wider read, a byte write over one of them and a block
    // size change must all see (and keep) the newest bytes.
    std::string one(4096, 'a');
    EXPECT_EQ(io_channel_write_blk64(io, block + 10, 1, one.data()), 0);
    std::string wide(3 * 4096, '\0');
    EXPECT_EQ(io_channel_read_blk64(io, block + 9, 3, wide.data()), 0);
    EXPECT_EQ(wide.substr(4096, 4096), one);
    EXPECT_EQ(io_channel_write_byte(io, (block + 10) * 4096 + 100, 3, "XYZ"), 0);
    std::string again(4096, '\0');
    EXPECT_EQ(io_channel_read_blk64(io, block + 10, 1, again.data()), 0);
    EXPECT_EQ(again.substr(99, 5), "aXYZa");
    for (int i = 0; i < 40; ++i) {  // more single blocks than the channel keeps
      std::string b(4096, static_cast<char>('A' + i % 26));
      EXPECT_EQ(io_channel_write_blk64(io, block + 100 + i, 1, b.data()), 0);
    }
    EXPECT_EQ(io_channel_set_blksize(io, 1024), 0);
    std::string small(1024, '\0');
    EXPECT_EQ(io_channel_read_blk64(io, (block + 100) * 4, 1, small.data()), 0);
    EXPECT_EQ(small, std::string(1024, 'A'));
    EXPECT_EQ(io_channel_read_blk64(io, (block + 139) * 4 + 3, 1, small.data()), 0);
    EXPECT_EQ(small, std::string(1024, static_cast<char>('A' + 39 % 26)));
    EXPECT_EQ(io_channel_set_blksize(io, 4096), 0);
    EXPECT_EQ(io_channel_write_blk64(io, block + 11, 1, one.data()), 0);
    io_channel_close(io);  // writes back what is still waiting
    ASSERT_TRUE(img.Close(&error)) << error;
  }
  orvex::ext4::ImageSource src;
  ASSERT_TRUE(src.Open(path, &error)) << error;
  EXPECT_EQ(src.size(), size);
  io_channel io = nullptr;
  io_manager m = src.Manager();
  ASSERT_EQ(m->open(src.Ext2Name().c_str(), 0, &io), 0);
  ASSERT_EQ(io_channel_set_blksize(io, 4096), 0);
  std::string back(8192, '\0');
  ASSERT_EQ(io_channel_read_blk64(io, block, 2, back.data()), 0);
  for (size_t i = 0; i < back.size(); ++i) ASSERT_EQ(back[i], static_cast<char>(i * 7 + 1)) << i;
  char hello[6] = {};
  ASSERT_EQ(io_channel_read_blk64(io, block + 3, -5, hello), 0);
  EXPECT_STREQ(hello, "hello");
  std::string last(4096, '\0');
  ASSERT_EQ(io_channel_read_blk64(io, block + 11, 1, last.data()), 0);
  EXPECT_EQ(last, std::string(4096, 'a'));
  ASSERT_EQ(io_channel_read_blk64(io, block + 10, 1, last.data()), 0);
  EXPECT_EQ(last.substr(99, 5), "aXYZa");
  // Nothing but the reader: writes are refused, and reading past the end is an error.
  EXPECT_NE(io_channel_write_blk64(io, block, 1, back.data()), 0);
  EXPECT_NE(io_channel_read_blk64(io, size / 4096, 1, back.data()), 0);
  io_channel_close(io);
  // The file in between was never written: it reads as zero.
  std::string mid(4096, 'z');
  ASSERT_TRUE(src.ReadAt(4ull << 30, mid.data(), mid.size(), &error)) << error;
  EXPECT_EQ(mid, std::string(4096, '\0'));
}

}  // namespace
