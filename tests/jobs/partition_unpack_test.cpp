#include <gtest/gtest.h>

#include "fake_tools.h"
#include "jobs.h"
#include "workspace.h"

using namespace orvex;
using namespace orvex::test;

namespace {

std::vector<std::string> Expected(std::initializer_list<std::string> l) { return l; }

}  // namespace

TEST(UnpackPartitionImage, RawExt4WithJournal) {
  EngineEnv env;
  InstallExt4Fakes(env, "HAS_JOURNAL EXT_ATTR RESIZE_INODE DIR_INDEX FILETYPE");
  fs::path w = env.Work();
  WriteExt4Marked(w / "system.img");
  WriteFile(w / "system/stale/old.txt", "from an earlier unpack");

  UnpackPartitionImage(env.ctx, (w / "system.img").string());

  const std::string freeText = FormatSize(8388608 - FolderSize((w / "system").string()));
  EXPECT_EQ(env.Lines(), Expected({
                             "Обнаружена папка с распакованным образом раздела, удаляем! Подождите...",
                             "Код выхода rmdir: 0  (Выполнено успешно!)",
                             "Выполняется распаковка образа раздела: system.img |Raw| Подождите...",
                             "",
                             "Распаковка EXT4",
                             "Подождите...",
                             "",
                             "extracted 1 file",
                             "",
                             "Код выхода ImgExtractor: 0  (Выполнено успешно!)",
                             ">< !!! Свободного места: " + freeText,
                             "Действие по распаковки образа раздела: system.img завершено.",
                             "",
                         }));
  EXPECT_EQ(ReadFile(env.tmp / "calls.log"), "== imgextractor_\n" + w.string() + "\n<system.img>\n<-s>\n" +
                                                 "== imgextractor\n" + w.string() + "\n<system.img>\n<system>\n");
  EXPECT_FALSE(fs::exists(w / "system/stale"));
  EXPECT_EQ(ReadFile(w / "system/config/system_info.txt"),
            "EXT4 superblock info:\nVolume name: system\n"
            "FS compatible features: HAS_JOURNAL EXT_ATTR RESIZE_INODE DIR_INDEX FILETYPE\n");
  EXPECT_EQ(ReadFile(w / "system/config/system_fs_options.txt"),
            "FileName: system.img\r\nSize: 8388608\r\nType: Raw\r\nJournal: Yes\r\nFolderName: system\r\n"
            "Label: system\r\n");
  EXPECT_EQ(env.recent.List(), (std::vector<std::string>{(w / "system.img").string(), (w / "system").string()}));
  EXPECT_EQ(env.log.errorCount, 0);
  EXPECT_TRUE(fs::exists(w / "system.img"));
}

TEST(UnpackPartitionImage, FeatureNamesAreComparedWithCase) {
  EngineEnv env;
  InstallExt4Fakes(env, "has_journal ext_attr resize_inode");
  fs::path w = env.Work();
  WriteExt4Marked(w / "odm.img");
  UnpackPartitionImage(env.ctx, (w / "odm.img").string());
  EXPECT_NE(ReadFile(w / "odm/config/odm_fs_options.txt").find("Journal: No\r\n"), std::string::npos);
}

TEST(UnpackPartitionImage, SparseInputIsConvertedAndGivenBack) {
  for (int notDelete : {0, 1}) {
    SCOPED_TRACE(notDelete);
    EngineEnv env;
    env.settings.SetInt("Not_Delete", notDelete);
    InstallExt4Fakes(env, "HAS_JOURNAL EXT_ATTR RESIZE_INODE");
    env.FakeTool("simg2img", RecordCall(env, "simg2img") + MakeExt4Marked("\"$2\""));
    fs::path w = env.Work();
    WriteSparseMarked(w / "vendor.img");
    const std::string sparseBytes = ReadFile(w / "vendor.img");

    UnpackPartitionImage(env.ctx, (w / "vendor.img").string());

    auto lines = env.Lines();
    ASSERT_GE(lines.size(), 7u);
    EXPECT_EQ(lines[0], "Выполняется распаковка образа раздела: vendor.img |Sparse| Подождите...");
    EXPECT_EQ(lines[2], "Конвертируем vendor.img |Sparse| в |Raw|");
    EXPECT_EQ(lines[3], "Подождите...");
    EXPECT_EQ(lines[4], "Код выхода simg2img: 0  (Выполнено успешно!)");
    EXPECT_EQ(lines[5], "");
    std::string calls = ReadFile(env.tmp / "calls.log");
    EXPECT_EQ(calls.rfind("== simg2img\n" + w.string() + "\n<vendor_sparse.img>\n<vendor.img>\n", 0), 0u) << calls;
    EXPECT_EQ(ReadFile(w / "vendor.img"), sparseBytes);
    EXPECT_FALSE(fs::exists(w / "vendor_sparse.img"));
    EXPECT_EQ(fs::exists(w / "vendor_raw.img"), notDelete == 1);
    EXPECT_NE(ReadFile(w / "vendor/config/vendor_fs_options.txt").find("Type: Sparse\r\n"), std::string::npos);
  }
}

TEST(UnpackPartitionImage, UpperCaseNameKeepsItsSpelling) {
  EngineEnv env;
  InstallExt4Fakes(env, "");
  fs::path w = env.Work();
  WriteExt4Marked(w / "SYSTEM.IMG");
  UnpackPartitionImage(env.ctx, (w / "SYSTEM.IMG").string());
  EXPECT_TRUE(fs::is_directory(w / "SYSTEM/SYSTEM"));
  EXPECT_NE(ReadFile(env.tmp / "calls.log").find("<SYSTEM.IMG>\n<SYSTEM>\n"), std::string::npos);
  EXPECT_TRUE(fs::exists(w / "SYSTEM.IMG"));
  EXPECT_NE(ReadFile(w / "SYSTEM/config/SYSTEM_fs_options.txt").find("FileName: SYSTEM.IMG\r\n"), std::string::npos);
}

TEST(UnpackPartitionImage, FailedExtractionRemovesThePartialFolder) {
  EngineEnv env;
  InstallExt4Fakes(env, "HAS_JOURNAL EXT_ATTR RESIZE_INODE", 1);
  fs::path w = env.Work();
  WriteExt4Marked(w / "product.img");
  UnpackPartitionImage(env.ctx, (w / "product.img").string());
  EXPECT_FALSE(fs::exists(w / "product"));
  EXPECT_TRUE(fs::exists(w / "product.img"));
  EXPECT_EQ(env.log.errorCount, 1);
  auto lines = env.Lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Код выхода ImgExtractor: 1  (Ошибка выполнения!)"), lines.end());
  EXPECT_EQ(std::find_if(lines.begin(), lines.end(), [](const std::string& l) { return l.find("Свободного") != std::string::npos; }),
            lines.end());
  EXPECT_TRUE(env.recent.List().empty());
}

TEST(UnpackPartitionImage, FailedErofsExtractionRemovesThePartialFolder) {
  EngineEnv env;
  env.FakeTool("erofs/dump.erofs", "echo 'Filesystem magic number: 0xE2E1F5E0'\n");
  env.FakeTool("erofs/extract.erofs", "mkdir -p vendor/vendor/etc\necho half > vendor/vendor/etc/a.txt\n"
                                      "echo 'extract.erofs: error: corrupt inode' >&2\nexit 1\n");
  fs::path w = env.Work();
  WriteErofsMarked(w / "vendor.img");
  UnpackPartitionImage(env.ctx, (w / "vendor.img").string());
  EXPECT_FALSE(fs::exists(w / "vendor"));
  EXPECT_TRUE(fs::exists(w / "vendor.img"));
  EXPECT_EQ(env.log.errorCount, 1);
  EXPECT_TRUE(env.recent.List().empty());
}

TEST(UnpackPartitionImage, MissingToolFailsLoudlyWithoutHanging) {
  EngineEnv env;  // an empty tool folder
  fs::path w = env.Work();
  WriteExt4Marked(w / "system.img");
  UnpackPartitionImage(env.ctx, (w / "system.img").string());
  EXPECT_EQ(env.log.errorCount, 1);
  EXPECT_NE(env.log.Text().find("not found"), std::string::npos);
  EXPECT_NE(env.log.Text().find("Код выхода ImgExtractor: 127  (Ошибка выполнения!)"), std::string::npos);
}

TEST(UnpackPartitionImage, MissingOrEmptyInput) {
  EngineEnv env;
  fs::path w = env.Work();
  WriteFile(w / "empty.img", "");
  UnpackPartitionImage(env.ctx, (w / "empty.img").string());
  UnpackPartitionImage(env.ctx, (w / "gone.img").string());
  EXPECT_EQ(env.Lines(), Expected({"Файл: empty.img не может быть распакован!", "", "Файл: gone.img не может быть распакован!", ""}));
  EXPECT_TRUE(fs::is_directory(w / "gone/config"));
}

TEST(UnpackPartitionImage, TransferListIntermediatesAreCleared) {
  EngineEnv env;
  InstallExt4Fakes(env, "");
  fs::path w = env.Work();
  WriteExt4Marked(w / "system.img");
  WriteFile(w / "system.new.dat", "blocks");
  UnpackPartitionImage(env.ctx, (w / "system.img").string());
  EXPECT_FALSE(fs::exists(w / "system.img"));
  EXPECT_TRUE(fs::exists(w / "system.new.dat"));

  EngineEnv keep;
  keep.settings.SetInt("Not_Delete", 1);
  InstallExt4Fakes(keep, "");
  fs::path k = keep.Work();
  WriteExt4Marked(k / "system.img");
  WriteFile(k / "system.new.dat", "blocks");
  WriteFile(k / "system.new.dat.br", "compressed");
  UnpackPartitionImage(keep.ctx, (k / "system.img").string());
  EXPECT_TRUE(fs::exists(k / "system.img"));
  EXPECT_TRUE(fs::exists(k / "system.new.dat"));
}

TEST(UnpackPartitionImage, ErofsFilesAreRenamedAndTheOptionsRewritten) {
  EngineEnv env;
  env.FakeTool("erofs/dump.erofs", RecordCall(env, "dump.erofs") + "echo 'Filesystem magic number: 0xE2E1F5E0'\n");
  env.FakeTool("erofs/extract.erofs",
               RecordCall(env, "extract.erofs") +
                   "mkdir -p vendor/vendor/etc vendor/config\n"
                   "echo data > vendor/vendor/etc/a.txt\n"
                   "echo 'vendor 0 0 0755' > vendor/config/vendor_fs_config\n"
                   "echo '/vendor u:object_r:vendor_file:s0' > vendor/config/vendor_file_contexts\n"
                   "printf 'Name: vendor_REPACK\\r\\nmkfs.erofs options: -zlz4hc -T0 "
                   "--file-contexts=\"vendor/config/vendor_file_contexts\" \"vendor_repack.img\" \"vendor/vendor\"' "
                   "> vendor/config/vendor_fs_options\n"
                   "echo 'extracting'\n");
  fs::path w = env.Work();
  WriteErofsMarked(w / "vendor.fex");

  UnpackPartitionImage(env.ctx, (w / "vendor.fex").string());

  EXPECT_EQ(ReadFile(env.tmp / "calls.log"),
            "== dump.erofs\n" + w.string() + "\n<-s>\n<vendor.fex>\n== extract.erofs\n" + w.string() +
                "\n<-i>\n<vendor.fex>\n<-x>\n<-f>\n<-o>\n<vendor>\n");
  EXPECT_EQ(ReadFile(w / "vendor/config/vendor_info.txt"), "Filesystem magic number: 0xE2E1F5E0\n");
  EXPECT_TRUE(fs::exists(w / "vendor/config/vendor_fs_config.txt"));
  EXPECT_TRUE(fs::exists(w / "vendor/config/vendor_file_contexts.txt"));
  EXPECT_EQ(ReadFile(w / "vendor/config/vendor_fs_options.txt"),
            "Type: Raw\r\nExpansion: fex\r\nName: vendor\r\nmkfs.erofs options: -zlz4hc -T0 "
            "--file-contexts=\"vendor/config/vendor_file_contexts.txt\" \"vendor.fex\" \"vendor/vendor\"");
  auto lines = env.Lines();
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 5),
            Expected({"Выполняется распаковка образа раздела: vendor.fex |Raw| Подождите...", "", "Распаковка erofs",
                      "Подождите...", ""}));
  // The extractor's standard output is discarded by the interpreter.
  EXPECT_EQ(lines[5], "Код выхода Extract erofs: 0  (Выполнено успешно!)");
  EXPECT_EQ(env.recent.List().size(), 2u);
}

TEST(UnpackPartitionImage, HostileFileNameRunsNothing) {
  EngineEnv env;
  InstallExt4Fakes(env, "");
  fs::path w = env.Work();
  // The tools run in the image's folder, so a relative marker would land there.
  const std::string name = "sys $(touch pwned) `touch pwned` 'q' \"d\" ; touch pwned; Система.img";
  WriteExt4Marked(w / name);
  UnpackPartitionImage(env.ctx, (w / name).string());
  EXPECT_FALSE(fs::exists(w / "pwned"));
  const std::string stem = name.substr(0, name.size() - 4);
  EXPECT_NE(ReadFile(env.tmp / "calls.log").find("<" + name + ">\n<" + stem + ">\n"), std::string::npos);
  EXPECT_TRUE(fs::exists(w / stem / "config" / (stem + "_fs_options.txt")));
}
