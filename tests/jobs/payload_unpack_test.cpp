#include <gtest/gtest.h>

#include "fake_tools.h"
#include "jobs.h"
#include "text.h"
#include "workspace.h"

using namespace orvex;
using namespace orvex::test;

namespace {

// payload_dumper that records its call, writes the images a payload of `parts` would give into
// the --out folder (relative to its working folder) and exits with `code`.
void InstallPayloadDumper(const EngineEnv& env, const std::string& parts, int code) {
  env.FakeTool("payload_dumper", RecordCall(env, "payload_dumper") +
                                     "[ \"$1\" = --out ] || exit 9\n"
                                     "for p in " + parts + "; do\n" + MakeExt4Marked("\"$2/${p}_a.img\"") +
                                     "done\n"
                                     "echo 'system_a.img: 100%'\n"
                                     "exit " + std::to_string(code) + "\n");
}

std::vector<std::string> CallsOf(const EngineEnv& env, const std::string& tool) {
  std::vector<std::string> out;
  auto lines = Split(ReadFile(env.tmp / "calls.log"), '\n');
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] != "== " + tool) continue;
    std::string call = lines[i + 1];
    for (size_t k = i + 2; k < lines.size() && !lines[k].empty() && lines[k][0] == '<'; ++k) call += " " + lines[k];
    out.push_back(call);
  }
  return out;
}

}  // namespace

TEST(UnpackPayload, ExtractsAndUnpacksTheMainPartitions) {
  EngineEnv env;
  InstallExt4Fakes(env, "EXT_ATTR");
  InstallPayloadDumper(env, "boot system vendor product odm system_ext", 0);
  fs::path w = env.Work();
  WriteFile(w / "payload.bin", "CrAU");
  WriteFile(w / "payload/stale_a.img", "from an earlier run");

  UnpackPayload(env.ctx, (w / "payload.bin").string());

  const std::string f = (w / "payload").string();
  EXPECT_EQ(CallsOf(env, "payload_dumper"), (std::vector<std::string>{w.string() + " <--out> <payload> <payload.bin>"}));
  EXPECT_EQ(CallsOf(env, "imgextractor"),
            (std::vector<std::string>{f + " <system_a.img> <system_a>", f + " <system_ext_a.img> <system_ext_a>",
                                      f + " <vendor_a.img> <vendor_a>", f + " <product_a.img> <product_a>",
                                      f + " <odm_a.img> <odm_a>"}));
  EXPECT_FALSE(fs::exists(w / "payload/stale_a.img"));
  auto lines = env.Lines();
  ASSERT_GE(lines.size(), 9u);
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 8),
            (std::vector<std::string>{"Обнаружена папка с распакованным образом раздела, удаляем! Подождите...",
                                      "Код выхода rmdir: 0  (Выполнено успешно!)",
                                      "Выполняется распаковка файла: payload.bin Подождите...",
                                      "system_a.img: 100%",
                                      "",
                                      "Код выхода payload_dumper: 0  (Выполнено успешно!)",
                                      "Действие по распаковки файла: payload.bin завершено.", ""}));
  EXPECT_EQ(lines[8], "Выполняется распаковка образа раздела: system_a.img |Raw| Подождите...");
  EXPECT_EQ(env.log.errorCount, 0);
  EXPECT_EQ(env.ui.events, (std::vector<std::string>{"Open:" + f}));
}

TEST(UnpackPayload, AFailedExtractionUnpacksNothingAndKeepsWhatTheToolLeft) {
  EngineEnv env;
  InstallExt4Fakes(env, "EXT_ATTR");
  InstallPayloadDumper(env, "system", 1);
  fs::path w = env.Work();
  WriteFile(w / "ota update.bin", "CrAU");

  UnpackPayload(env.ctx, (w / "ota update.bin").string());

  EXPECT_EQ(CallsOf(env, "payload_dumper"),
            (std::vector<std::string>{w.string() + " <--out> <ota update> <ota update.bin>"}));
  EXPECT_TRUE(CallsOf(env, "imgextractor").empty());
  EXPECT_TRUE(fs::exists(w / "ota update/system_a.img"));
  EXPECT_EQ(env.Lines(), (std::vector<std::string>{"Выполняется распаковка файла: ota update.bin Подождите...",
                                                    "system_a.img: 100%",
                                                    "",
                                                    "Код выхода payload_dumper: 1  (Ошибка выполнения!)",
                                                    "Действие по распаковки файла: ota update.bin завершено.", ""}));
  EXPECT_EQ(env.log.errorCount, 1);
  EXPECT_TRUE(env.ui.events.empty());
}
