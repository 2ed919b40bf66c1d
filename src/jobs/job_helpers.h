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

// The backup conventions of the pack jobs. Each logs its step and its success or error word;
// `shownFrom` and `shownTo` are the names the log shows.

// Copies the image once to its ".org" name (never replaced; skipped when No_Org is 1).
void KeepOriginalOnce(Context& ctx, const std::string& image, const std::string& org, const std::string& shownFrom,
                      const std::string& shownTo);
// Moves the previous image to its ".bak" name (an older .bak goes first).
void MoveToBackup(Context& ctx, const std::string& image, const std::string& bak, const std::string& shownFrom,
                  const std::string& shownTo);
// Gives the ".bak" back after a failed build (the failed output goes first).
void RestoreBackup(Context& ctx, const std::string& bak, const std::string& image, const std::string& shownFrom,
                   const std::string& shownTo);
// Deletes the ".bak" after a good build when No_Backup is 1.
void DropBackup(Context& ctx, const std::string& bak);
// "Успех" or "Ошибка" by the outcome.
void LogOutcome(Context& ctx, bool ok);
bool CopyFile(const std::string& from, const std::string& to);

}  // namespace orvex
