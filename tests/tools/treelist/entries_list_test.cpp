// The entries list: stored names under the Windows rules (on any system), the file it writes and
// the strict reading of hand-edited or hostile lists.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "entries_list.h"
#include "platform.h"
#include "platform_io.h"
#include "platform_tree.h"
#include "test_support.h"

using namespace orvex::test;
using namespace orvex::treelist;
namespace pf = orvex::platform;
using K = KeptEntry::Kind;

namespace {

std::string U(const fs::path& p) { return pf::FromPath(p); }

KeptEntry Link(const std::string& target) {
  KeptEntry e;
  e.kind = K::kLink;
  e.target = target;
  return e;
}

KeptEntry Node(K kind, uint32_t major = 0, uint32_t minor = 0) {
  KeptEntry e;
  e.kind = kind;
  e.major = major;
  e.minor = minor;
  return e;
}

// Reads text as a list; the error message when it fails.
std::string ReadError(const TempDir& t, const std::string& text) {
  const std::string file = U(t / "hostile_windows_entries.txt");
  WriteFile(pf::ToPath(file), text);
  EntriesList list;
  std::string error;
  if (EntriesList::Read(file, &list, &error)) return "<accepted>";
  return error;
}

}  // namespace

TEST(EntriesListNames, EscapedForWindows) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"build.prop", "build.prop"},
      {"100%", "100%"},  // '%' alone is storable and stays
      {"a:b", "a%3Ab"},
      {"100%:x", "100%25%3Ax"},  // in a name that changes, '%' changes too
      {"<>\"|?*\\", "%3C%3E%22%7C%3F%2A%5C"},
      {"tab\there\n", "tab%09here%0A"},
      {"dot.", "dot%2E"},
      {"blank ", "blank%20"},
      {"..", ".%2E"},
      {"nul", "%6Eul"},
      {"NUL.txt", "%4EUL.txt"},
      {"com1", "%63om1"},
      {"aux .h", "%61ux .h"},
      {"lpt\xC2\xB9", "%6Cpt\xC2\xB9"},
      {"bad\xFF\xFE", "bad%FF%FE"},
      {"файл?.txt", "файл%3F.txt"},
      {"文件|名", "文件%7C名"},
  };
  for (const auto& [original, stored] : cases) {
    EntriesList list(NamePolicy::Windows());
    const std::string got = list.StoredName("etc", original, "system/etc/" + original);
    EXPECT_EQ(got, stored) << original;
    EXPECT_TRUE(pf::WindowsNameStorable(got)) << got;
    EXPECT_EQ(list.OriginalName("etc", got), original);
    if (got == original) {
      EXPECT_TRUE(list.Empty()) << original;
    } else {
      ASSERT_EQ(list.ChangedNames().size(), 1u);
      EXPECT_EQ(list.ChangedNames().begin()->first, "etc/" + stored);
      EXPECT_EQ(list.ChangedNames().begin()->second, "system/etc/" + original);
    }
  }
}

TEST(EntriesListNames, CaseCollisionsGetANumberBeforeTheExtension) {
  EntriesList list(NamePolicy::Windows());
  EXPECT_EQ(list.StoredName("", "Readme.TXT", "Readme.TXT"), "Readme.TXT");
  EXPECT_EQ(list.StoredName("", "README.txt", "README.txt"), "README~2.txt");
  EXPECT_EQ(list.StoredName("", "readme.txt", "readme.txt"), "readme~3.txt");
  // A real name that looks like a made-up one moves on as well.
  EXPECT_EQ(list.StoredName("", "readme~2.TXT", "readme~2.TXT"), "readme~2~2.TXT");
  EXPECT_EQ(list.StoredName("", ".hidden", ".hidden"), ".hidden");
  EXPECT_EQ(list.StoredName("", ".HIDDEN", ".HIDDEN"), ".HIDDEN~2");
  EXPECT_EQ(list.StoredName("", "lib.so.1", "lib.so.1"), "lib.so.1");
  EXPECT_EQ(list.StoredName("", "LIB.so.1", "LIB.so.1"), "LIB.so~2.1");
  // Beyond ASCII: Cyrillic, Greek (final sigma), Latin-1, dotless i.
  EXPECT_EQ(list.StoredName("", "Файл", "Файл"), "Файл");
  EXPECT_EQ(list.StoredName("", "фАЙЛ", "фАЙЛ"), "фАЙЛ~2");
  EXPECT_EQ(list.StoredName("", "ΟΔΟΣ", "ΟΔΟΣ"), "ΟΔΟΣ");
  EXPECT_EQ(list.StoredName("", "οδος", "οδος"), "οδος~2");
  EXPECT_EQ(list.StoredName("", "ÉTÉ", "ÉTÉ"), "ÉTÉ");
  EXPECT_EQ(list.StoredName("", "été", "été"), "été~2");
  EXPECT_EQ(list.StoredName("", "FIX", "FIX"), "FIX");
  EXPECT_EQ(list.StoredName("", "fıx", "fıx"), "fıx~2");
  // An escaped name and a real name of the same spelling.
  EXPECT_EQ(list.StoredName("", "nul", "nul"), "%6Eul");
  EXPECT_EQ(list.StoredName("", "%6eul", "%6eul"), "%6eul~2");
  // Other folders are not affected; the folder is the stored one.
  EXPECT_EQ(list.StoredName("sub", "readme.txt", "sub/readme.txt"), "readme.txt");
  EXPECT_EQ(list.StoredName("%43ON", "A", "CON/A"), "A");
  EXPECT_EQ(list.StoredName("%43ON", "a", "CON/a"), "a~2");

  EXPECT_EQ(list.OriginalName("", "README~2.txt"), "README.txt");
  EXPECT_EQ(list.OriginalName("%43ON", "a~2"), "a");
  EXPECT_EQ(list.OriginalName("", "Readme.TXT"), "Readme.TXT");
  EXPECT_EQ(list.ChangedNames().at("%43ON/a~2"), "CON/a");

  // A system that keeps case apart keeps both names.
  NamePolicy caseKeeping{[](const std::string& n) { return !n.empty() && n.find('/') == std::string::npos; }, false};
  EntriesList native(caseKeeping);
  EXPECT_EQ(native.StoredName("", "A", "A"), "A");
  EXPECT_EQ(native.StoredName("", "a", "a"), "a");
  EXPECT_EQ(native.StoredName("", "nul:x", "nul:x"), "nul:x");
  EXPECT_TRUE(native.Empty());
}

TEST(EntriesListNames, FoldCase) {
  EXPECT_EQ(FoldCase("abcXYZ09"), "ABCXYZ09");
  EXPECT_EQ(FoldCase("ÿàç"), "ŸÀÇ");
  EXPECT_EQ(FoldCase("ёжик"), "ЁЖИК");
  EXPECT_EQ(FoldCase("ΐάσς"), "ΐΆΣΣ");
  EXPECT_EQ(FoldCase("ǆǅǄ"), "ǄǄǄ");
  EXPECT_EQ(FoldCase("ｆｕｌｌ"), "ＦＵＬＬ");
  EXPECT_EQ(FoldCase("ա"), "Ա");
  EXPECT_EQ(FoldCase("ạ"), "Ạ");
  EXPECT_EQ(FoldCase("bad\xFFz"), "BAD\xFFZ");  // not UTF-8: the byte stays
  EXPECT_EQ(FoldCase("文件"), "文件");
}

TEST(EntriesListFile, EveryKindRoundTrips) {
  TempDir t;
  const std::string file = EntriesListPath(U(t.path()), "system");
  EXPECT_EQ(pf::FromPath(pf::ToPath(file).filename()), "system_windows_entries.txt");
  EntriesList list(NamePolicy::Windows());
  list.Keep("bin/sh", Link("/system/bin/mksh"));
  list.Keep("lib/odd", Link("../x\ty\r\nz %41 \xFF\x01 файл"));  // any byte a target may hold
  list.Keep("dev/null", Node(K::kChar, 1, 3));
  list.Keep("dev/block/sda", Node(K::kBlock, 259, 4294967295u));
  list.Keep("dev/fifo", Node(K::kFifo));
  list.Keep("dev/socket", Node(K::kSocket));
  const std::string stored = list.StoredName("etc", "a:b\n", "etc/a:b\n");
  ASSERT_EQ(stored, "a%3Ab%0A");
  std::string error;
  ASSERT_TRUE(list.Write(file, &error)) << error;
  EXPECT_FALSE(fs::exists(pf::ToPath(file + ".part")));

  // The file as documented: CR LF, tabs, fields escaped where they must be.
  const std::string text = ReadFile(pf::ToPath(file));
  EXPECT_NE(text.find("link\tbin/sh\t/system/bin/mksh\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("link\tlib/odd\t../x%09y%0D%0Az %2541 %FF%01 файл\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("char\tdev/null\t1\t3\r\n"), std::string::npos);
  EXPECT_NE(text.find("block\tdev/block/sda\t259\t4294967295\r\n"), std::string::npos);
  EXPECT_NE(text.find("fifo\tdev/fifo\r\n"), std::string::npos);
  EXPECT_NE(text.find("socket\tdev/socket\r\n"), std::string::npos);
  EXPECT_NE(text.find("name\tetc/a%3Ab%0A\tetc/a:b%0A\r\n"), std::string::npos) << text;
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 7);

  EntriesList back(NamePolicy::Windows());
  ASSERT_TRUE(EntriesList::Read(file, &back, &error)) << error;
  EXPECT_EQ(back.Kept().size(), 6u);
  for (const auto& [path, e] : list.Kept()) {
    const KeptEntry* got = back.Find(path);
    ASSERT_NE(got, nullptr) << path;
    EXPECT_EQ(got->kind, e.kind) << path;
    EXPECT_EQ(got->target, e.target) << path;
    EXPECT_EQ(got->major, e.major) << path;
    EXPECT_EQ(got->minor, e.minor) << path;
  }
  EXPECT_EQ(back.Find("bin"), nullptr);
  EXPECT_EQ(back.OriginalName("etc", stored), "a:b\n");
  EXPECT_EQ(back.OriginalName("etc", "other"), "other");
}

TEST(EntriesListFile, ReplacedWholeAndRemovedWhenEmpty) {
  TempDir t;
  const std::string file = U(t / "vendor_windows_entries.txt");
  std::string error;
  // An empty list makes no file.
  EntriesList empty;
  ASSERT_TRUE(empty.Write(file, &error)) << error;
  EXPECT_FALSE(fs::exists(pf::ToPath(file)));

  EntriesList first;
  first.Keep("a", Link("b"));
  first.Keep("c", Link("d"));
  ASSERT_TRUE(first.Write(file, &error)) << error;
  EntriesList second;
  second.Keep("x", Node(K::kFifo));
  ASSERT_TRUE(second.Write(file, &error)) << error;
  EXPECT_EQ(ReadFile(pf::ToPath(file)), "fifo\tx\r\n");
  // The next unpack needs nothing kept: the old list goes, or the pack would bring back stale entries.
  ASSERT_TRUE(empty.Write(file, &error)) << error;
  EXPECT_FALSE(fs::exists(pf::ToPath(file)));

  // A folder that is not there: an error, nothing half-written.
  const std::string nowhere = U(t / "missing" / "x_windows_entries.txt");
  EXPECT_FALSE(second.Write(nowhere, &error));
  EXPECT_NE(error.find("x_windows_entries.txt"), std::string::npos) << error;
  // Paths a reader would refuse are not written either.
  EntriesList bad;
  bad.Keep("../outside", Link("x"));
  EXPECT_FALSE(bad.Write(file, &error));
  EXPECT_FALSE(fs::exists(pf::ToPath(file)));
  EntriesList badName(NamePolicy::Windows());
  badName.StoredName("", "x:y", "../x:y");
  EXPECT_FALSE(badName.Write(file, &error));
  EXPECT_NE(error.find("bad original path"), std::string::npos) << error;
  EntriesList noTarget;
  noTarget.Keep("l", Link(""));
  EXPECT_FALSE(noTarget.Write(file, &error));
}

TEST(EntriesListFile, LineEndsAndAMissingList) {
  TempDir t;
  std::string error;
  EntriesList list;
  list.Keep("stale", Link("x"));
  // A missing list is an empty one.
  ASSERT_TRUE(EntriesList::Read(U(t / "none.txt"), &list, &error)) << error;
  EXPECT_TRUE(list.Empty());

  for (const std::string& text : {std::string("link\ta\tb\nfifo\tc\n"), std::string("link\ta\tb\r\nfifo\tc\r\n"),
                                 std::string("\xEF\xBB\xBFlink\ta\tb\r\n\r\nfifo\tc")}) {
    WriteFile(t / "l.txt", text);
    EntriesList read;
    ASSERT_TRUE(EntriesList::Read(U(t / "l.txt"), &read, &error)) << error;
    ASSERT_NE(read.Find("a"), nullptr);
    EXPECT_EQ(read.Find("a")->target, "b");
    ASSERT_NE(read.Find("c"), nullptr);
    EXPECT_EQ(read.Find("c")->kind, K::kFifo);
  }
  // A folder where the list should be is an error, not an empty list.
  fs::create_directories(t / "folder.txt");
  EXPECT_FALSE(EntriesList::Read(U(t / "folder.txt"), &list, &error));
}

TEST(EntriesListFile, HostileLinesAreRefusedWithFileAndLine) {
  TempDir t;
  const std::string good = "link\tok\ttarget\r\n";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"hardlink\ta\tb", "unknown kind"},
      {"LINK\ta\tb", "unknown kind"},
      {"link\ta", "needs 3 fields"},
      {"link\ta\tb\tc", "needs 3 fields"},
      {"char\tdev/x\t1", "needs 4 fields"},
      {"fifo\tp\textra", "needs 2 fields"},
      {"char\tdev/x\t-1\t3", "decimal"},
      {"block\tdev/x\t1\t4294967296", "decimal"},
      {"char\tdev/x\t0x10\t3", "decimal"},
      {"char\tdev/x\t\t3", "decimal"},
      {"link\t/etc/passwd\tx", "absolute"},
      {"link\tC:/Windows/x\tx", "absolute"},
      {"link\t\\\\server\\x\tx", "absolute"},
      {"link\ta/../../b\tx", "\"..\""},
      {"fifo\t./a", "\"..\""},
      {"fifo\ta//b", "empty part"},
      {"fifo\ta/", "empty part"},
      {"fifo\t", "bad stored path: empty"},
      {std::string("fifo\ta\0b", 8), "control character"},
      {"link\tl\tx%00y", "NUL"},
      {"link\tl\t", "without a target"},
      {"link\tl\t%G1", "escape"},
      {"link\tl\tab%4", "escape"},
      {"name\ta\t../b", "original path"},
      {"name\ta\t/b", "original path"},
      {"name\ta\tb%00", "original path"},
      {"link\tok\tagain", "second line"},
      {"fifo\tok", "second line"},
  };
  for (const auto& [line, what] : cases) {
    const std::string error = ReadError(t, good + line + "\r\n");
    EXPECT_NE(error.find("hostile_windows_entries.txt:2: "), std::string::npos) << line << " -> " << error;
    EXPECT_NE(error.find(what), std::string::npos) << line << " -> " << error;
  }
  EXPECT_NE(ReadError(t, "name\tn\tx\nname\tn\ty\n").find("hostile_windows_entries.txt:2: a second line"),
            std::string::npos);
  // A link whose name changed has both lines.
  EXPECT_EQ(ReadError(t, good + "name\tok\to:k\r\n"), "<accepted>");

  // A failed read leaves the list it was given alone.
  EntriesList kept;
  kept.Keep("mine", Link("x"));
  WriteFile(t / "bad.txt", "nonsense\n");
  std::string error;
  EXPECT_FALSE(EntriesList::Read(U(t / "bad.txt"), &kept, &error));
  EXPECT_NE(kept.Find("mine"), nullptr);
}

// An image name at the top of the tree may look like a drive ("a:b", "c:"): as an original path
// it is read back; as a path on disk it never is.
TEST(EntriesListFile, TopLevelNamesWithAColonAreOriginalPaths) {
  TempDir t;
  const std::string file = U(t / "top_windows_entries.txt");
  WriteFile(t / "top_windows_entries.txt", "name\ta%3Ab\ta:b\r\nname\tc%3A\tc:\r\n");
  EntriesList list;
  std::string error;
  ASSERT_TRUE(EntriesList::Read(file, &list, &error)) << error;
  EXPECT_EQ(list.OriginalName("", "a%3Ab"), "a:b");
  EXPECT_EQ(list.OriginalName("", "c%3A"), "c:");
  WriteFile(t / "top_windows_entries.txt", "name\tc:\tc\r\n");
  EXPECT_FALSE(EntriesList::Read(file, &list, &error));
  EXPECT_NE(error.find("absolute"), std::string::npos) << error;
}

// A link or node whose name the system cannot hold has two lines: its kind and its name.
TEST(EntriesListFile, ARenamedLinkKeepsBothLines) {
  TempDir t;
  const std::string file = U(t / "both_windows_entries.txt");
  // As a Windows unpack writes it (here by hand: this system could hold the name itself).
  WriteFile(t / "both_windows_entries.txt",
            "link\tcase/Link%3AName\t../Makefile\r\nname\tcase/Link%3AName\tcase/Link:Name\r\n");
  const std::string stored = "Link%3AName";
  EntriesList back;
  std::string error;
  ASSERT_TRUE(EntriesList::Read(file, &back, &error)) << error;
  EXPECT_EQ(back.OriginalName("case", stored), "Link:Name");
  ASSERT_NE(back.Find("case/" + stored), nullptr);
  EXPECT_EQ(back.Find("case/" + stored)->target, "../Makefile");
  // The same stored path twice with names is still refused.
  WriteFile(t / "both_windows_entries.txt", "name\tx%3A\tx:\r\nname\tx%3A\ty:\r\n");
  EXPECT_FALSE(EntriesList::Read(file, &back, &error));
  EXPECT_NE(error.find("second line"), std::string::npos) << error;
}
