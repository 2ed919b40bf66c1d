#include "console_ui.h"

#include <string>

#include "platform.h"

namespace orvex {

void PrintLogPiece(std::FILE* out, const std::string& piece) {
  std::string s;
  s.reserve(piece.size());
  for (char c : piece)
    if (c != '\r') s += c;
  platform::WriteText(out, s);
}

}  // namespace orvex
