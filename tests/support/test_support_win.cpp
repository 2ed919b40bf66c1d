// The test helpers of test_support.h for the Windows builds of the tests (run under Wine by CI).
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "test_support.h"

namespace orvex::test {

namespace {

std::wstring Wide(const std::string& s) {
  if (s.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

}  // namespace

TempDir::TempDir() {
  std::random_device rd;
  for (int i = 0; i < 100; ++i) {
    fs::path p = fs::temp_directory_path() / ("orvex-test-" + std::to_string(rd() % 1000000000u));
    if (CreateDirectoryW(p.c_str(), nullptr)) {
      path_ = p;
      return;
    }
  }
  throw std::runtime_error("cannot make a temporary folder");
}

TempDir::~TempDir() {
  std::error_code ec;
  // Read-only files would keep the tree alive.
  for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec))
    SetFileAttributesW(it->path().c_str(), FILE_ATTRIBUTE_NORMAL);
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

// Here the command line goes to cmd.exe.
CommandResult RunCommand(const std::string& command) {
  CommandResult r;
  std::wstring full = Wide(command + " 2>&1");
  FILE* p = _wpopen(full.c_str(), L"rb");
  if (!p) return r;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, n);
  r.exit_code = _pclose(p);
  return r;
}

std::string ShQuote(const std::string& s) {
  std::string out = "\"";
  for (char c : s)
    if (c != '"') out += c;
  return out + "\"";
}

bool HaveProgram(const std::string& name) {
  wchar_t found[MAX_PATH];
  return SearchPathW(nullptr, Wide(name).c_str(), L".exe", MAX_PATH, found, nullptr) > 0;
}

bool IsRoot() { return false; }

fs::path SamplesDir() { return ORVEX_SAMPLES_DIR; }
fs::path BinDir() { return ORVEX_BIN_DIR; }
fs::path BuildDir() { return ORVEX_BUILD_DIR; }

}  // namespace orvex::test

// The POSIX environment calls the tests use, over the C runtime's own.
extern "C" int setenv(const char* name, const char* value, int overwrite) {
  if (!overwrite && std::getenv(name)) return 0;
  return _putenv_s(name, value) == 0 ? 0 : -1;
}

extern "C" int unsetenv(const char* name) { return _putenv_s(name, "") == 0 ? 0 : -1; }

int setenv(const char* name, const wchar_t* value, int overwrite) {
  std::wstring w(value);
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), utf8.data(), n, nullptr, nullptr);
  return setenv(name, utf8.c_str(), overwrite);
}
