// How much the tool runner slows a chatty tool: a tool printing 200,000 short lines, run alone
// (its output drained by `cat` into /dev/null) and through RunTool into the activity log.
//   build/bench/runtool_bench [lines] [repeats]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "activity_log.h"
#include "context.h"
#include "messages.h"
#include "recent_files.h"
#include "settings.h"
#include "tool_runner.h"

using namespace orvex;
namespace fs = std::filesystem;

namespace {

double Seconds(const std::function<void()>& f, int repeats) {
  double best = 1e9;
  for (int i = 0; i < repeats; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    f();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  long lines = argc > 1 ? std::atol(argv[1]) : 200000;
  int repeats = argc > 2 ? std::atoi(argv[2]) : 5;
  fs::path dir = fs::temp_directory_path() / "orvex-runtool-bench";
  fs::create_directories(dir);
  struct Variant {
    const char* name;
    std::string body;
  } variants[] = {
      {"block-buffered", "awk -v n=" + std::to_string(lines) + " 'BEGIN{for(i=1;i<=n;i++) print \"line \" i}'\n"},
      {"line-flushed", "awk -v n=" + std::to_string(lines) + " 'BEGIN{for(i=1;i<=n;i++){print \"line \" i; fflush()}}'\n"},
  };
  Settings settings;
  MessageTable messages;
  messages.LoadBuiltIn();
  RecentFiles recent;
  JobUi ui;
  for (const auto& v : variants) {
    fs::path tool = dir / (std::string("chatty-") + v.name);
    {
      std::ofstream f(tool);
      f << "#!/bin/sh\n" << v.body;
    }
    fs::permissions(tool, fs::perms::owner_all);
    std::string alone = "'" + tool.string() + "' | cat > /dev/null";
    double tAlone = Seconds([&] { std::system(alone.c_str()); }, repeats);

    size_t bytes = 0;
    double tRun = Seconds(
        [&] {
          ActivityLog log;
          Context ctx{dir.string() + "/", settings, messages, log, recent, ui};
          log.AddObserver([&](const std::string& piece, bool) { bytes += piece.size(); });
          RunTool(ctx, tool.string(), "", "");
        },
        repeats);
    std::printf("%-15s %ld lines: alone %.3f s, through RunTool %.3f s (%+.0f%%)\n", v.name, lines, tAlone, tRun,
                100.0 * (tRun - tAlone) / tAlone);
  }
  fs::remove_all(dir);
  return 0;
}
