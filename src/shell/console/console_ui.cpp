#include "console_ui.h"

#include <string>

namespace orvex {

void PrintLogPiece(std::FILE* out, const std::string& piece) {
  std::string s;
  s.reserve(piece.size());
  for (char c : piece)
    if (c != '\r') s += c;
  std::fwrite(s.data(), 1, s.size(), out);
  std::fflush(out);
}

}  // namespace orvex
