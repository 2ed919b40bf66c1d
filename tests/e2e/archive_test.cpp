// Archives through orvex-cli with the real 7-Zip, tar, gzip and md5sum: update packages, tar.md5
// images, 7z and gzip files unpacked and packed back, and hostile archives that must not write
// outside their folder.
#include <gtest/gtest.h>

#include <cstdint>

#include "cli_workspace.h"

using namespace orvex::test;

namespace {

struct ArchiveCli : CliWorkspace {
  CommandResult Run(const fs::path& target, const std::string& sets = "") const {
    return CliWorkspace::Run(target, "--set Open_Folder=0 " + sets);
  }
};

uint32_t Crc32(const std::string& data) {
  uint32_t c = 0xFFFFFFFFu;
  for (unsigned char b : data) {
    c ^= b;
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
  }
  return ~c;
}

struct ZipEntry {
  std::string name, data;
  uint32_t declaredSize = UINT32_MAX;  // the uncompressed size the directory claims; default: the real one
  bool link = false;
};

// A stored zip written by hand, so that the tests can say anything a hostile archive says.
std::string MakeZip(const std::vector<ZipEntry>& entries) {
  auto u16 = [](std::string& s, uint32_t v) { s += char(v & 0xFF), s += char((v >> 8) & 0xFF); };
  auto u32 = [&](std::string& s, uint32_t v) { u16(s, v & 0xFFFF), u16(s, v >> 16); };
  std::string out, dir;
  for (const auto& e : entries) {
    uint32_t offset = static_cast<uint32_t>(out.size());
    uint32_t crc = Crc32(e.data), size = static_cast<uint32_t>(e.data.size());
    uint32_t declared = e.declaredSize == UINT32_MAX ? size : e.declaredSize;
    u32(out, 0x04034b50), u16(out, 20), u16(out, 0), u16(out, 0), u16(out, 0), u16(out, 0x21);
    u32(out, crc), u32(out, size), u32(out, declared), u16(out, e.name.size()), u16(out, 0);
    out += e.name + e.data;
    u32(dir, 0x02014b50), u16(dir, e.link ? 0x0314 : 20), u16(dir, 20), u16(dir, 0), u16(dir, 0), u16(dir, 0);
    u16(dir, 0x21), u32(dir, crc), u32(dir, size), u32(dir, declared), u16(dir, e.name.size()), u16(dir, 0);
    u16(dir, 0), u16(dir, 0), u16(dir, 0), u32(dir, e.link ? (0120777u << 16) : 0), u32(dir, offset);
    dir += e.name;
  }
  uint32_t dirOffset = static_cast<uint32_t>(out.size());
  out += dir;
  u32(out, 0x06054b50), u16(out, 0), u16(out, 0), u16(out, entries.size()), u16(out, entries.size());
  u32(out, dir.size()), u32(out, dirOffset), u16(out, 0);
  return out;
}

std::string Random(size_t n, unsigned seed) {
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (auto& c : s) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    c = static_cast<char>(x);
  }
  return s;
}

// Every regular file below a folder with its bytes, by relative path.
std::map<std::string, std::string> Files(const fs::path& root) {
  std::map<std::string, std::string> out;
  for (auto& e : fs::recursive_directory_iterator(root))
    if (e.is_regular_file()) out[fs::relative(e.path(), root).string()] = ReadFile(e.path());
  return out;
}

}  // namespace

TEST(ArchiveRoundTrip, UpdatePackageUnpacksAndPacksBack) {
  ArchiveCli cli;
  fs::path src = cli.tmp / "src";
  WriteFile(src / "META-INF/com/google/android/updater-script", "ui_print(\"hello\");\n");
  WriteFile(src / "boot.img", Random(300000, 1));
  WriteFile(src / "firmware/modem.bin", Random(5000, 2));
  ASSERT_EQ(RunCommand("cd " + ShQuote(src.string()) + " && 7zz a -tzip " + ShQuote((cli.Fw() / "update.zip").string()) +
                       " META-INF boot.img firmware >/dev/null").exit_code, 0);

  auto r = cli.Run(cli.Fw() / "update.zip");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(Files(cli.Fw() / "update").erase("zipFileList.cfg"), 1u);
  auto unpacked = Files(cli.Fw() / "update");
  unpacked.erase("zipFileList.cfg");
  EXPECT_EQ(unpacked, Files(src));
  std::string list = ReadFile(cli.Fw() / "update/zipFileList.cfg");
  for (const char* line : {"META-INF\\\r\n", "boot.img\r\n", "firmware\\\r\n"}) EXPECT_NE(list.find(line), std::string::npos) << list;
  EXPECT_EQ(list.size(), std::string("META-INF\\\r\nboot.img\r\nfirmware\\\r\n").size());

  // An edit, then the pack: the package holds the edited tree and the previous one is kept.
  WriteFile(cli.Fw() / "update/firmware/modem.bin", "patched modem");
  const std::string before = ReadFile(cli.Fw() / "update.zip");
  r = cli.Run(cli.Fw() / "update", "--set Signature=0 --set Compress_Level=9");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_NE(r.output.find("Exit code 7z: 0"), std::string::npos) << r.output;
  EXPECT_EQ(ReadFile(cli.Fw() / "update.zip.bak"), before);
  EXPECT_FALSE(fs::exists(cli.Fw() / "update~.zip"));
  ASSERT_EQ(RunCommand("7zz x " + ShQuote((cli.Fw() / "update.zip").string()) + " -o" + ShQuote((cli.tmp / "check").string()) +
                       " -y >/dev/null").exit_code, 0);
  auto check = Files(cli.tmp / "check");
  EXPECT_EQ(check.count("zipFileList.cfg"), 0u);  // the list is not part of the package
  EXPECT_EQ(check["firmware/modem.bin"], "patched modem");
  EXPECT_EQ(check["boot.img"], Files(src)["boot.img"]);
  EXPECT_EQ(check.size(), 3u);
}

TEST(ArchiveRoundTrip, TarMd5KeepsItsFormAndChecksum) {
  ArchiveCli cli;
  fs::path src = cli.tmp / "src";
  WriteFile(src / "boot.img", Random(200000, 3));
  WriteFile(src / "dir/-rf", "a name that looks like an option");
  const std::string tar = (cli.Fw() / "fw.tar").string();
  ASSERT_EQ(RunCommand("tar -cf " + ShQuote(tar) + " -C " + ShQuote(src.string()) + " boot.img dir && cd " +
                       ShQuote(cli.Fw().string()) + " && md5sum -t fw.tar >> fw.tar && mv fw.tar fw.tar.md5").exit_code, 0);
  const std::string original = ReadFile(cli.Fw() / "fw.tar.md5");

  auto r = cli.Run(cli.Fw() / "fw.tar.md5");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(ReadFile(cli.Fw() / "fw/dir/-rf"), "a name that looks like an option");
  std::string list = ReadFile(cli.Fw() / "fw/tarFileList.cfg");
  EXPECT_TRUE(list == "boot.img\ndir\\\n" || list == "dir\\\nboot.img\n") << list;

  WriteFile(cli.Fw() / "fw/boot.img", "new kernel");
  r = cli.Run(cli.Fw() / "fw", "--set No_Backup=0 --set No_Org=0");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(ReadFile(cli.Fw() / "fw.tar.md5.bak"), original);
  EXPECT_EQ(ReadFile(cli.Fw() / "fw.tar.md5.org"), original);
  EXPECT_FALSE(fs::exists(cli.Fw() / "fw.tar"));
  // The appended line checks the tar in front of it, as a flashing tool reads it.
  std::string built = ReadFile(cli.Fw() / "fw.tar.md5");
  ASSERT_GT(built.size(), 41u);
  const size_t lineStart = built.size() - 41;  // 32 hex digits, two blanks, "fw.tar", LF
  WriteFile(cli.tmp / "fw.tar", built.substr(0, lineStart));
  EXPECT_EQ(built.substr(lineStart), RunCommand("cd " + ShQuote(cli.tmp.str()) + " && md5sum -t fw.tar").output);
  auto listing = RunCommand("tar -tf " + ShQuote((cli.tmp / "fw.tar").string()) + " | sort").output;
  EXPECT_EQ(listing, "boot.img\ndir/\ndir/-rf\n");
  EXPECT_EQ(RunCommand("tar -xOf " + ShQuote((cli.tmp / "fw.tar").string()) + " boot.img").output, "new kernel");
}

TEST(ArchiveRoundTrip, SevenZipAndGzipFilesUnpackBesideThemselves) {
  ArchiveCli cli;
  WriteFile(cli.tmp / "src/logo.bin", Random(10000, 4));
  ASSERT_EQ(RunCommand("cd " + ShQuote((cli.tmp / "src").string()) + " && 7zz a " +
                       ShQuote((cli.Fw() / "images.7z").string()) + " logo.bin >/dev/null").exit_code, 0);
  auto r = cli.Run(cli.Fw() / "images.7z");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(ReadFile(cli.Fw() / "images/logo.bin"), ReadFile(cli.tmp / "src/logo.bin"));

  WriteFile(cli.Fw() / "vendor.img", Random(7000, 5));
  const std::string raw = ReadFile(cli.Fw() / "vendor.img");
  ASSERT_EQ(RunCommand("gzip " + ShQuote((cli.Fw() / "vendor.img").string())).exit_code, 0);
  r = cli.Run(cli.Fw() / "vendor.img.gz");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(ReadFile(cli.Fw() / "vendor.img"), raw);
}

TEST(ArchiveHostile, EntriesOutsideTheFolderAreRefusedByName) {
  ArchiveCli cli;
  WriteFile(cli.Fw() / "evil.zip", MakeZip({{"ok.txt", "fine"}, {"../escape.txt", "out"}, {"/abs.txt", "abs"}}));
  auto r = cli.Run(cli.Fw() / "evil.zip");
  EXPECT_EQ(r.exit_code, 1) << r.output;
  EXPECT_NE(r.output.find("../escape.txt"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("/abs.txt"), std::string::npos);
  EXPECT_FALSE(fs::exists(cli.tmp / "escape.txt"));
  EXPECT_FALSE(fs::exists(cli.Fw() / "escape.txt"));
  EXPECT_FALSE(fs::exists(cli.Fw() / "evil/ok.txt"));  // nothing of it unpacked
}

TEST(ArchiveHostile, LinksOutOfTheFolderNeverCarryWrites) {
  ArchiveCli cli;
  fs::path outside = cli.tmp / "outside";
  fs::create_directories(outside);
  // zip: a link to a folder outside, then a file written "through" it.
  WriteFile(cli.Fw() / "links.zip", MakeZip({{"link", outside.string(), UINT32_MAX, true}, {"link/pwned.txt", "pwned"}}));
  auto r = cli.Run(cli.Fw() / "links.zip");
  EXPECT_EQ(r.exit_code, 1) << r.output;
  EXPECT_TRUE(fs::is_empty(outside));
  EXPECT_FALSE(fs::is_symlink(cli.Fw() / "links/link"));

  // tar: the same with GNU tar's own archive.
  fs::path a = cli.tmp / "a", b = cli.tmp / "b";
  fs::create_directories(a);
  fs::create_symlink(outside, a / "link");
  WriteFile(b / "link/pwned.txt", "pwned");
  const std::string tar = (cli.Fw() / "links.tar").string();
  ASSERT_EQ(RunCommand("tar -cf " + ShQuote(tar) + " -C " + ShQuote(a.string()) + " link && tar -rf " + ShQuote(tar) +
                       " -C " + ShQuote(b.string()) + " link/pwned.txt").exit_code, 0);
  r = cli.Run(cli.Fw() / "links.tar");
  EXPECT_EQ(r.exit_code, 1) << r.output;
  EXPECT_TRUE(fs::is_empty(outside));
  EXPECT_FALSE(fs::is_symlink(cli.Fw() / "links/link"));
  EXPECT_NE(r.output.find("link -> " + outside.string()), std::string::npos) << r.output;
}

TEST(ArchiveHostile, AnArchiveLargerThanTheDiskIsNotUnpacked) {
  ArchiveCli cli;
  auto space = fs::space(cli.Fw());
  // Entries of 3.75 GiB each (declared; a few bytes stored) add up to more than the free space.
  const uint32_t each = 0xF0000000u;
  std::vector<ZipEntry> entries;
  for (uint64_t total = 0, i = 0; total <= space.available; total += each, ++i)
    entries.push_back({"part" + std::to_string(i) + ".bin", "x", each});
  WriteFile(cli.Fw() / "bomb.zip", MakeZip(entries));
  auto r = cli.Run(cli.Fw() / "bomb.zip");
  EXPECT_EQ(r.exit_code, 1) << r.output;
  EXPECT_NE(r.output.find("free: not unpacked"), std::string::npos) << r.output;
  EXPECT_TRUE(fs::is_empty(cli.Fw() / "bomb"));
}

TEST(ArchiveRoundTrip, SplitSevenZipGoesToItsBaseNameAndItsPartsAreQueued) {
  ArchiveCli cli;
  WriteFile(cli.tmp / "src/super.bin", Random(300000, 6));
  WriteFile(cli.tmp / "src/readme.txt", "notes");
  ASSERT_EQ(RunCommand("cd " + ShQuote((cli.tmp / "src").string()) + " && 7zz a -mx0 -v100k " +
                       ShQuote((cli.Fw() / "fw.7z").string()) + " super.bin readme.txt >/dev/null").exit_code, 0);
  ASSERT_TRUE(fs::exists(cli.Fw() / "fw.7z.003"));
  auto r = cli.Run(cli.Fw() / "fw.7z.001", "--set Seven_UnPack=1");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(ReadFile(cli.Fw() / "fw/super.bin"), ReadFile(cli.tmp / "src/super.bin"));
  // The extracted files were handed to the dispatcher in turn: each got its own path analysis.
  EXPECT_NE(r.output.find((cli.Fw() / "fw/readme.txt").string()), std::string::npos) << r.output;
  EXPECT_NE(r.output.find((cli.Fw() / "fw/super.bin").string()), std::string::npos);
}
