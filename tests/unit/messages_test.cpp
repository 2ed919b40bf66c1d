#include <gtest/gtest.h>

#include <cstdlib>

#include "messages.h"
#include "recent_files.h"
#include "settings.h"
#include "test_support.h"

using namespace orvex;
using namespace orvex::test;

TEST(Messages, BuiltInRussianTable) {
  MessageTable m;
  m.LoadBuiltIn();
  EXPECT_EQ(m.Get(1), "Пожалуйста выберите файл(ы) образа прошивки или раздела");
  EXPECT_EQ(m.Get(42), "Код выхода");
  EXPECT_EQ(m.Get(56), "Собрать  раздел:");  // double blank kept
  EXPECT_EQ(m.Get(68), "Перенесите на  данное окно или на значок программы образ(ы) прошивки");
  EXPECT_EQ(m.Get(186), "Свободное пространство в Super:");
  EXPECT_EQ(m.Get(0), "");
  EXPECT_EQ(m.Get(187), "");
}

TEST(Messages, LanguageFileCommentsEmptyLinesAndLimits) {
  TempDir t;
  std::string text = "\xEF\xBB\xBF; a comment\r\n\r\nfirst\nsecond\rthird\r\n";
  for (int i = 4; i <= 200; ++i) text += "m" + std::to_string(i) + "\r\n";
  WriteFile(t / "1033.lng", text);
  Settings s;
  MessageTable m;
  m.LoadLanguage(1033, t.str() + "/", s);
  EXPECT_EQ(m.Get(1), "first");
  EXPECT_EQ(m.Get(2), "second");
  EXPECT_EQ(m.Get(3), "third");
  EXPECT_EQ(m.Get(186), "m186");
  EXPECT_EQ(m.CurrentLanguage(), 1033);
  EXPECT_EQ(s.Int("Locale_ID"), 0);
}

TEST(Messages, ShortFileKeepsEarlierTextsAndInvalidUtf8IsReplaced) {
  TempDir t;
  WriteFile(t / "1031.lng", "Datei\xFF\r\n");
  Settings s;
  MessageTable m;
  m.LoadBuiltIn();
  m.LoadLanguage(1031, t.str() + "/", s);
  EXPECT_EQ(m.Get(1), "Datei\xEF\xBF\xBD");
  EXPECT_EQ(m.Get(2), "Файл(ы)");  // not reached by the file
}

TEST(Messages, MissingOrTinyFileFallsBackToRussian) {
  TempDir t;
  WriteFile(t / "1058.lng", "x");
  Settings s;
  MessageTable m;
  s.SetInt("Locale_ID", 1058);
  m.LoadLanguage(1058, t.str() + "/", s);
  EXPECT_EQ(s.Int("Locale_ID"), 1049);
  EXPECT_EQ(m.Get(4), "Файл");
  s.SetInt("Locale_ID", 1066);
  m.LoadLanguage(1066, t.str() + "/", s);
  EXPECT_EQ(s.Int("Locale_ID"), 1049);
}

TEST(Messages, AutomaticLanguageFromTheLocale) {
  TempDir t;
  WriteFile(t / "1033.lng", "; English\r\nPlease choose\r\n");
  const char* saved = std::getenv("LC_ALL");
  std::string keep = saved ? saved : "";
  setenv("LC_ALL", "en_GB.UTF-8", 1);
  Settings s;
  MessageTable m;
  m.LoadLanguage(0, t.str() + "/", s);
  EXPECT_EQ(m.Get(1), "Please choose");
  setenv("LC_ALL", "pt_BR.UTF-8", 1);  // 1046 has no file here
  m.LoadLanguage(0, t.str() + "/", s);
  EXPECT_EQ(s.Int("Locale_ID"), 1049);
  if (saved) setenv("LC_ALL", keep.c_str(), 1);
  else unsetenv("LC_ALL");
}

TEST(Messages, ShippedEnglishFileIsComplete) {
  std::string text = ReadFile(fs::path(ORVEX_SOURCE_DIR) / "resources/language/1033.lng");
  ASSERT_FALSE(text.empty());
  Settings s;
  MessageTable m;
  EXPECT_EQ(m.LoadFromText(text), 186);
  for (int i = 1; i <= 186; ++i) EXPECT_FALSE(m.Get(i).empty()) << i;
}

TEST(RecentFiles, HeadDeduplicationAndLimit) {
  TempDir t;
  RecentFiles r;
  int changes = 0;
  r.SetOnChange([&] { ++changes; });
  r.SetFile((t / "recent.ini").string());
  r.AddRecentFile("");
  EXPECT_TRUE(r.List().empty());
  for (int i = 1; i <= 11; ++i) r.AddRecentFile("/fw/p" + std::to_string(i));
  auto l = r.List();
  ASSERT_EQ(l.size(), 10u);
  EXPECT_EQ(l.front(), "/fw/p11");
  EXPECT_EQ(l.back(), "/fw/p2");  // the oldest dropped
  r.AddRecentFile("/fw/p5");
  l = r.List();
  EXPECT_EQ(l.front(), "/fw/p5");
  EXPECT_EQ(std::count(l.begin(), l.end(), "/fw/p5"), 1);
  EXPECT_EQ(ReadFile(t / "recent.ini").rfind("/fw/p5\r\n/fw/p11\r\n", 0), 0u);
  EXPECT_EQ(changes, 13);
  r.Clear();
  EXPECT_TRUE(r.List().empty());
  EXPECT_FALSE(fs::exists(t / "recent.ini"));
}
