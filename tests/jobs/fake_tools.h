#pragma once
// Fake tool scripts for job tests: each records its name, working folder and arguments (one per
// line) in calls.log and then does what the scenario needs.
#include <algorithm>
#include <string>
#include <vector>

#include "engine_env.h"

namespace orvex::test {

inline std::string RecordCall(const EngineEnv& env, const std::string& tool) {
  std::string log = ShQuote((env.tmp / "calls.log").string());
  return "{ echo \"== " + tool + "\"; pwd; for a in \"$@\"; do echo \"<$a>\"; done; } >> " + log + "\n";
}

// Shell that writes a file of `size` zero bytes with the ext4 magic at 0x438.
inline std::string MakeExt4Marked(const std::string& fileExpr) {
  return "head -c 8192 /dev/zero > " + fileExpr + "\nprintf '\\123\\357' | dd of=" + fileExpr +
         " bs=1 seek=1080 conv=notrunc 2>/dev/null\n";
}

inline void WriteExt4Marked(const fs::path& p) {
  std::string b(8192, '\0');
  b[0x438] = '\x53';
  b[0x439] = '\xEF';
  WriteFile(p, b);
}

inline void WriteSparseMarked(const fs::path& p) { WriteFile(p, std::string("\x3A\xFF\x26\xED\x01\x00sparse-body", 17)); }

inline void WriteErofsMarked(const fs::path& p) {
  std::string b(4096, '\0');
  b.replace(0x400, 4, "\xE2\xE1\xF5\xE0");
  WriteFile(p, b);
}

// The ext4 tools: the information mode prints a superblock report with the given feature line;
// the extractor makes the tree and the options file (exit code `code`).
inline void InstallExt4Fakes(const EngineEnv& env, const std::string& features, int code = 0) {
  env.FakeTool("imgextractor_", RecordCall(env, "imgextractor_") +
                                    "echo 'banner line'\n"
                                    "echo 'EXT4 superblock info:'\n"
                                    "echo 'Volume name: system'\n"
                                    "echo 'FS compatible features: " + features + "'\n");
  env.FakeTool("imgextractor", RecordCall(env, "imgextractor") +
                                   "n=$(basename \"$1\"); n=${n%.*}\n"
                                   "mkdir -p \"$2/$n\" \"$2/config\"\n"
                                   "head -c 1000 /dev/zero > \"$2/$n/file.bin\"\n"
                                   "printf 'Size: 8388608\\r\\nFolderName: system\\r\\nLabel: system\\r\\n' > "
                                   "\"$2/config/${n}_fs_options.txt\"\n"
                                   "echo 'extracted 1 file'\n"
                                   "exit " + std::to_string(code) + "\n");
}

// Each recorded call of `tool` in calls.log: its "== tool" line, working folder and arguments.
inline std::vector<std::string> Calls(const EngineEnv& env, const std::string& tool) {
  std::vector<std::string> out;
  std::string all = ReadFile(env.tmp / "calls.log");
  size_t pos = 0;
  while ((pos = all.find("== " + tool + "\n", pos)) != std::string::npos) {
    size_t end = all.find("== ", pos + 3);
    out.push_back(all.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
    pos += 3;
  }
  return out;
}

// True when the log has exactly this line.
inline bool HasLine(const EngineEnv& env, const std::string& line) {
  auto l = env.Lines();
  return std::find(l.begin(), l.end(), line) != l.end();
}

}  // namespace orvex::test
