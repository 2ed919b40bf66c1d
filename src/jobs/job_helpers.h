#pragma once
// Conventions every job shares, written once: quoting paths into argument texts, the backup
// conventions of the pack jobs, and the rules for values that travel through the config files
// of an unpacked folder (written as one line each, read back as checked records, never as
// command text).
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "backup_registry.h"
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

// ---- the backup conventions of the pack jobs ----------------------------------------------
// Each logs its step and its success or error word; `shownFrom` and `shownTo` are the names the
// log shows. They hold BackupLock() while they move files (see backup_registry.h).

// Copies the image once to its ".org" name (never replaced; skipped when No_Org is 1).
void KeepOriginalOnce(Context& ctx, const std::string& image, const std::string& org, const std::string& shownFrom,
                      const std::string& shownTo);
// Moves the previous image to its ".bak" name (an older .bak goes first). False when an image is
// there and could not be moved (the error word is logged and counted): the job must stop, since
// a build would write over the only copy. True when it moved or when there was no image.
bool MoveToBackup(Context& ctx, const std::string& image, const std::string& bak, const std::string& shownFrom,
                  const std::string& shownTo);
// Gives the ".bak" back after a failed build (the failed output goes first).
void RestoreBackup(Context& ctx, const std::string& bak, const std::string& image, const std::string& shownFrom,
                   const std::string& shownTo);
// Deletes the ".bak" after a good build when No_Backup is 1.
void DropBackup(Context& ctx, const std::string& bak);
// "Успех" or "Ошибка" by the outcome.
void LogOutcome(Context& ctx, bool ok);
bool CopyFile(const std::string& from, const std::string& to);

// A quick look at whether a partition image is whole: an ext4, EROFS or sparse image whose file
// is at least as long as its own header says. Reads a few headers only.
bool PartitionImageLooksWhole(const std::string& path);

// Call at the start of a pack, before KeepOriginalOnce: when "{image}.bak" is there and the
// image is missing or fails `looksWhole`, an earlier build was cut short, so the ".bak" (the
// user's previous image) comes back under the real name, with a warning line, instead of being
// deleted by the next MoveToBackup. Returns true when it gave the backup back.
bool RecoverInterruptedBackup(Context& ctx, const std::string& image, const std::string& bak,
                              const std::string& shownBak, const std::string& shownImage,
                              const std::function<bool(const std::string&)>& looksWhole = PartitionImageLooksWhole);

// The spelling of an existing file "base + suffix" whose suffix differs only in letter case
// ("SYSTEM" + ".img" finds "SYSTEM.IMG"); "" when there is none. The exact spelling wins.
std::string ExistingWithSuffix(const std::string& base, const std::string& suffix);

// The path of an existing file or folder `rel` under `base` whose components may differ from the
// given spelling in letter case only ("Image/system.img" finds "IMAGE/SYSTEM.IMG"), as names are
// compared on Windows; the exact spelling wins. "" when there is none.
std::string ExistingNoCase(const std::string& base, const std::string& rel);

// ---- values written into and read back from config files ------------------------------------

// A value as one line of a "key: value" file: line breaks and other control bytes (below 0x20
// and 0x7F) become "\xHH", so that no value can start a line of its own. Everything else stays.
std::string OneLine(std::string_view value);

// A recorded whole number ("Size: 1073741824"): decimal digits only (blanks around them are
// allowed), at most int64 range; nullopt for anything else, including a sign or an empty value.
std::optional<int64_t> RecordedNumber(std::string_view text);

// Splits a recorded argument text into words as the POSIX shell would for plain words, single
// quotes ('\'' included) and double quotes without expansions. Returns false (with the offending
// piece in *bad) for anything the interpreter would act on: $, `, \, ;, |, &, <, >, (, ), {, },
// *, ?, [, ~ outside single quotes, a line break, an unclosed quote.
bool SplitRecordedWords(std::string_view text, std::vector<std::string>& words, std::string* bad);

// One folder name: not empty, not "." or "..", no separator and no control byte.
bool IsPlainFolderName(std::string_view name);

// A relative path inside the job's folder: not empty, not absolute, no ".." component, no
// control byte, not starting with '-'.
bool SafeRelativePath(std::string_view path);

// One option word a recorded command may hold: `name` exactly ("--all-root"), or `name` followed
// by a value ("-T" + "1700000000", "--force-uid=" + "0") that `value` accepts. A rule whose
// `path` is true takes a SafeRelativePath value and quotes it.
struct OptionRule {
  std::string name;
  std::function<bool(std::string_view)> value;  // empty: the word is the name alone
  bool path = false;
};
// Checks recorded words against `rules`; words not starting with '-' are paths (at most
// maxPaths, each SafeRelativePath). Builds the argument text with each path quoted by Q(). On
// failure returns false and sets *bad to the first word refused.
bool CheckOptionWords(const std::vector<std::string>& words, const std::vector<OptionRule>& rules, size_t maxPaths,
                      std::string* args, std::string* bad, std::vector<std::string>* paths = nullptr);

// The options our EROFS unpack records for mkfs.erofs (compressor, -E features, cluster and
// chunk sizes, build time, UUID, attribute and owner options, the context file) plus the output
// image and the source folder. `imageName` is the image the pack builds: the output word must
// name it (letter case aside) and is replaced by it. On success *args is the checked argument
// text and *tree the source folder as recorded.
bool CheckMkfsErofsOptions(std::string_view recorded, const std::string& imageName, std::string* args,
                           std::string* tree, std::string* bad);

// Logs the one line of a pack refused for a recorded value (">< !!! Ошибка: file: key: value",
// the value escaped by OneLine) and counts it as a failed step.
void LogRecordRefused(Context& ctx, const std::string& file, const std::string& key, const std::string& value);

}  // namespace orvex
