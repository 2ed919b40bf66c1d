#include <gtest/gtest.h>

#include <algorithm>

#include "settings.h"
#include "test_support.h"

using namespace orvex;
using namespace orvex::test;

TEST(Settings, EveryKeyWithItsDefault) {
  // The record's table: 65 keys, each written once at close.
  EXPECT_EQ(Settings::Keys().size(), 65u);
  Settings s;
  EXPECT_EQ(s.Int("Desktop_Width"), -65535);
  EXPECT_EQ(s.Int("Main_Width"), 473);
  EXPECT_EQ(s.Int("Main_Height"), 266);
  EXPECT_EQ(s.Int("Setting_Width"), 395);
  EXPECT_EQ(s.Int("Setting_Height"), 383);
  EXPECT_EQ(s.Int("Window_Transparency"), 245);
  EXPECT_EQ(s.Int("Editor_BackColor"), 3618615);
  EXPECT_EQ(s.Int("Editor_FontColor"), 11842740);
  EXPECT_EQ(s.Text("Ver"), "106");
  EXPECT_EQ(s.Text("Compress"), "--force --quality 7 --verbose");
  EXPECT_EQ(s.Text("Decompress"), "--verbose");
  EXPECT_EQ(s.Int("No_Org"), 1);
  EXPECT_EQ(s.Int("AutoExit_Time"), 10);
  EXPECT_EQ(s.Int("not_delete"), 0);  // keys are found without regard to case
}

TEST(Settings, UnreadableValuesKeepTheirDefaults) {
  TempDir t;
  // No byte-order mark, LF line ends, text where numbers belong, out-of-range numbers,
  // duplicates (the first wins), a key outside the group, an unknown key.
  WriteFile(t / "settings.ini",
            "Free_Space = 7\n"
            "[Settings]\n"
            "main_width = wide\n"
            "Main_Height = 99999999999\n"
            "Window_Transparency = 12\n"
            "Volume_Level = 55\n"
            "Volume_Level = 60\n"
            "Toolbar_Set = 2\n"
            "Ver = 999\n"
            "Editor_FontName = DejaVu Sans Mono\n"
            "Pack_Folder = /home/u/\xFF" "fw\n"
            "Unknown_Key = 3\n"
            "Auto_Exit = -1\n");
  Settings s;
  s.Load((t / "settings.ini").string());
  EXPECT_EQ(s.Int("Free_Space"), 100);
  EXPECT_EQ(s.Int("Main_Width"), 473);
  EXPECT_EQ(s.Int("Main_Height"), 266);
  EXPECT_EQ(s.Int("Window_Transparency"), 245);
  EXPECT_EQ(s.Int("Volume_Level"), 55);
  EXPECT_EQ(s.Int("Toolbar_Set"), 2);
  EXPECT_EQ(s.Text("Ver"), "106");
  EXPECT_EQ(s.Text("Editor_FontName"), "DejaVu Sans Mono");
  EXPECT_EQ(s.Text("Pack_Folder"), "/home/u/\xEF\xBF\xBD" "fw");
  EXPECT_EQ(s.Int("Auto_Exit"), 1);
}

TEST(Settings, SaveWritesBomGroupAndTheWriteOrder) {
  TempDir t;
  Settings s;
  s.SetInt("Main_X", 10);
  s.SetInt("Main_Y", 20);
  s.SetInt("Locale_ID", 1033);
  WindowState w;
  w.screenWidth = 1920;
  w.screenHeight = 1080;
  ASSERT_TRUE(s.Save((t / "s.ini").string(), w));
  std::string text = ReadFile(t / "s.ini");
  ASSERT_EQ(text.rfind("\xEF\xBB\xBF\r\n[Settings]\r\nDesktop_Width = 1920\r\nDesktop_Height = 1080\r\nMain_X = 10\r\n", 0), 0u);
  EXPECT_NE(text.find("Main_Maximize = 0\r\nMain_Top = 0\r\nSetting_Stage = 0\r\nSetting_Width = 395\r\n"
                      "Setting_Height = 383\r\nSetting_X = -65535\r\nSetting_Y = -65535\r\nWindow_Transparency = 245\r\n"),
            std::string::npos);
  EXPECT_NE(text.find("Ver = 106\r\nPack_System = 1\r\n"), std::string::npos);
  EXPECT_NE(text.find("Seven_Pack = 0\r\nSeven_UnPack = 0\r\nSubfolder = 1\r\nDelete_Archive = 0\r\n"), std::string::npos);
  EXPECT_TRUE(text.ends_with("Pack_Folder = \r\nUnpack_Folder = \r\n"));
  size_t lines = std::count(text.begin(), text.end(), '\n');
  EXPECT_EQ(lines, 2u + 65u);  // the empty line, the group line and every key

  Settings back;
  back.Load((t / "s.ini").string());
  EXPECT_EQ(back.Int("Locale_ID"), 1033);
  EXPECT_EQ(back.Int("Main_X"), 10);
}

TEST(Settings, GeometryLeftOutWhenTheWindowWasNotPlaced) {
  TempDir t;
  Settings s;
  s.SetInt("Main_X", 0);
  s.SetInt("Main_Y", 50);
  s.SetInt("Setting_Width", 0);
  ASSERT_TRUE(s.Save((t / "s.ini").string(), WindowState{}));
  std::string text = ReadFile(t / "s.ini");
  EXPECT_EQ(text.find("Main_X"), std::string::npos);
  EXPECT_EQ(text.find("Desktop_Width"), std::string::npos);
  EXPECT_EQ(text.find("Setting_Stage"), std::string::npos);
  EXPECT_NE(text.find("Main_Maximize = 0"), std::string::npos);
}

TEST(Settings, OverridesAreValidated) {
  Settings s;
  EXPECT_TRUE(s.SetFromText("not_delete", "1"));
  EXPECT_EQ(s.Int("Not_Delete"), 1);
  EXPECT_FALSE(s.SetFromText("Not_Delete", "2"));
  EXPECT_FALSE(s.SetFromText("Seven_Level", "4"));
  EXPECT_FALSE(s.SetFromText("No_Such_Key", "1"));
  EXPECT_TRUE(s.SetFromText("Compress", "--quality 11"));
  EXPECT_EQ(s.Text("Compress"), "--quality 11");
}
