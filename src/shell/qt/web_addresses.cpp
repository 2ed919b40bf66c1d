#include "web_addresses.h"

#include <QRegularExpression>

namespace orvex::gui {

namespace {

const char kWebSearch[] = "https://www.google.com/search?q=";
const char kForumSearch[] = "https://forum.orvex.example.org/index.php?act=search";
const char kForumQuery[] = "&query=";
const char kForumTail[] = "&username=&forums%5B%5D=all&subforums=1&source=all&sort=rel&result=posts";
const char kTranslate[] = "https://translate.google.com/?sl=auto&tl=auto&text=";
const char kTranslateTail[] = "&op=translate";

bool KeptAsIs(unsigned char c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
  switch (c) {
    case '-': case '.': case '_': case '~': case '!': case '\'': case '(': case ')': case '*':
    case ':': case ';': case '/': case '?': case '&': case '=': case '#': case '$': case ',':
    case '@':
      return true;
    default:
      return false;
  }
}

}  // namespace

std::string PercentEncode(const std::string& utf8) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  out.reserve(utf8.size() * 3);
  for (unsigned char c : utf8) {
    if (KeptAsIs(c)) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

std::string WebSearchAddress(const std::string& selection) { return kWebSearch + PercentEncode(selection); }

std::string ForumSearchAddress(const std::string& selection) {
  // The system's code page here is UTF-8.
  if (selection.empty()) return kForumSearch;
  return std::string(kForumSearch) + kForumQuery + PercentEncode(selection) + kForumTail;
}

std::string TranslateAddress(const std::string& selection) {
  return kTranslate + PercentEncode(selection) + kTranslateTail;
}

std::vector<FoundAddress> FindWebAddresses(const QString& line) {
  std::vector<FoundAddress> found;
  if (!line.contains(QLatin1String("://")) && !line.contains(QLatin1String("www."), Qt::CaseInsensitive))
    return found;
  static const QRegularExpression re(QStringLiteral(R"((?:\b(?:https?|ftp)://|\bwww\.)[^\s<>"]+)"),
                                     QRegularExpression::CaseInsensitiveOption);
  auto it = re.globalMatch(line);
  while (it.hasNext()) {
    auto m = it.next();
    int start = static_cast<int>(m.capturedStart());
    int length = static_cast<int>(m.capturedLength());
    // Punctuation that ends a sentence is not part of the address.
    while (length > 0 && QStringLiteral(".,;:!?)]'").contains(line.at(start + length - 1))) --length;
    if (length > 4) found.push_back({start, length});
  }
  return found;
}

}  // namespace orvex::gui
