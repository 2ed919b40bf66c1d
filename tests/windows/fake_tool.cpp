// A stand-in for any console tool of the tool folder, for the Windows tests. Copied under the
// name of the tool it replaces (bin\imgextractor.exe, ...), it appends what it was started with
// to calls.log beside itself, then follows the script <its name>.fake beside itself, if any.
//
// calls.log, UTF-8, one block per start:
//   [imgextractor.exe]
//   cwd=C:\work
//   line=<the raw command line, GetCommandLineW>
//   arg1=<first argument as CommandLineToArgvW splits it>
//   ...
//
// Script lines (blank lines and lines starting with # are skipped); $1..$9 stand for the
// arguments, \r and \n in a text for CR and LF, paths are relative to the working folder:
//   out TEXT          write TEXT and CR LF to standard output
//   err TEXT          write TEXT and CR LF to standard error
//   raw TEXT          write TEXT to standard output without a line end
//   oem TEXT          the same, in the console (OEM) code page as a console tool writes it
//   mkdir PATH        make the folder and its parents
//   file PATH=TEXT    write TEXT to the file
//   waitfile PATH     wait until the file exists (gives up after 60 s and writes "gave up")
//   readin            read standard input to its end and write "read N bytes"
//   count N           write the lines 1 to N to standard output, 1000 lines to a write
//   counterr N        write the lines e1 to eN to standard error, one line to a write
//   exit N            end with exit code N
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string Utf8(const std::wstring& w) {
  if (w.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
  return s;
}

std::wstring Wide(const std::string& s) {
  if (s.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

fs::path Self() {
  std::wstring buf(32768, L'\0');
  DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
  buf.resize(n);
  return fs::path(buf);
}

void Write(HANDLE h, const std::string& bytes) {
  DWORD done = 0;
  WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr);
}

std::string Expand(const std::string& text, const std::vector<std::string>& args) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '$' && i + 1 < text.size() && text[i + 1] >= '1' && text[i + 1] <= '9') {
      size_t k = static_cast<size_t>(text[i + 1] - '0');
      if (k < args.size()) out += args[k];
      ++i;
    } else if (text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == 'n' || text[i + 1] == 'r')) {
      out += text[i + 1] == 'n' ? '\n' : '\r';
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** wargv = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) args.push_back(Utf8(wargv[i]));
  LocalFree(wargv);

  const fs::path self = Self();
  std::wstring cwd(32768, L'\0');
  cwd.resize(GetCurrentDirectoryW(static_cast<DWORD>(cwd.size()), cwd.data()));

  std::string record = "[" + Utf8(self.filename().wstring()) + "]\n";
  record += "cwd=" + Utf8(cwd) + "\n";
  record += "line=" + Utf8(GetCommandLineW()) + "\n";
  for (size_t i = 1; i < args.size(); ++i) record += "arg" + std::to_string(i) + "=" + args[i] + "\n";
  {
    std::ofstream log(self.parent_path() / L"calls.log", std::ios::binary | std::ios::app);
    log << record;
  }

  std::ifstream script(fs::path(self).replace_extension(L".fake"), std::ios::binary);
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  std::string line;
  while (std::getline(script, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    size_t blank = line.find(' ');
    std::string verb = line.substr(0, blank);
    std::string rest = blank == std::string::npos ? "" : Expand(line.substr(blank + 1), args);
    if (verb == "out") {
      Write(out, rest + "\r\n");
    } else if (verb == "err") {
      Write(err, rest + "\r\n");
    } else if (verb == "raw") {
      Write(out, rest);
    } else if (verb == "oem") {
      std::wstring w = Wide(rest);
      int n = WideCharToMultiByte(GetOEMCP(), 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
      std::string bytes(static_cast<size_t>(n), '\0');
      WideCharToMultiByte(GetOEMCP(), 0, w.data(), static_cast<int>(w.size()), bytes.data(), n, nullptr, nullptr);
      Write(out, bytes);
    } else if (verb == "mkdir") {
      std::error_code ec;
      fs::create_directories(fs::path(Wide(rest)), ec);
    } else if (verb == "file") {
      size_t eq = rest.find('=');
      std::ofstream f(fs::path(Wide(rest.substr(0, eq))), std::ios::binary | std::ios::trunc);
      if (eq != std::string::npos) f << rest.substr(eq + 1);
    } else if (verb == "waitfile") {
      fs::path p(Wide(rest));
      int waited = 0;
      std::error_code ec;
      while (!fs::exists(p, ec) && waited < 60000) {
        Sleep(10);
        waited += 10;
      }
      if (!fs::exists(p, ec)) Write(err, "gave up\r\n");
    } else if (verb == "readin") {
      HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
      char buf[4096];
      DWORD got = 0;
      size_t total = 0;
      while (ReadFile(in, buf, sizeof buf, &got, nullptr) && got > 0) total += got;
      Write(out, "read " + std::to_string(total) + " bytes\r\n");
    } else if (verb == "count" || verb == "counterr") {
      const bool toErr = verb == "counterr";
      const int n = std::atoi(rest.c_str());
      std::string block;
      for (int i = 1; i <= n; ++i) {
        block += (toErr ? "e" : "") + std::to_string(i) + "\r\n";
        if (toErr || i % 1000 == 0 || i == n) {
          Write(toErr ? err : out, block);
          block.clear();
        }
      }
    } else if (verb == "exit") {
      return std::atoi(rest.c_str());
    }
  }
  return 0;
}
