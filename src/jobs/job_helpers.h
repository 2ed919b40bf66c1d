#pragma once
// Conventions every job shares, written once: quoting paths into argument texts and the
// start and closing lines.
#include <initializer_list>
#include <string>

#include "context.h"
#include "platform.h"
#include "tool_runner.h"
#include "workspace.h"

namespace orvex {

// Quotes a path (or any word that must stay one argument) for the command interpreter.
inline std::string Q(const std::string& pathOrWord) { return platform::Quote(pathOrWord); }

// Joins path components with the platform separator: P("system", "config", "x.txt").
inline std::string P(std::initializer_list<std::string> parts) {
  std::string out;
  for (const auto& p : parts) out = out.empty() ? p : JoinPath(out, p);
  return out;
}

// " > nul" / " > /dev/null" with its leading blank.
inline std::string DiscardOutput() { return " " + std::string(platform::NullOutput()); }

}  // namespace orvex
