#pragma once
// The addresses the log view opens for a selection, and the detection of web addresses in the
// log text.
#include <QString>
#include <string>
#include <vector>

namespace orvex::gui {

// Keeps ASCII letters, digits and - . _ ~ ! ' ( ) * : ; / ? & = # $ , @; every other byte of the
// UTF-8 text becomes "%" and two upper-case hexadecimal digits.
std::string PercentEncode(const std::string& utf8);

inline constexpr const char* kForumName = "Orvex Forum";

std::string WebSearchAddress(const std::string& selection);
std::string ForumSearchAddress(const std::string& selection);
std::string TranslateAddress(const std::string& selection);

struct FoundAddress {
  int start;   // position in the line, in UTF-16 units
  int length;
};
// Web addresses ("http://", "https://", "ftp://", "www.") in one line of the log.
std::vector<FoundAddress> FindWebAddresses(const QString& line);

}  // namespace orvex::gui
