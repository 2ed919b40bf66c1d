#pragma once
// Small helpers shared by all tests: a temporary folder that removes itself, whole-file I/O,
// and running a shell command with its output captured.
#include <filesystem>
#include <string>

namespace orvex::test {

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }
  std::string str() const { return path_.string(); }
  fs::path operator/(const std::string& rel) const { return path_ / rel; }

 private:
  fs::path path_;
};

void WriteFile(const fs::path& p, const std::string& bytes);
std::string ReadFile(const fs::path& p);  // empty when missing

struct CommandResult {
  int exit_code = -1;
  std::string output;  // stdout and stderr together
};
// Runs a /bin/sh command line and captures its output.
CommandResult RunCommand(const std::string& command);
// Quotes one argument for /bin/sh.
std::string ShQuote(const std::string& s);
// True when the named program is on PATH (or an absolute path that exists).
bool HaveProgram(const std::string& name);
bool IsRoot();

fs::path SamplesDir();  // ../shared/samples beside the source tree
fs::path BinDir();      // the built Workspace root bin/
fs::path BuildDir();

}  // namespace orvex::test
