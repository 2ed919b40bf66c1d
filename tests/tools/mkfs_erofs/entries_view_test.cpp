// The tree view of our Windows mkfs.erofs over the entries list: paths with original names to
// stored ones, kept entries, and what a bad list does.
#include "entries_view.h"

#include <gtest/gtest.h>

#include "test_support.h"

using orvex::erofs_compat::EntriesView;
using namespace orvex::test;

namespace {

struct View {
  TempDir t;
  EntriesView v;
  std::string error;
  bool ok = false;
  explicit View(const std::string& list, const std::string& root = "C:/w/vendor/vendor") {
    WriteFile(t / "vendor_windows_entries.txt", list);
    v.SetListFile((t / "vendor_windows_entries.txt").string());
    ok = v.Start(root, &error);
  }
};

TEST(EntriesView, RenamedFoldersRenameEverythingBelowThem) {
  View w(
      "name\tdir%3Aone\tdir:one\r\n"
      "name\tdir%3Aone/CON%2E\tdir:one/CON.\r\n"
      "name\tdir%3Aone/makefile~2\tdir:one/makefile\r\n");
  ASSERT_TRUE(w.ok) << w.error;
  const EntriesView& v = w.v;
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
  View w("name\ta%3Ab\ta:b\r\nname\tdir%3Aone\tdir:one\nname\tdir%3Aone/makefile~2\tdir:one/makefile\n");
  ASSERT_TRUE(w.ok) << w.error;  // "a:b" is a name in the image, not a drive
  EXPECT_EQ(w.v.OriginalName("", "a%3Ab"), "a:b");
  EXPECT_EQ(w.v.OriginalName("", "dir%3Aone"), "dir:one");
  EXPECT_EQ(w.v.OriginalName("dir%3Aone", "makefile~2"), "makefile");
  EXPECT_EQ(w.v.OriginalName("dir%3Aone", "Makefile"), "Makefile");
  // The same stored name in another folder is not renamed.
  EXPECT_EQ(w.v.OriginalName("", "makefile~2"), "makefile~2");
}

TEST(EntriesView, KeptEntriesByStoredPath) {
  View w(
      "link\tbin/sh\t/system/bin/toybox\r\n"
      "link\tbin/pct\t100%25%09done\r\n"
      "char\tdev/null\t1\t3\r\n"
      "block\tdev/loop9\t7\t4294967295\r\n"
      "fifo\tp%3Fipe\r\n"
      "socket\tsock\r\n"
      "\r\n");
  ASSERT_TRUE(w.ok) << w.error;
  const EntriesView& v = w.v;
  ASSERT_NE(v.Find("bin/sh"), nullptr);
  EXPECT_EQ(v.Find("bin/sh")->kind, EntriesView::Kind::kLink);
  EXPECT_EQ(v.Find("bin/sh")->target, "/system/bin/toybox");
  ASSERT_NE(v.Find("bin/pct"), nullptr);
  EXPECT_EQ(v.Find("bin/pct")->target, "100%\tdone");
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

TEST(EntriesView, ABadListStopsTheBuildWithFileAndLine) {
  View w("link\tbin/sh\t/system/bin/sh\r\nchar\tdev/null\t1\r\n");
  EXPECT_FALSE(w.ok);
  EXPECT_NE(w.error.find("vendor_windows_entries.txt:2"), std::string::npos) << w.error;
  View outside("link\t../escape\tx\r\n");
  EXPECT_FALSE(outside.ok);
}

TEST(EntriesView, NoListMeansAPlainTree) {
  EntriesView v;
  std::string error;
  v.SetListFile("/nonexistent/folder/vendor_windows_entries.txt");
  EXPECT_TRUE(v.Start("/w/t", &error)) << error;
  std::string rel;
  bool in = false;
  EXPECT_EQ(v.ToStored("/w/t/a:b", &rel, &in), "/w/t/a:b");
  EXPECT_TRUE(in);
  EXPECT_EQ(v.OriginalName("", "a:b"), "a:b");
  EXPECT_EQ(v.Find("a:b"), nullptr);
}

}  // namespace
