// The firmware container jobs against fake vendor tools: command lines, log lines and what is
// left on disk for every kind of container and every branch of the settings.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "fake_tools.h"
#include "jobs.h"
#include "text.h"
#include "workspace.h"

using namespace orvex;
using namespace orvex::test;

namespace {

std::string Call(const std::string& tool, const fs::path& wd, std::initializer_list<std::string> args) {
  std::string s = "== " + tool + "\n" + wd.string() + "\n";
  for (const auto& a : args) s += "<" + a + ">\n";
  return s;
}

// A file that DetectImageKind takes for the given container.
void WriteContainer(const fs::path& p, const std::string& kind) {
  std::string b(4096, '\0');
  b.replace(0, 4, "CRC!");  // the header checksum: the zeros of a raw image would come first
  if (kind == "Amlogic") b.replace(8, 4, "\x56\x19\xB5\x27");
  if (kind == "AmlLogo") b.replace(8, 8, "AML_RES!");
  if (kind == "Rockchip") b.replace(0, 5, "RKFWf");
  if (kind == "Allwinner") b.replace(0, 5, "IMAGE");
  if (kind == "Pac") b.replace(0, 4, std::string("\x42\x00\x50\x00", 4));
  if (kind == "BootRec") b.replace(0, 8, "ANDROID!");
  WriteFile(p, b);
}

const std::string kOk = "  (Выполнено успешно!)", kFail = "  (Ошибка выполнения!)";

bool RecentHas(const EngineEnv& env, const fs::path& p) {
  for (const auto& e : env.recent.List())
    if (e == p.string()) return true;
  return false;
}

}  // namespace

TEST(UnpackFirmwareContainer, AmlogicChecksOldFolderUnpacksAndHandsThePartitionsOn) {
  EngineEnv env;
  env.settings.SetInt("Open_Folder", 0);
  InstallExt4Fakes(env, "EXT_ATTR");
  env.FakeTool("md5sum", RecordCall(env, "md5sum"));
  env.FakeTool("AmlImagePack", RecordCall(env, "AmlImagePack") + "test -d \"$3\" || exit 9\n" + MakeExt4Marked("\"$3/system.PARTITION\"") +
                                   "printf '[LIST_NORMAL]\\n' > \"$3/image.cfg\"\n");
  const fs::path w = env.Work();
  WriteContainer(w / "fw.img", "Amlogic");
  WriteFile(w / "fw.md5", "0123  fw.img\n");
  WriteFile(w / "fw/stale.txt", "from an earlier unpack");

  UnpackFirmwareContainer(env.ctx, (w / "fw.img").string());

  EXPECT_EQ(Calls(env, "md5sum"), std::vector<std::string>{Call("md5sum", w, {"-c", "fw.md5"})});
  EXPECT_EQ(Calls(env, "AmlImagePack"), std::vector<std::string>{Call("AmlImagePack", w, {"-d", "fw.img", "fw"})});
  EXPECT_FALSE(fs::exists(w / "fw/stale.txt"));
  EXPECT_TRUE(fs::exists(w / "fw/system/config/system_fs_options.txt"));  // the partition was unpacked too
  auto l = env.Lines();
  ASSERT_GE(l.size(), 8u);
  EXPECT_EQ(l[0], "Проверка контрольной суммы:md5 Подождите...");
  EXPECT_EQ(l[1], "Код выхода md5sum: 0" + kOk);
  EXPECT_EQ(l[2], "Обнаружена папка с распакованным образом прошивки, удаляем! Подождите...");
  EXPECT_EQ(l[3], "Код выхода rmdir: 0" + kOk);
  EXPECT_EQ(l[4], "Выполняется распаковка образа прошивки: fw.img |CPU-Amlogic| Подождите...");
  EXPECT_EQ(l[5], "Код выхода AmlImagePack: 0" + kOk);
  EXPECT_EQ(l[6], "Действие по распаковки прошивки: fw.img завершено.");
  EXPECT_EQ(l[7], "");
  EXPECT_TRUE(RecentHas(env, w / "fw"));
  EXPECT_TRUE(RecentHas(env, w / "fw.img"));
  EXPECT_EQ(env.log.errorCount, 0);
}

TEST(UnpackFirmwareContainer, ChecksumMismatchStopsBeforeAnythingIsTouched) {
  EngineEnv env;
  env.FakeTool("md5sum", RecordCall(env, "md5sum") + "echo 'fw.img: FAILED'\nexit 1\n");
  env.FakeTool("AmlImagePack", RecordCall(env, "AmlImagePack"));
  const fs::path w = env.Work();
  WriteContainer(w / "fw.img", "Amlogic");
  WriteFile(w / "fw.md5", "0123  fw.img\n");
  WriteFile(w / "fw/stale.txt", "kept");

  UnpackFirmwareContainer(env.ctx, (w / "fw.img").string());

  EXPECT_EQ(env.Lines(), (std::vector<std::string>{"Проверка контрольной суммы:md5 Подождите...", "fw.img: FAILED",
                                                   "", "Код выхода md5sum: 1" + kFail}));
  EXPECT_EQ(ReadFile(w / "fw/stale.txt"), "kept");
  EXPECT_TRUE(Calls(env, "AmlImagePack").empty());
  EXPECT_TRUE(env.recent.List().empty());
}

TEST(UnpackFirmwareContainer, SuperImageInsideTheImageFolderGoesToTheSuperUnpack) {
  EngineEnv env;
  InstallExt4Fakes(env, "EXT_ATTR");
  env.FakeTool("AmlImagePack", RecordCall(env, "AmlImagePack") + "mkdir -p \"$3/Image\"\n" +
                                   MakeExt4Marked("\"$3/Image/super.img\"") + MakeExt4Marked("\"$3/system.img\""));
  const fs::path w = env.Work();
  WriteContainer(w / "fw.img", "Amlogic");
  WriteFile(w / "fw.md5", "");  // an empty hash file is no hash file

  UnpackFirmwareContainer(env.ctx, (w / "fw.img").string());

  EXPECT_TRUE(Calls(env, "md5sum").empty());
  EXPECT_TRUE(Calls(env, "imgextractor").empty());  // not the firmware-folder unpack
  auto l = env.Lines();
  auto closing = std::find(l.begin(), l.end(), "Действие по распаковки прошивки: fw.img завершено.");
  ASSERT_NE(closing, l.end());
  bool superSeen = false;
  for (auto it = closing; it != l.end(); ++it) superSeen |= it->find("super.img") != std::string::npos;
  EXPECT_TRUE(superSeen);

  // With Unpack_Super 0 the same folder goes to the firmware-folder unpack instead.
  env.log.Replace("");
  env.settings.SetInt("Unpack_Super", 0);
  env.settings.SetInt("Open_Folder", 0);
  UnpackFirmwareContainer(env.ctx, (w / "fw.img").string());
  ASSERT_EQ(Calls(env, "imgextractor").size(), 1u);
  EXPECT_NE(Calls(env, "imgextractor")[0].find("<system.img>"), std::string::npos);
}

TEST(UnpackFirmwareContainer, RockchipRetriesWithTheOtherBuildAndKeepsTheSwitch) {
  EngineEnv env;
  env.settings.SetInt("Open_Folder", 0);
  env.FakeTool("imgRePackerRK106", RecordCall(env, "imgRePackerRK106") + "echo 'unsupported'\nexit 3\n");
  env.FakeTool("imgRePackerRK107", RecordCall(env, "imgRePackerRK107") + "mkdir -p \"$1.dump/Image\"\n"
                                                                           "echo data > \"$1.dump/Image/parameter.txt\"\n");
  const fs::path w = env.Work();
  WriteContainer(w / "update.img", "Rockchip");

  UnpackFirmwareContainer(env.ctx, (w / "update.img").string());

  EXPECT_EQ(Calls(env, "imgRePackerRK106"), std::vector<std::string>{Call("imgRePackerRK106", w, {"update.img"})});
  EXPECT_EQ(Calls(env, "imgRePackerRK107"), std::vector<std::string>{Call("imgRePackerRK107", w, {"update.img"})});
  EXPECT_EQ(env.settings.Text("Ver"), "107");
  EXPECT_TRUE(HasLine(env, "Выполняется распаковка образа прошивки: update.img |CPU-Rockchip| Подождите..."));
  EXPECT_TRUE(HasLine(env, "Попытка распаковки другой версией: imgRepackerRK v.107 Подождите..."));
  EXPECT_TRUE(HasLine(env, "Код выхода ImgRePackerRK: 0" + kOk));
  EXPECT_TRUE(fs::exists(w / "update.img.dump/Image/parameter.txt"));
  EXPECT_TRUE(RecentHas(env, w / "update.img.dump"));
  EXPECT_EQ(env.log.errorCount, 0);
}

TEST(UnpackFirmwareContainer, MissingVendorToolFailsAsAStepAndLeavesNoFolder) {
  for (const char* kind : {"Allwinner", "Rockchip", "Amlogic"}) {
    SCOPED_TRACE(kind);
    EngineEnv env;
    const fs::path w = env.Work();
    WriteContainer(w / "fw.img", kind);
    UnpackFirmwareContainer(env.ctx, (w / "fw.img").string());
    bool failedStep = false;
    for (const auto& line : env.Lines())
      failedStep |= line.rfind("Код выхода ", 0) == 0 && line.find(kFail) != std::string::npos;
    EXPECT_TRUE(failedStep);
    EXPECT_GE(env.log.errorCount, 1);
    EXPECT_FALSE(fs::exists(w / "fw")) << "the empty output folder stays";
    EXPECT_FALSE(fs::exists(w / "fw.img.dump"));
    EXPECT_TRUE(env.recent.List().empty());
    EXPECT_TRUE(HasLine(env, "Действие по распаковки прошивки: fw.img завершено."));
  }
}

TEST(UnpackSubImages, RepackersGetFullPathsAndRecordTheDumpFolder) {
  EngineEnv env;
  env.settings.SetText("Ver", "107");
  env.FakeTool("imgRePackerRK107", RecordCall(env, "imgRePackerRK107") + "mkdir \"$1.dump\"\n");
  env.FakeTool("imgRePacker", RecordCall(env, "imgRePacker") + "exit 2\n");
  const fs::path w = env.Work();
  WriteContainer(w / "resource.img", "BootRec");
  WriteContainer(w / "boot.fex", "BootRec");

  UnpackRockchipImage(env.ctx, (w / "resource.img").string());
  UnpackAllwinnerImage(env.ctx, (w / "boot.fex").string());

  const fs::path cwd = fs::current_path();
  EXPECT_EQ(Calls(env, "imgRePackerRK107"), std::vector<std::string>{Call("imgRePackerRK107", cwd, {(w / "resource.img").string()})});
  EXPECT_EQ(Calls(env, "imgRePacker"), std::vector<std::string>{Call("imgRePacker", cwd, {(w / "boot.fex").string()})});
  EXPECT_EQ(env.Lines(), (std::vector<std::string>{
                             "Выполняется распаковка образа раздела: resource.img Подождите...",
                             "Код выхода ImgRePackerRK: 0" + kOk,
                             "Действие по распаковки образа раздела: resource.img завершено.", "",
                             "Выполняется распаковка образа раздела: boot.fex Подождите...",
                             "Код выхода ImgRePacker: 2" + kFail,
                             "Действие по распаковки образа раздела: boot.fex завершено.", ""}));
  EXPECT_TRUE(RecentHas(env, w / "resource.img.dump"));
  EXPECT_FALSE(RecentHas(env, w / "boot.fex.dump"));
  EXPECT_FALSE(RecentHas(env, w / "boot.fex"));
}

TEST(UnpackAmlLogoImage, EmptiesTheFolderAndRunsImgpack) {
  EngineEnv env;
  env.FakeTool("imgpack", RecordCall(env, "imgpack") + "echo pic > \"$3/bootup.bmp\"\n");
  const fs::path w = env.Work();
  WriteContainer(w / "logo.PARTITION", "AmlLogo");
  WriteFile(w / "logo/old.bmp", "old");

  UnpackAmlLogoImage(env.ctx, (w / "logo.PARTITION").string());

  EXPECT_EQ(Calls(env, "imgpack"), std::vector<std::string>{Call("imgpack", w, {"-d", "logo.PARTITION", "logo"})});
  EXPECT_FALSE(fs::exists(w / "logo/old.bmp"));
  EXPECT_TRUE(fs::exists(w / "logo/bootup.bmp"));
  auto l = env.Lines();
  ASSERT_EQ(l.size(), 6u);
  EXPECT_EQ(l[0], "Обнаружена папка с распакованным образом раздела, удаляем! Подождите...");
  EXPECT_EQ(l[2], "Выполняется распаковка образа раздела: logo.PARTITION Подождите...");
  EXPECT_EQ(l[3], "Код выхода ImgPack: 0" + kOk);
  EXPECT_EQ(l[4], "Действие по распаковки образа раздела: logo.PARTITION завершено.");
  EXPECT_TRUE(RecentHas(env, w / "logo"));
}

TEST(UnpackPacFirmware, EmptyExtractionLeavesNothingAndAFilledOneIsOpened) {
  EngineEnv env;
  env.FakeTool("PacExtractor", RecordCall(env, "PacExtractor") + "mkdir -p \"$2\"\n");
  const fs::path w = env.Work();
  WriteContainer(w / "phone.pac", "Pac");
  UnpackPacFirmware(env.ctx, (w / "phone.pac").string());
  EXPECT_EQ(Calls(env, "PacExtractor"),
            std::vector<std::string>{Call("PacExtractor", w, {"phone.pac", (w / "phone").string()})});
  EXPECT_FALSE(fs::exists(w / "phone"));
  EXPECT_TRUE(env.recent.List().empty());
  EXPECT_TRUE(env.ui.events.empty());

  env.FakeTool("PacExtractor", "mkdir -p \"$2\"; echo x > \"$2/system.img\"\n");
  env.log.Replace("");
  UnpackPacFirmware(env.ctx, (w / "phone.pac").string());
  UnpackPacFirmware(env.ctx, (w / "phone.pac").string());  // the second run removes the first folder
  EXPECT_TRUE(HasLine(env, "Обнаружена папка с распакованным образом прошивки, удаляем! Подождите..."));
  EXPECT_TRUE(HasLine(env, "Код выхода PacExtractor: 0" + kOk));
  EXPECT_TRUE(RecentHas(env, w / "phone.pac"));
  EXPECT_EQ(env.ui.events, (std::vector<std::string>{"Open:" + (w / "phone").string(), "Open:" + (w / "phone").string()}));
}

// ----- packing -----

namespace {

void InstallAmlPackFake(const EngineEnv& env, int code = 0) {
  env.FakeTool("AmlImagePack", RecordCall(env, "AmlImagePack") + "echo built > \"$4\"\nexit " + std::to_string(code) + "\n");
}

void MakeAmlFolder(const fs::path& f) { WriteFile(f / "image.cfg", "[LIST_NORMAL]\nfile=\"DDR.USB\" main_type=\"USB\" sub_type=\"DDR\"\n"); }

}  // namespace

TEST(PackFirmwareContainer, AmlogicWithIndexHashArchiveAndTrash) {
  EngineEnv env;
  InstallAmlPackFake(env);
  env.FakeTool("md5sum", RecordCall(env, "md5sum") + "echo \"d41d8cd98f00b204e9800998ecf8427e  $2\"\n");
  env.FakeTool("7z", RecordCall(env, "7z") + "echo archive > \"$2\"\n");
  const fs::path w = env.Work();
  MakeAmlFolder(w / "fw");
  WriteFile(w / "fw.img", "first");
  WriteFile(w / "fw(1).img", "second");
  for (auto [k, v] : {std::pair{"Index_Add", 1}, {"No_Org", 0}, {"Get_Hash", 1}, {"Seven_Pack", 1}, {"Delete_Image", 1}})
    env.settings.SetInt(k, v);
  env.settings.SetText("Size_Part", "700");
  env.settings.SetText("Seven_Level", "5");
  const std::string trash = (env.tmp / "xdg").string();
  setenv("XDG_DATA_HOME", trash.c_str(), 1);

  PackFirmwareContainer(env.ctx, (w / "fw").string());
  unsetenv("XDG_DATA_HOME");

  EXPECT_EQ(Calls(env, "AmlImagePack"),
            std::vector<std::string>{Call("AmlImagePack", w, {"-r", "fw/image.cfg", "fw", "fw(2).img"})});
  EXPECT_EQ(Calls(env, "md5sum"), std::vector<std::string>{Call("md5sum", w, {"-t", "fw(2).img"})});
  EXPECT_EQ(Calls(env, "7z"),
            std::vector<std::string>{Call("7z", w, {"a", "fw(2).7z", "fw(2).img", "fw(2).md5", "-v700m", "-mx5", "-y"})});
  EXPECT_FALSE(fs::exists(w / "fw.org"));  // the new name did not exist yet
  EXPECT_FALSE(fs::exists(w / "fw(2).img"));
  EXPECT_FALSE(fs::exists(w / "fw(2).md5"));
  EXPECT_TRUE(fs::exists(w / "fw(2).7z"));
  EXPECT_EQ(ReadFile(env.tmp / "xdg/Trash/files/fw(2).img"), "built\n");
  EXPECT_EQ(ReadFile(w / "fw.img"), "first");
  EXPECT_EQ(env.Lines(), (std::vector<std::string>{
                             "Выполняется сборка образа прошивки: fw(2).img Подождите...",
                             "Код выхода AmlImagePack: 0" + kOk,
                             "Действие по сборке прошивки: fw(2).img завершено.", "",
                             "Создание контрольной суммы:md5 Подождите...",
                             "MD5 Hash: d41d8cd98f00b204e9800998ecf8427e  fw(2).img",
                             "Код выхода md5sum: 0" + kOk, "",
                             "Создание архива: fw(2).7z |Уровень сжатия:5| Подождите...",
                             "Код выхода 7z: 0" + kOk,
                             "Удаляем файл образа прошивки: fw(2).img в корзину.", "Успех"}));
  EXPECT_TRUE(RecentHas(env, w / "fw"));
}

TEST(PackFirmwareContainer, FirstFoundCopyAndStaleHashAndNoVolumeSwitch) {
  EngineEnv env;
  InstallAmlPackFake(env);
  env.FakeTool("7z", RecordCall(env, "7z"));
  const fs::path w = env.Work();
  MakeAmlFolder(w / "fw");
  WriteFile(w / "fw.img", "original");
  WriteFile(w / "fw.md5", "stale");
  env.settings.SetInt("No_Org", 0);
  env.settings.SetInt("Seven_Pack", 1);
  env.settings.SetText("Size_Part", "");

  PackFirmwareContainer(env.ctx, (w / "fw").string());

  EXPECT_EQ(ReadFile(w / "fw.org"), "original");
  EXPECT_EQ(ReadFile(w / "fw.img"), "built\n");
  EXPECT_FALSE(fs::exists(w / "fw.md5"));  // Get_Hash 0: the stale hash goes
  EXPECT_EQ(Calls(env, "7z"), std::vector<std::string>{Call("7z", w, {"a", "fw.7z", "fw.img", "-mx0", "-y"})});
  EXPECT_EQ(env.Lines()[0], "Создаётся резервная копия оригинала: fw.img => fw.org");
  EXPECT_TRUE(fs::exists(w / "fw.img"));  // Delete_Image 0
}

TEST(PackFirmwareContainer, FailedBuildEndsAfterTheClosingLine) {
  EngineEnv env;
  InstallAmlPackFake(env, 1);
  env.FakeTool("md5sum", RecordCall(env, "md5sum"));
  const fs::path w = env.Work();
  MakeAmlFolder(w / "fw");
  WriteFile(w / "fw.md5", "stale");
  env.settings.SetInt("Get_Hash", 1);
  env.settings.SetInt("Seven_Pack", 1);
  PackFirmwareContainer(env.ctx, (w / "fw").string());
  EXPECT_EQ(env.Lines(), (std::vector<std::string>{"Выполняется сборка образа прошивки: fw.img Подождите...",
                                                   "Код выхода AmlImagePack: 1" + kFail,
                                                   "Действие по сборке прошивки: fw.img завершено.", ""}));
  EXPECT_TRUE(Calls(env, "md5sum").empty());
  EXPECT_EQ(ReadFile(w / "fw.md5"), "stale");
  EXPECT_TRUE(env.recent.List().empty());
}

TEST(PackFirmwareContainer, VendorsFromTheListGroupsAndTheBurningTool) {
  EngineEnv env;
  env.FakeTool("imgRePackerRK106", RecordCall(env, "imgRePackerRK106"));
  env.FakeTool("imgRePacker", RecordCall(env, "imgRePacker"));
  InstallAmlPackFake(env);
  const fs::path marker = env.tmp / "usb_started";
  env.FakeTool("usbtool", "echo \"$1\" > " + ShQuote(marker.string()) + "\n");
  env.settings.SetInt("Index_Add", 1);
  env.settings.SetInt("Open_UsbTool", 1);
  env.settings.SetText("Path_UsbTool", (env.Bin() / "usbtool").string());
  const fs::path w = env.Work();
  WriteFile(w / "update.img.dump/image.cfg", "# packed by the repacker\n[RKFW]\nx=1\n[LIST_NORMAL]\n");
  WriteFile(w / "update.img", "old");
  WriteFile(w / "a13.img.dump/image.cfg", "[FILELIST]\n");
  WriteFile(w / "odd/image.cfg", "[SOMETHING]\n");

  PackFirmwareContainer(env.ctx, (w / "update.img.dump").string());
  PackFirmwareContainer(env.ctx, (w / "a13.img.dump").string());
  PackFirmwareContainer(env.ctx, (w / "odd").string());

  EXPECT_EQ(Calls(env, "imgRePackerRK106"), std::vector<std::string>{Call("imgRePackerRK106", w, {"update.img.dump"})});
  EXPECT_EQ(Calls(env, "imgRePacker"), std::vector<std::string>{Call("imgRePacker", w, {"a13.img.dump"})});
  EXPECT_TRUE(Calls(env, "AmlImagePack").empty());
  EXPECT_TRUE(HasLine(env, "Выполняется сборка образа прошивки: update.img Подождите..."));
  EXPECT_TRUE(HasLine(env, "Код выхода ImgRePacker: 0" + kOk));
  EXPECT_TRUE(HasLine(env, "Действие по сборке прошивки: odd.img завершено."));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(fs::exists(marker)) << "the burning tool is for Amlogic images only";

  MakeAmlFolder(w / "box");
  PackFirmwareContainer(env.ctx, (w / "box").string());
  for (int i = 0; i < 50 && !fs::exists(marker); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(ReadFile(marker), (w / "box.img").string() + "\n");
}

TEST(PackFirmwareContainer, PartitionFoldersOrTheSuperFolderArePackedFirst) {
  EngineEnv env;
  InstallAmlPackFake(env);
  env.FakeTool("fspatch", RecordCall(env, "fspatch"));
  env.FakeTool("make_ext4fs", RecordCall(env, "make_ext4fs") + "for a in \"$@\"; do prev=$out; out=$a; done\nhead -c 4096 /dev/zero > \"$prev\"\n");
  const fs::path w = env.Work();
  MakeAmlFolder(w / "fw");
  const fs::path sys = w / "fw/system";
  WriteFile(sys / "system/etc/hosts", "127.0.0.1\n");
  WriteFile(sys / "config/system_fs_options.txt", "Size: 8388608\r\nFolderName: system\r\n");
  WriteFile(w / "fw/system.PARTITION", "old system");
  WriteFile(w / "fw/super/odm/x", "a super folder with entries");

  env.settings.SetInt("Pack_Super", 0);
  PackFirmwareContainer(env.ctx, (w / "fw").string());
  ASSERT_EQ(Calls(env, "make_ext4fs").size(), 1u);
  EXPECT_EQ(Calls(env, "make_ext4fs")[0].find("== make_ext4fs\n" + sys.string() + "\n"), 0u);
  EXPECT_EQ(fs::file_size(w / "fw/system.PARTITION"), 4096u);
  auto l = env.Lines();
  auto build = std::find(l.begin(), l.end(), "Выполняется сборка образа прошивки: fw.img Подождите...");
  auto part = std::find(l.begin(), l.end(), "Действие по сборке образа раздела: system.PARTITION завершено.");
  EXPECT_LT(part, build);

  // With Pack_Super 1 the super folder is packed and the partition folders beside it are not.
  env.settings.SetInt("Pack_Super", 1);
  env.log.Replace("");
  PackFirmwareContainer(env.ctx, (w / "fw").string());
  EXPECT_EQ(Calls(env, "make_ext4fs").size(), 1u);
  EXPECT_EQ(Calls(env, "AmlImagePack").size(), 2u);
}

TEST(PackSubImages, RepackersGetTheFolderAndItsCfg) {
  EngineEnv env;
  env.FakeTool("imgRePackerRK106", RecordCall(env, "imgRePackerRK106"));
  env.FakeTool("imgRePacker", RecordCall(env, "imgRePacker") + "exit 1\n");
  const fs::path w = env.Work();
  fs::create_directories(w / "resource.img.dump");
  fs::create_directories(w / "boot.fex.dump");
  PackRockchipImage(env.ctx, (w / "resource.img.dump").string());
  PackAllwinnerImage(env.ctx, (w / "boot.fex.dump").string());
  const fs::path cwd = fs::current_path();
  EXPECT_EQ(Calls(env, "imgRePackerRK106"),
            std::vector<std::string>{Call("imgRePackerRK106", cwd, {(w / "resource.img.dump").string(), (w / "resource.img.cfg").string()})});
  EXPECT_EQ(Calls(env, "imgRePacker"),
            std::vector<std::string>{Call("imgRePacker", cwd, {(w / "boot.fex.dump").string(), (w / "boot.fex.cfg").string()})});
  EXPECT_EQ(env.Lines(), (std::vector<std::string>{"Выполняется сборка образа раздела: resource.img Подождите...",
                                                   "Код выхода ImgRePackerRK: 0" + kOk,
                                                   "Действие по сборке образа раздела: resource.img завершено.", "",
                                                   "Выполняется сборка образа раздела: boot.fex Подождите...",
                                                   "Код выхода ImgRePacker: 1" + kFail,
                                                   "Действие по сборке образа раздела: boot.fex завершено.", ""}));
  EXPECT_TRUE(RecentHas(env, w / "resource.img.dump"));
  EXPECT_FALSE(RecentHas(env, w / "boot.fex.dump"));
}

TEST(PackAmlLogoImage, BackupsAroundTheBuildAndRestoreAfterAFailure) {
  EngineEnv env;
  env.settings.SetInt("No_Org", 0);
  env.FakeTool("imgpack", RecordCall(env, "imgpack") + "echo new > \"$3\"\n");
  const fs::path w = env.Work();
  WriteFile(w / "logo/bootup.bmp", "BM");
  WriteFile(w / "logo.PARTITION", "old logo");

  PackAmlLogoImage(env.ctx, (w / "logo").string());

  EXPECT_EQ(Calls(env, "imgpack"), std::vector<std::string>{Call("imgpack", w, {"-r", "logo", "logo.PARTITION"})});
  EXPECT_EQ(ReadFile(w / "logo.PARTITION"), "new\n");
  EXPECT_EQ(ReadFile(w / "logo.org"), "old logo");
  EXPECT_FALSE(fs::exists(w / "logo.bak"));  // No_Backup 1
  EXPECT_EQ(env.Lines(), (std::vector<std::string>{"Создаётся резервная копия оригинала: logo.PARTITION => logo.org", "Успех",
                                                   "Переименовываем logo.PARTITION в logo.bak", "Успех",
                                                   "Выполняется сборка образа раздела: logo.PARTITION Подождите...",
                                                   "Код выхода ImgPack: 0" + kOk,
                                                   "Действие по сборке образа раздела: logo.PARTITION завершено.", ""}));
  EXPECT_TRUE(RecentHas(env, w / "logo"));

  env.FakeTool("imgpack", "echo 'imgpack: no picture' >&2\nexit 1\n");
  env.log.Replace("");
  PackAmlLogoImage(env.ctx, (w / "logo").string());
  EXPECT_EQ(ReadFile(w / "logo.PARTITION"), "new\n");
  EXPECT_FALSE(fs::exists(w / "logo.bak"));
  EXPECT_TRUE(HasLine(env, "Переименовываем logo.bak в logo.PARTITION"));

  // Without a .PARTITION image the image is logo.img.
  fs::remove(w / "logo.PARTITION");
  env.FakeTool("imgpack", RecordCall(env, "imgpack") + "echo new > \"$3\"\n");
  PackAmlLogoImage(env.ctx, (w / "logo").string());
  EXPECT_EQ(ReadFile(w / "logo.img"), "new\n");
}
