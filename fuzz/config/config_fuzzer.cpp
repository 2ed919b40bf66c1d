// libFuzzer target: the files an unpack leaves and a pack reads back. The input is read as a
// "key: value" options file (the keys the pack jobs read), as an attribute file and as a context
// file, and its lines go through the checks a recorded command line must pass. None may crash;
// and whatever the checks accept must be free of the interpreter's characters outside quotes.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "ext4/file_contexts.h"
#include "ext4/fs_config.h"
#include "fuzz_input.h"
#include "job_helpers.h"
#include "workspace.h"

namespace {

// The argument text a check built: every byte outside single quotes must be plain.
void AssertQuietOutsideQuotes(const std::string& args) {
  bool quoted = false;
  for (char c : args) {
    if (c == '\'') quoted = !quoted;
    else if (!quoted && std::string_view("$`\\;|&<>(){}*?[]~#!\"\n\r").find(c) != std::string_view::npos) std::abort();
  }
  if (quoted) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::istringstream s(text);
  for (const char* key : {"Size", "FolderName", "Type", "Journal", "Expansion", "mkfs.erofs options"}) {
    const std::string value = orvex::ReadKeyValue(s, key);
    if (orvex::OneLine(value).find_first_of("\r\n") != std::string::npos) std::abort();
    orvex::RecordedNumber(value);
    std::string args, tree, bad;
    if (orvex::CheckMkfsErofsOptions(value, "system.img", &args, &tree, &bad)) {
      AssertQuietOutsideQuotes(args);
      if (!orvex::SafeRelativePath(tree)) std::abort();
    }
  }
  orvex::fuzz::InputFile in(data, size);
  if (!in.ok()) return 0;
  std::string error;
  orvex::ext4::FsConfigTable table;
  table.Load(in.path(), &error);
  orvex::ext4::FileContexts contexts;
  if (contexts.Load(in.path(), &error)) {
    contexts.Lookup("/system/bin/sh", 0100755);
    contexts.Lookup("/vendor/lib64/a b", 040755);
  }
  return 0;
}
