#pragma once
// Command-line pieces the three super image tools share.
#include <cstdint>
#include <string>
#include <vector>

namespace orvex::lptools {

// A strict unsigned decimal number (no sign, no blanks, no overflow).
bool ParseNumber(const std::string& text, uint64_t* value);

// One parsed option: its name without dashes and its value ("" for a flag).
struct Option {
  std::string name;
  std::string value;
  bool has_value = false;
};

// Splits argv into options and positional words. `takes_value` lists option names (long names
// and single letters) that take a value, given either after "=" or as the next word.
// Returns false with *error on an option that lacks its value.
bool SplitArgs(int argc, char** argv, const std::vector<std::string>& takes_value, std::vector<Option>* options,
               std::vector<std::string>* words, std::string* error);

// A slot given as a number or as a suffix ("a", "_a", "b", "_b").
bool ParseSlot(const std::string& text, uint32_t* slot);

}  // namespace orvex::lptools
