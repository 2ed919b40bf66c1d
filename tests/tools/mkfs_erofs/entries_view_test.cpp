// The tree view of our Windows mkfs.erofs: paths with original names to stored ones, kept
// entries, and the entries list's malformed lines.
#include "entries_view.h"

#include <gtest/gtest.h>

using orvex::erofs_compat::EntriesView;

namespace {

EntriesView Parsed(const std::string& text) {
  EntriesView v;
  std::string error;
  EXPECT_TRUE(v.Parse(text, &error)) << error;
  v.SetRoot("C:/w/vendor/vendor");
  return v;
}

TEST(EntriesView, RenamedFoldersRenameEverythingBelowThem) {
  EntriesView v = Parsed(
      "name\tdir%3Aone\tdir:one\r\n"
      "name\tdir%3Aone/CON%2E\tdir:one/CON.\r\n"
      "name\tdir%3Aone/makefile~2\tdir:one/makefile\r\n");
  std::string rel;
  bool in = false;
  EXPECT_EQ(v.ToStored("C:/w/vendor/vendor/dir:one/makefile", &rel, &in), "C:/w/vendor/vendor/dir%3Aone/makefile~2");
  EXPECT_TRUE(in);
  EXPECT_EQ(rel, "dir%3Aone/makefile~2");
  // Not renamed itself, below a renamed folder.
  EXPECT_EQ(v.ToStored("C:/w/vendor/vendor/dir:one/Makefile", &rel, &in), "C:/w/vendor/vendor/dir%3Aone/Makefile");
  EXPECT_EQ(v.ToStored("C:/w/vendor/vendor/dir:one/CON./x", &rel, &in), "C:/w/vendor/vendor/dir%3Aone/CON%2E/x");
  EXPECT_EQ(rel, "dir%3Aone/CON%2E/x");
  // The top and paths outside the tree, including a sibling with the same prefix.
  EXPECT_EQ(v.ToStored("C:/w/vendor/vendor", &rel, &in), "C:/w/vendor/vendor");
  EXPECT_TRUE(in);
  EXPECT_EQ(rel, "");
  EXPECT_EQ(v.ToStored("C:/w/vendor/vendor2/dir:one", &rel, &in), "C:/w/vendor/vendor2/dir:one");
  EXPECT_FALSE(in);
  EXPECT_EQ(v.ToStored("C:/w/vendor/config/x.txt", &rel, &in), "C:/w/vendor/config/x.txt");
  EXPECT_FALSE(in);
}

TEST(EntriesView, ListsFoldersWithTheOriginalNames) {
  EntriesView v = Parsed("name\tdir%3Aone\tdir:one\nname\tdir%3Aone/makefile~2\tdir:one/makefile\n");
  EXPECT_EQ(v.OriginalName("", "dir%3Aone"), "dir:one");
  EXPECT_EQ(v.OriginalName("dir%3Aone", "makefile~2"), "makefile");
  EXPECT_EQ(v.OriginalName("dir%3Aone", "Makefile"), "Makefile");
  // The same stored name in another folder is not renamed.
  EXPECT_EQ(v.OriginalName("", "makefile~2"), "makefile~2");
}

TEST(EntriesView, KeptEntriesByStoredPath) {
  EntriesView v = Parsed(
      "link\tbin/sh\t/system/bin/toybox\r\n"
      "char\tdev/null\t1\t3\r\n"
      "block\tdev/loop9\t7\t4294967295\r\n"
      "fifo\tp%3Fipe\r\n"
      "socket\tsock\r\n"
      "\r\n");
  ASSERT_NE(v.Find("bin/sh"), nullptr);
  EXPECT_EQ(v.Find("bin/sh")->kind, EntriesView::Kind::kLink);
  EXPECT_EQ(v.Find("bin/sh")->target, "/system/bin/toybox");
  ASSERT_NE(v.Find("dev/null"), nullptr);
  EXPECT_EQ(v.Find("dev/null")->kind, EntriesView::Kind::kChar);
  EXPECT_EQ(v.Find("dev/null")->major, 1u);
  EXPECT_EQ(v.Find("dev/null")->minor, 3u);
  EXPECT_EQ(v.Find("dev/loop9")->kind, EntriesView::Kind::kBlock);
  EXPECT_EQ(v.Find("dev/loop9")->minor, 4294967295u);
  EXPECT_EQ(v.Find("p%3Fipe")->kind, EntriesView::Kind::kFifo);
  EXPECT_EQ(v.Find("sock")->kind, EntriesView::Kind::kSocket);
  EXPECT_EQ(v.Find("bin"), nullptr);
  EXPECT_EQ(v.Find("bin/sh/"), nullptr);
}

TEST(EntriesView, MalformedLinesAreRefusedWithTheirNumber) {
  const struct {
    const char* text;
    const char* why;
  } cases[] = {
      {"link\tbin/sh\r\n", "line 1"},
      {"link\tbin/sh\t\r\n", "line 1"},
      {"\nchar\tdev/null\t1\r\n", "line 2"},
      {"char\tdev/null\t1\tx\r\n", "line 1"},
      {"block\tdev/b\t4294967296\t0\r\n", "line 1"},
      {"fifo\tp\textra\r\n", "line 1"},
      {"name\ta%3Ab\r\n", "line 1"},
      {"name\ta%3Ab\t../escape\r\n", "line 1"},
      {"link\t../outside\tx\r\n", "line 1"},
      {"link\t/abs\tx\r\n", "line 1"},
      {"link\ta//b\tx\r\n", "line 1"},
      {"hardlink\ta\tb\r\n", "unknown kind"},
  };
  for (const auto& c : cases) {
    EntriesView v;
    std::string error;
    EXPECT_FALSE(v.Parse(c.text, &error)) << c.text;
    EXPECT_NE(error.find(c.why), std::string::npos) << c.text << " -> " << error;
  }
}

TEST(EntriesView, NoListMeansAPlainTree) {
  EntriesView v;
  std::string error;
  v.SetListFile("/nonexistent/folder/vendor_windows_entries.txt");
  EXPECT_TRUE(v.Start("/w/t", &error)) << error;
  EXPECT_EQ(v.size(), 0u);
  std::string rel;
  bool in = false;
  EXPECT_EQ(v.ToStored("/w/t/a:b", &rel, &in), "/w/t/a:b");
  EXPECT_TRUE(in);
}

}  // namespace
