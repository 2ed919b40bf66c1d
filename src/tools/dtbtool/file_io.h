#pragma once
// File reading and writing shared by dtbSplit and dtbTool.
#include <cstdint>
#include <string>

namespace orvex::multidtb {

// Reads a regular file of at most `limit` bytes; false with a message otherwise.
bool ReadSmallFile(const std::string& path, uint64_t limit, std::string* data, std::string* error);
// Writes a new file: an entry already under that name (a file or a link) is removed first and
// the file is created exclusively, so nothing is ever written through a link.
bool WriteNewFile(const std::string& path, const std::string& data, std::string* error);
// Writes `path` through a temporary file beside it, renamed into place when complete.
bool ReplaceFile(const std::string& path, const std::string& data, std::string* error);

}  // namespace orvex::multidtb
