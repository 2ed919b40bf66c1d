#include <gtest/gtest.h>

#include <regex>

#include "fake_tools.h"
#include "jobs.h"
#include "workspace.h"

using namespace orvex;
using namespace orvex::test;

namespace {

// A partition folder as the unpack leaves it: the tree, the config files and the options.
void MakeExt4Folder(const fs::path& folder, const std::string& options, const std::string& treeName = "") {
  std::string name = folder.filename().string();
  std::string tree = treeName.empty() ? name : treeName;
  WriteFile(folder / tree / "etc/file.txt", std::string(5000, 'x'));
  WriteFile(folder / "config" / (name + "_fs_config.txt"), name + " 0 0 0755\r\n");
  WriteFile(folder / "config" / (name + "_file_contexts.txt"), "/" + name + " u:object_r:system_file:s0\r\n");
  WriteFile(folder / "config" / (name + "_fs_options.txt"), options);
}

// make_ext4fs writes the image named by its second-last argument; `script` may fail first.
void InstallPackFakes(const EngineEnv& env, const std::string& makeBody = "") {
  env.FakeTool("fspatch", RecordCall(env, "fspatch"));
  env.FakeTool("make_ext4fs", RecordCall(env, "make_ext4fs") + makeBody +
                                  "for a in \"$@\"; do prev=$out; out=$a; done\n"
                                  "head -c 4096 /dev/zero > \"$prev\"\n");
  env.FakeTool("resize2fs/resize2fs", RecordCall(env, "resize2fs"));
}

std::string MaskTimestamp(std::string s) { return std::regex_replace(s, std::regex("-T>\n<[0-9]+>"), "-T>\n<TS>"); }

}  // namespace

TEST(PackPartitionImage, Ext4WithJournalBackupsAndExactCommandLine) {
  EngineEnv env;
  env.settings.SetInt("No_Org", 0);
  InstallPackFakes(env);
  fs::path w = env.Work();
  MakeExt4Folder(w / "vendor", "FileName: vendor.img\r\nSize: 67108864\r\nType: Raw\r\nJournal: Yes\r\nFolderName: vendor\r\n");
  WriteFile(w / "vendor.img", "old image");

  PackPartitionImage(env.ctx, (w / "vendor").string());

  auto make = Calls(env, "make_ext4fs");
  ASSERT_EQ(make.size(), 1u);
  EXPECT_EQ(MaskTimestamp(make[0]), "== make_ext4fs\n" + (w / "vendor").string() +
                                        "\n<-l>\n<67108864>\n<-j>\n<4096>\n<-i>\n<-J>\n<-T>\n<TS>\n<-L>\n<vendor>\n<-a>\n"
                                        "<vendor>\n<-S>\n<./config/vendor_file_contexts.txt>\n<-C>\n"
                                        "<./config/vendor_fs_config.txt>\n<../vendor.img>\n<./vendor>\n");
  EXPECT_EQ(Calls(env, "fspatch")[0], "== fspatch\n" + w.string() + "\n<vendor/vendor>\n<vendor/config/vendor_fs_config.txt>\n");
  EXPECT_TRUE(Calls(env, "resize2fs").empty());  // Expand_Size 1 outside a super folder: no shrink
  EXPECT_EQ(ReadFile(w / "vendor.org"), "old image");
  EXPECT_FALSE(fs::exists(w / "vendor.bak"));
  EXPECT_EQ(fs::file_size(w / "vendor.img"), 4096u);
  std::string sh = ReadFile(w / "vendor/config/vendor_pack_ext4.sh");
  EXPECT_TRUE(std::regex_match(sh, std::regex("make_ext4fs -l 67108864 -j 4096 -i -J -T [0-9]+ -L 'vendor' -a 'vendor' -S "
                                               "'./config/vendor_file_contexts.txt' -C './config/vendor_fs_config.txt' "
                                               "'../vendor.img' './vendor'")))
      << sh;
  auto lines = env.Lines();
  ASSERT_GE(lines.size(), 6u);
  EXPECT_EQ(lines[0], "Создаётся резервная копия оригинала: vendor.img => vendor.org");
  EXPECT_EQ(lines[1], "Успех");
  EXPECT_EQ(lines[2], "Переименовываем vendor.img в vendor.bak");
  EXPECT_EQ(lines[3], "Успех");
  EXPECT_EQ(lines[4], "Выполняется сборка образа раздела: vendor.img |Raw| Подождите...");
  EXPECT_TRUE(HasLine(env, "HAS_JOURNAL EXT_ATTR RESIZE_INODE"));
  EXPECT_TRUE(HasLine(env, "Код выхода make_ext4fs: 0  (Выполнено успешно!)"));
  EXPECT_EQ(lines[lines.size() - 2], "Действие по сборке образа раздела: vendor.img завершено.");

  // A second build keeps the first-found copy as it was.
  env.log.Replace("");
  PackPartitionImage(env.ctx, (w / "vendor").string());
  EXPECT_EQ(ReadFile(w / "vendor.org"), "old image");
  EXPECT_FALSE(HasLine(env, "Создаётся резервная копия оригинала: vendor.img => vendor.org"));
}

TEST(PackPartitionImage, FailedBuildGivesThePreviousImageBack) {
  for (const char* failure : {"exit 1\n", "for a in \"$@\"; do prev=$out; out=$a; done\n: > \"$prev\"\nexit 0\n"}) {
    SCOPED_TRACE(failure);
    EngineEnv env;
    env.FakeTool("fspatch", "");
    env.FakeTool("make_ext4fs", std::string("echo 'error: something' >&2\n") + failure);
    fs::path w = env.Work();
    MakeExt4Folder(w / "system", "Size: 67108864\r\nFolderName: system\r\n");
    WriteFile(w / "system.img", "previous");
    PackPartitionImage(env.ctx, (w / "system").string());
    EXPECT_EQ(ReadFile(w / "system.img"), "previous");
    EXPECT_FALSE(fs::exists(w / "system.bak"));
    EXPECT_TRUE(HasLine(env, "Переименовываем system.bak в system.img"));
    EXPECT_FALSE(HasLine(env, "Действие по сборке образа раздела: system.img завершено."));
  }
}

TEST(PackPartitionImage, FreeSpaceRuleAndShrink) {
  EngineEnv env;
  env.settings.SetInt("Expand_Size", 0);
  env.settings.SetInt("Free_Space", 100);
  InstallPackFakes(env);
  fs::path w = env.Work();
  MakeExt4Folder(w / "product", "Size: 20000\r\nFolderName: product\r\n");
  const int64_t used = FolderSize((w / "product").string());
  PackPartitionImage(env.ctx, (w / "product").string());
  auto make = Calls(env, "make_ext4fs");
  ASSERT_EQ(make.size(), 1u);
  EXPECT_NE(make[0].find("<-l>\n<" + std::to_string(used + 104857600) + ">\n"), std::string::npos) << make[0];
  auto lines = env.Lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), ">< !!! Expand size partition"), 1);
  EXPECT_TRUE(HasLine(env, ">< !!! Свободного места: 100 MB")) << env.log.Text();
  auto resize = Calls(env, "resize2fs");
  ASSERT_EQ(resize.size(), 1u);
  EXPECT_EQ(resize[0], "== resize2fs\n" + w.string() + "\n<-M>\n<product.img>\n");
}

TEST(PackPartitionImage, OneRetryWithMoreRoomInsideASuperFolder) {
  for (const char* parent : {"Super", "parts"}) {
    SCOPED_TRACE(parent);
    EngineEnv env;
    // The first build reports an allocation failure; later builds succeed.
    InstallPackFakes(env, "if [ ! -e ../first_done ]; then : > ../first_done; "
                          "echo 'error: failed to allocate 2048 blocks' >&2; exit 1; fi\n");
    fs::path w = env.Work() / parent;
    MakeExt4Folder(w / "system_a", "Size: 10000\r\nFolderName: system_a\r\n");
    const int64_t used = FolderSize((w / "system_a").string());
    PackPartitionImage(env.ctx, (w / "system_a").string());
    auto make = Calls(env, "make_ext4fs");
    if (std::string(parent) == "Super") {
      ASSERT_EQ(make.size(), 2u);
      EXPECT_NE(make[1].find("<-l>\n<" + std::to_string(used + 104857600) + ">\n"), std::string::npos);
      EXPECT_EQ(Calls(env, "resize2fs").size(), 1u);
      EXPECT_TRUE(HasLine(env, "Код выхода make_ext4fs: 0  (Выполнено успешно!)"));
    } else {
      EXPECT_EQ(make.size(), 1u);
      EXPECT_TRUE(HasLine(env, "Код выхода make_ext4fs: 1  (Ошибка выполнения!)"));
      EXPECT_TRUE(Calls(env, "resize2fs").empty());
    }
    EXPECT_EQ(env.log.allocFailBlocks, 0);
  }
}

TEST(PackPartitionImage, FormsAndSuffixes) {
  EngineEnv env;
  InstallPackFakes(env);
  fs::path w = env.Work();
  // Beside a transfer list the image is built sparse.
  MakeExt4Folder(w / "system", "Size: 67108864\r\nType: Raw\r\n");
  WriteFile(w / "system.new.dat.br", "x");
  PackPartitionImage(env.ctx, (w / "system").string());
  EXPECT_NE(Calls(env, "make_ext4fs")[0].find("<-l>\n<67108864>\n<-s>\n<-J>\n"), std::string::npos);
  // With a journal too, the sparse flag stays out of reach of "-i".
  MakeExt4Folder(w / "system_ext", "Size: 67108864\r\nType: Sparse\r\nJournal: yes\r\n");
  PackPartitionImage(env.ctx, (w / "system_ext").string());
  EXPECT_NE(Calls(env, "make_ext4fs")[1].find("<-l>\n<67108864>\n<-s>\n<-j>\n<4096>\n<-i>\n<-J>\n"), std::string::npos);
  EXPECT_TRUE(HasLine(env, "Выполняется сборка образа раздела: system.img |Sparse| Подождите..."));
  // A folder beside system.img.ext4.lz4 builds system.img.ext4, which the LZ4 pack compresses.
  env.FakeTool("lz4", RecordCall(env, "lz4") + "cp \"$3\" \"$4\"\n");
  MakeExt4Folder(w / "odm", "Size: 67108864\r\n");
  WriteFile(w / "odm.img.ext4.lz4", "x");
  PackPartitionImage(env.ctx, (w / "odm").string());
  ASSERT_EQ(Calls(env, "lz4").size(), 1u);
  EXPECT_NE(Calls(env, "lz4")[0].find("<odm.img.ext4>\n<odm.img.ext4.lz4>\n"), std::string::npos);
  EXPECT_EQ(fs::file_size(w / "odm.img.ext4.lz4"), 4096u);
  EXPECT_FALSE(fs::exists(w / "odm.img.ext4"));
  EXPECT_TRUE(HasLine(env, "Код выхода lz4: 0  (Выполнено успешно!)"));
}

TEST(PackPartitionImage, TreeFolderNamedByTheImage) {
  EngineEnv env;
  InstallPackFakes(env);
  fs::path w = env.Work();
  // vendor_9632 was unpacked from an image whose mount point is /vendor.
  MakeExt4Folder(w / "vendor_9632", "Size: 67108864\r\nFolderName: vendor\r\n", "vendor");
  PackPartitionImage(env.ctx, (w / "vendor_9632").string());
  EXPECT_EQ(Calls(env, "fspatch")[0],
            "== fspatch\n" + w.string() + "\n<vendor_9632/vendor>\n<vendor_9632/config/vendor_9632_fs_config.txt>\n");
  std::string make = Calls(env, "make_ext4fs")[0];
  EXPECT_NE(make.find("<-L>\n<vendor>\n<-a>\n<vendor>\n"), std::string::npos);
  EXPECT_NE(make.find("<../vendor_9632.img>\n<./vendor>\n"), std::string::npos);
}

TEST(PackErofsImage, RecordedOptionsSparseConversionAndRestore) {
  EngineEnv env;
  env.FakeTool("fspatch", RecordCall(env, "fspatch"));
  env.FakeTool("erofs/mkfs.erofs", RecordCall(env, "mkfs.erofs") + "echo 'mkfs noise'\nhead -c 8192 /dev/zero > \"$2\"\n");
  env.FakeTool("img2simg", RecordCall(env, "img2simg") + "cp \"$1\" \"$2\"\n");
  fs::path w = env.Work();
  WriteFile(w / "vendor/vendor/etc/a", "a");
  WriteFile(w / "vendor/config/vendor_fs_options.txt",
            "Type: Sparse\r\nExpansion: img\r\nmkfs.erofs options: -zlz4hc vendor.img vendor/vendor");
  WriteFile(w / "vendor.img", "old");
  PackPartitionImage(env.ctx, (w / "vendor").string());
  EXPECT_EQ(Calls(env, "mkfs.erofs")[0], "== mkfs.erofs\n" + w.string() + "\n<-zlz4hc>\n<vendor.img>\n<vendor/vendor>\n");
  EXPECT_EQ(Calls(env, "img2simg")[0], "== img2simg\n" + w.string() + "\n<vendor_raw.img>\n<vendor.img>\n");
  EXPECT_FALSE(fs::exists(w / "vendor_raw.img"));
  EXPECT_FALSE(fs::exists(w / "vendor.bak"));
  EXPECT_EQ(fs::file_size(w / "vendor.img"), 8192u);
  EXPECT_FALSE(HasLine(env, "mkfs noise"));  // standard output discarded by the interpreter
  EXPECT_TRUE(HasLine(env, "Упаковка erofs..."));
  EXPECT_TRUE(HasLine(env, "Конвертируем vendor.img |Raw| в |Sparse|"));
  EXPECT_TRUE(HasLine(env, "Код выхода img2simg: 0  (Выполнено успешно!)"));

  // A failed build that left a partial image: the previous image comes back.
  env.FakeTool("erofs/mkfs.erofs", "head -c 100 /dev/zero > \"$2\"\nexit 1\n");
  WriteFile(w / "vendor.img", "previous");
  PackPartitionImage(env.ctx, (w / "vendor").string());
  EXPECT_EQ(ReadFile(w / "vendor.img"), "previous");
  EXPECT_TRUE(HasLine(env, "Переименовываем vendor.bak в vendor.img"));
}

TEST(MakeAttributeLists, ListsOfWhatTheAddFolderHolds) {
  if (!HaveProgram("busybox")) GTEST_SKIP() << "busybox not installed";
  EngineEnv env;
  fs::create_directories(env.Bin());
  fs::create_symlink(RunCommand("command -v busybox").output.substr(0, RunCommand("command -v busybox").output.size() - 1),
                     env.Bin() / "busybox");
  fs::path add = env.Work() / "add";
  WriteFile(add / "vendor/bin/tool", "x");
  MakeAttributeLists(env.ctx, add.string());
  EXPECT_FALSE(fs::exists(add / "system_add.txt"));
  std::string list = ReadFile(add / "vendor_add.txt");
  EXPECT_NE(list.find("vendor 0 2000 755\n"), std::string::npos) << list;
  EXPECT_NE(list.find("vendor/bin 0 2000 755\n"), std::string::npos);
  EXPECT_NE(list.find("vendor/bin/tool 0 0 644\n"), std::string::npos);
  EXPECT_TRUE(HasLine(env, "Создание списка атрибутов файлов: vendor_add.txt Подождите..."));
  EXPECT_TRUE(HasLine(env, "Действие по созданию списка атрибутов файлов: vendor_add.txt завершено."));

  fs::create_directories(env.Work() / "empty_add");
  env.log.Replace("");
  MakeAttributeLists(env.ctx, (env.Work() / "empty_add").string());
  EXPECT_EQ(env.log.Text(),
            "В папке: add отсутствуют подпапки: system и(или) vendor, список атрибутов не может быть создан!\r\n\n");
}

TEST(PackPartitionFolders, EnabledGroupsInOrder) {
  EngineEnv env;
  env.settings.SetInt("Pack_Product", 0);
  InstallPackFakes(env);
  fs::path fw = env.Work() / "fw";
  MakeExt4Folder(fw / "vendor", "Size: 67108864\r\n");
  MakeExt4Folder(fw / "Image/system", "Size: 67108864\r\n");
  MakeExt4Folder(fw / "product", "Size: 67108864\r\n");
  MakeExt4Folder(fw / "odm_b", "Size: 67108864\r\n");
  fs::create_directories(fw / "system_a");  // empty: skipped
  PackPartitionFolders(env.ctx, fw.string());
  auto make = Calls(env, "make_ext4fs");
  ASSERT_EQ(make.size(), 3u);
  EXPECT_EQ(make[0].rfind("== make_ext4fs\n" + (fw / "Image/system").string() + "\n", 0), 0u);
  EXPECT_EQ(make[1].rfind("== make_ext4fs\n" + (fw / "vendor").string() + "\n", 0), 0u);
  EXPECT_EQ(make[2].rfind("== make_ext4fs\n" + (fw / "odm_b").string() + "\n", 0), 0u);
  EXPECT_FALSE(fs::exists(fw / "product.img"));
}
