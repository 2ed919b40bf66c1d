#include "test_support.h"

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace orvex::test {

TempDir::TempDir() {
  std::string tmpl = (fs::temp_directory_path() / "orvex-test-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Folders a test made read-only must not keep the tree alive.
  RunCommand("chmod -R u+rwx " + ShQuote(path_.string()) + " 2>/dev/null");
  fs::remove_all(path_, ec);
}

void WriteFile(const fs::path& p, const std::string& bytes) {
  if (p.has_parent_path()) fs::create_directories(p.parent_path());
  std::ofstream f(p, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!f) throw std::runtime_error("cannot write " + p.string());
}

std::string ReadFile(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  if (!f) return {};
  std::ostringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

CommandResult RunCommand(const std::string& command) {
  CommandResult r;
  std::string full = command + " 2>&1";
  FILE* p = popen(full.c_str(), "r");
  if (!p) return r;
  std::array<char, 65536> buf;
  size_t n;
  while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) r.output.append(buf.data(), n);
  int st = pclose(p);
  r.exit_code = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return r;
}

std::string ShQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  return out + "'";
}

bool HaveProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) return access(name.c_str(), X_OK) == 0;
  return RunCommand("command -v " + ShQuote(name) + " >/dev/null").exit_code == 0;
}

bool IsRoot() { return geteuid() == 0; }

fs::path SamplesDir() { return ORVEX_SAMPLES_DIR; }
fs::path BinDir() { return ORVEX_BIN_DIR; }
fs::path BuildDir() { return ORVEX_BUILD_DIR; }

}  // namespace orvex::test
