#pragma once
// The context file (AOSP file_contexts): "<path regex> [<file type>] <context>" lines, matched
// against whole absolute paths such as "/system/bin/sh".
//
// Lookup follows libselinux's order: rules without regex metacharacters (plain paths, escapes
// allowed) are tried before any regex, and within each group the last matching line of the file
// wins. Plain paths are looked up in a hash table; regexes are POSIX extended expressions (the
// PCRE forms \d and (?: used in AOSP files are translated), anchored at both ends, and tried only
// when the path starts with the regex's literal prefix. \xHH stands for the byte HH anywhere.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace orvex::ext4 {

// Escapes every regex metacharacter of a literal path with a backslash; blanks, control bytes and
// bytes from 0x7f up are written as \xHH, which keeps the path one word of the line and is what
// libselinux accepts. Lookups resolve \xHH in plain paths and regexes alike.
std::string EscapeRegex(std::string_view path);

struct CompiledRegex;

class FileContexts {
 public:
  FileContexts();
  ~FileContexts();
  FileContexts(const FileContexts&) = delete;
  FileContexts& operator=(const FileContexts&) = delete;
  FileContexts(FileContexts&&) = default;
  FileContexts& operator=(FileContexts&&) = default;

  // Reads a file; false with *error on an unreadable file, an ill-formed line or a bad regex.
  bool Load(const std::string& file, std::string* error);
  // Adds one line's worth; false with *error on a bad regex.
  bool AddRule(std::string_view regex, std::string_view type, std::string_view context,
               std::string* error);

  // The context for an absolute path and its mode (only the Linux type bits, mode_bits.h), or nullopt
  // when no line matches or the matching line says <<none>>.
  std::optional<std::string> Lookup(std::string_view path, uint32_t mode) const;

  size_t size() const { return rules_.size(); }

 private:
  struct Rule {
    std::string context;
    uint32_t type = 0;  // file type bits (mode_bits.h), 0 = any
    std::string prefix;  // literal text every match starts with (regex rules)
    // null for plain paths
    std::unique_ptr<CompiledRegex, void (*)(CompiledRegex*)> re{nullptr, nullptr};
  };
  const Rule* Match(const std::vector<size_t>& candidates, std::string_view path,
                    uint32_t type) const;

  std::vector<Rule> rules_;
  std::unordered_map<std::string, std::vector<size_t>> plain_;  // path -> rule indexes, file order
  std::vector<size_t> regex_;                                  // rule indexes, file order
};

}  // namespace orvex::ext4
