#pragma once
// Helpers of the Windows tests: a tool folder of copies of the fake tool, what they recorded,
// and a sink that keeps the pieces of output in the order they arrived.
#include <windows.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform.h"
#include "test_support.h"

namespace orvex::test {

// One start of a fake tool, as it saw it.
struct ToolCall {
  std::string tool;  // its file name
  std::string cwd;
  std::string line;  // the raw command line
  std::vector<std::string> args;
};

// A folder of fake tools. The folder name may hold anything a file name may hold.
class FakeToolFolder {
 public:
  explicit FakeToolFolder(const std::string& folderName = "bin") : dir_(tmp_.path() / platform::ToPath(folderName)) {
    fs::create_directories(dir_);
    dir_ = fs::absolute(dir_);
  }
  // Copies the fake tool in as name (".exe" added) with its script.
  std::string Add(const std::string& name, const std::string& script = "") const {
    fs::path exe = dir_ / platform::ToPath(name + ".exe");
    fs::copy_file(fs::absolute(ORVEX_FAKE_TOOL), exe, fs::copy_options::overwrite_existing);
    WriteFile(dir_ / platform::ToPath(name + ".fake"), script);
    return platform::FromPath(exe);
  }
  std::string Dir() const { return platform::FromPath(dir_); }
  fs::path Path() const { return dir_; }
  std::vector<ToolCall> Calls() const {
    std::vector<ToolCall> calls;
    std::string text = ReadFile(dir_ / "calls.log");
    size_t pos = 0;
    while (pos < text.size()) {
      size_t end = text.find('\n', pos);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(pos, end - pos);
      pos = end + 1;
      if (line.size() > 2 && line.front() == '[' && line.back() == ']') {
        calls.push_back({line.substr(1, line.size() - 2), "", "", {}});
      } else if (!calls.empty()) {
        size_t eq = line.find('=');
        std::string key = line.substr(0, eq), value = eq == std::string::npos ? "" : line.substr(eq + 1);
        if (key == "cwd") calls.back().cwd = value;
        else if (key == "line") calls.back().line = value;
        else if (key.rfind("arg", 0) == 0) calls.back().args.push_back(value);
      }
    }
    return calls;
  }
  const TempDir& Temp() const { return tmp_; }

 private:
  TempDir tmp_;
  fs::path dir_;
};

// Keeps every piece as "out:..." or "err:..." and the thread that delivered it.
class RecordingSink : public platform::OutputSink {
 public:
  void OnStdout(std::string_view bytes) override { Add("out:", bytes); }
  void OnStderr(std::string_view bytes) override { Add("err:", bytes); }
  std::string Out() const { return Joined("out:"); }
  std::string Err() const { return Joined("err:"); }
  std::vector<std::string> pieces;
  std::vector<DWORD> threads;

 private:
  void Add(const char* tag, std::string_view bytes) {
    pieces.push_back(tag + std::string(bytes));
    threads.push_back(GetCurrentThreadId());
  }
  std::string Joined(std::string_view tag) const {
    std::string all;
    for (const auto& p : pieces)
      if (p.rfind(tag, 0) == 0) all += p.substr(tag.size());
    return all;
  }
};

}  // namespace orvex::test
