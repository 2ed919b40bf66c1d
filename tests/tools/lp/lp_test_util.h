#pragma once
#include <cstdint>
#include <string>

#include "test_support.h"

namespace orvex::lptest {

using namespace orvex::test;

inline std::string Tool(const std::string& name) { return (BinDir() / "makesuper" / name).string(); }

inline CommandResult RunLp(const std::string& tool, const std::string& args, const fs::path& cwd = {}) {
  std::string cmd = cwd.empty() ? "" : "cd " + ShQuote(cwd.string()) + " && ";
  return RunCommand(cmd + ShQuote(Tool(tool)) + " " + args);
}

inline void Put32(std::string& s, size_t off, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[off + i] = char(v >> (8 * i));
}
inline void Put64(std::string& s, size_t off, uint64_t v) {
  for (int i = 0; i < 8; ++i) s[off + i] = char(v >> (8 * i));
}

}  // namespace orvex::lptest
