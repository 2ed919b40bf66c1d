// orvex-cli: the program's start-up, dispatcher and jobs without windows. The activity log goes
// to standard output while the tools run.
#include <atomic>
#include <chrono>
#include <thread>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "app.h"
#include "backup_registry.h"
#include "workspace.h"
#include "console_ui.h"
#include "platform.h"
#include "settings.h"

using namespace orvex;

namespace {

// The folder that holds the settings and the log mirror for this program file.
std::string ConfigFolderOfThisProgram() {
  ConsoleUi ui;
  App app(ui);
  app.LocateFolders(platform::ProgramFile());
  return app.ctx.ConfigFolder();
}

void PrintHelp() {
  const std::string config = ConfigFolderOfThisProgram();
  std::printf(
      "Usage: orvex-cli [OPTIONS] PATH...\n"
      "Unpacks each firmware or partition image file and packs each unpacked folder given,\n"
      "in order, writing the activity log to standard output.\n"
      "\n"
      "Options:\n"
      "  --set KEY=VALUE  use VALUE for the setting KEY in this run only (not saved)\n"
      "  --help           show this text and exit\n"
      "  --version        show the version and exit\n"
      "  --               end of options; every later word is a path\n"
      "\n"
      "A word \"-total\" ends the list of paths.\n"
      "\n"
      "Settings are read from %ssettings.ini and written back at the end; the log of\n"
      "the run is kept in %slastAction.log. (A program run from its build folder keeps\n"
      "them in bin/config/ beside it; an installed one in $XDG_CONFIG_HOME/orvex/, by default\n"
      "~/.config/orvex/.)\n"
      "Exit status: 0 when every step succeeded, 1 when a step failed, 2 on bad usage.\n",
      config.c_str(), config.c_str());
}

std::atomic<App*> runningApp{nullptr};
std::atomic<bool> interrupting{false};

// Ctrl+C or a termination request: the running tool and everything it started stop, the image a
// pack had put aside comes back under its own name, the log mirror is written, and the program
// ends with 130 (SIGINT) or 143 (SIGTERM).
void Interrupted(int status) {
  interrupting = true;
  platform::StopAllTools();
  GiveBackupsBack();
  if (App* app = runningApp.load()) WriteWholeFile(app->ConfigPath("lastAction.log"), app->log.Text());
  std::fflush(stdout);
  std::_Exit(status);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> paths;
  std::map<std::string, std::string> overrides;
  bool optionsEnded = false;
  const std::vector<std::string> args = platform::ProgramArguments(argc, argv);
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (!optionsEnded && a == "--") {
      optionsEnded = true;
    } else if (!optionsEnded && (a == "--help" || a == "-h")) {
      PrintHelp();
      return 0;
    } else if (!optionsEnded && a == "--version") {
      std::printf("orvex-cli %s (build %s)\n", ShortVersion().c_str(), BuildNumber().c_str());
      return 0;
    } else if (!optionsEnded && (a == "--set" || a.rfind("--set=", 0) == 0)) {
      std::string kv;
      if (a == "--set") {
        if (i + 1 >= args.size()) {
          std::fprintf(stderr, "orvex-cli: --set needs KEY=VALUE\n");
          return 2;
        }
        kv = args[++i];
      } else {
        kv = a.substr(6);
      }
      auto eq = kv.find('=');
      const SettingDef* d = eq == std::string::npos ? nullptr : Settings::Find(kv.substr(0, eq));
      if (!d) {
        std::fprintf(stderr, "orvex-cli: unknown setting in --set %s\n", kv.c_str());
        return 2;
      }
      Settings probe;
      if (!probe.SetFromText(d->key, kv.substr(eq + 1))) {
        std::fprintf(stderr, "orvex-cli: invalid value for %s: %s\n", d->key, kv.substr(eq + 1).c_str());
        return 2;
      }
      overrides[d->key] = kv.substr(eq + 1);
    } else if (!optionsEnded && a.size() > 1 && a[0] == '-' && a != "-total") {
      std::fprintf(stderr, "orvex-cli: unknown option %s (see --help)\n", a.c_str());
      return 2;
    } else {
      if (a == "-total") {
        paths.push_back(a);
      } else {
        std::error_code ec;
        auto abs = std::filesystem::absolute(platform::ToPath(a), ec);
        paths.push_back(ec ? a : platform::FromPath(abs));
      }
    }
  }

  // Before any other thread exists, so that every thread leaves the signals to the handler's.
  platform::OnInterrupt(Interrupted);
  ConsoleUi ui;
  App app(ui);
  runningApp = &app;
  app.log.AddObserver([](const std::string& piece, bool replaced) {
    if (!replaced) PrintLogPiece(stdout, piece);
  });
  app.LocateFolders(platform::ProgramFile());
  app.LoadSettings(overrides);
  app.PrepareWorkspace();
  app.QueueArguments(paths, false);
  app.FinishStartUp();
  app.dispatcher.StartJobs();
  app.dispatcher.Wait();
  // A job that ended because its tool was stopped is no finished run: the interruption ends the
  // program with its own status.
  while (interrupting) std::this_thread::sleep_for(std::chrono::seconds(1));
  app.Close(WindowState{});
  runningApp = nullptr;
  return ui.failed ? 1 : 0;
}
