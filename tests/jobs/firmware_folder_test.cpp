#include <gtest/gtest.h>

#include "fake_tools.h"
#include "jobs.h"
#include "text.h"

using namespace orvex;
using namespace orvex::test;

namespace {

// The extractor's calls in order: the image each one was given (relative to the work folder).
std::vector<std::string> ExtractedImages(const EngineEnv& env) {
  std::vector<std::string> out;
  auto lines = Split(ReadFile(env.tmp / "calls.log"), '\n');
  for (size_t i = 0; i + 2 < lines.size(); ++i)
    if (lines[i] == "== imgextractor") out.push_back(lines[i + 1].substr(env.Work().string().size()) + "/" +
                                                      lines[i + 2].substr(1, lines[i + 2].size() - 2));
  return out;
}

}  // namespace

TEST(UnpackFirmwareFolder, FindsEveryCandidateInTableOrder) {
  EngineEnv env;
  env.settings.SetInt("Open_Folder", 0);
  InstallExt4Fakes(env, "EXT_ATTR");
  fs::path w = env.Work();
  for (const char* f : {"odm_b.fex", "Image/vendor.img", "vendor.img", "system_ext_a.img", "system.PARTITION",
                        "product_a.img", "system_a.img"})
    WriteExt4Marked(w / f);
  WriteFile(w / "system_b.img", "");          // an empty slot-b image is skipped
  WriteExt4Marked(w / "system_ext.img");      // system_ext only in its slot forms
  fs::create_directories(w / "odm.img");       // a folder is no candidate

  UnpackFirmwareFolder(env.ctx, w.string());

  EXPECT_EQ(ExtractedImages(env), (std::vector<std::string>{"/system.PARTITION", "/system_a.img", "/system_ext_a.img",
                                                             "/vendor.img", "/Image/vendor.img", "/product_a.img",
                                                             "/odm_b.fex"}));
  EXPECT_TRUE(fs::exists(w / "Image/vendor/config/vendor_fs_options.txt"));
  EXPECT_TRUE(env.ui.events.empty());
}

TEST(UnpackFirmwareFolder, SettingsChooseTheBlocksAndTheFolderIsOpened) {
  EngineEnv env;
  InstallExt4Fakes(env, "EXT_ATTR");
  fs::path w = env.Work();
  for (const char* f : {"system.img", "vendor_a.img", "product.img", "odm.img"}) WriteExt4Marked(w / f);
  env.settings.SetInt("Unpack_System", 0);
  env.settings.SetInt("Unpack_Product", 0);

  UnpackFirmwareFolder(env.ctx, w.string());

  EXPECT_EQ(ExtractedImages(env), (std::vector<std::string>{"/vendor_a.img", "/odm.img"}));
  EXPECT_EQ(env.ui.events, (std::vector<std::string>{"Open:" + w.string()}));
}

TEST(UnpackFirmwareFolder, NothingEnabledDoesNothing) {
  EngineEnv env;
  InstallExt4Fakes(env, "EXT_ATTR");
  fs::path w = env.Work();
  WriteExt4Marked(w / "system.img");
  for (const char* k : {"Unpack_System", "Unpack_Vendor", "Unpack_Product", "Unpack_Odm", "Open_Folder"})
    env.settings.SetInt(k, 0);
  UnpackFirmwareFolder(env.ctx, w.string());
  EXPECT_TRUE(env.Lines().empty());
  EXPECT_FALSE(fs::exists(env.tmp / "calls.log"));
  EXPECT_TRUE(env.ui.events.empty());
}

TEST(UnpackFirmwareFolder, NamesDifferingInLetterCaseAreFoundInTheirOwnSpelling) {
  EngineEnv env;
  env.settings.SetInt("Open_Folder", 0);
  InstallExt4Fakes(env, "EXT_ATTR");
  fs::path w = env.Work();
  WriteExt4Marked(w / "SYSTEM.IMG");
  WriteExt4Marked(w / "IMAGE/Vendor.img");
  UnpackFirmwareFolder(env.ctx, w.string());
  EXPECT_EQ(ExtractedImages(env), (std::vector<std::string>{"/SYSTEM.IMG", "/IMAGE/Vendor.img"}));
  EXPECT_TRUE(fs::is_directory(w / "SYSTEM"));
}
