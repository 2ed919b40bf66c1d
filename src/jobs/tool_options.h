#pragma once
// Extra tool options that come from a setting (the brotli options of Compress and Decompress):
// the value is read from the settings file, so it reaches the command interpreter only when every
// word of it is a plain option word.
#include <string>

#include "context.h"

namespace orvex {

// True for a word made only of letters, digits and - _ . = + , (such as "--quality", "7",
// "--lgwin=22"): nothing in it means anything to sh or cmd.exe.
bool IsPlainOptionWord(const std::string& word);

// The setting's value with its words joined by single blanks when every word is plain. Otherwise
// logs a warning that names the setting, counts it as an error, and gives the empty text, so the
// tool runs with its own defaults.
std::string CheckedToolOptions(Context& ctx, const std::string& settingKey);

}  // namespace orvex
