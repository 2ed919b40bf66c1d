#pragma once
// orvex-cli as a user runs it, with the real tool folder: a copy of the program beside a bin/
// folder of links to the build's tools (its own config/), and a work folder fw/.
#include <string>

#include "test_support.h"

namespace orvex::test {

struct CliWorkspace {
  TempDir tmp;
  fs::path exe;
  CliWorkspace() {
    exe = tmp / "orvex-cli";
    fs::copy_file(BuildDir() / "orvex-cli", exe);
    fs::create_directories(tmp / "bin/config");
    for (const auto& e : fs::directory_iterator(BinDir())) {
      std::string n = e.path().filename().string();
      if (n == "config" || n == "framework") continue;
      fs::create_symlink(e.path(), tmp / "bin" / n);
    }
    fs::create_directories(tmp / "fw");
  }
  fs::path Fw() const { return tmp / "fw"; }
  // Runs orvex-cli in English with extra --set words on one path.
  CommandResult Run(const fs::path& target, const std::string& sets = "") const {
    return RunCommand(ShQuote(exe.string()) + " --set Locale_ID=1033 " + sets + " " + ShQuote(target.string()) +
                      " </dev/null");
  }
};

}  // namespace orvex::test
