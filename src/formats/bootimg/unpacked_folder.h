#pragma once
// A boot or vendor_boot image as an editable folder: config.ini with every header field, one
// file per part, and each ramdisk both as its kept compressed file and as a folder with its list
// file. Packing an untouched folder gives the same image byte for byte.
#include <cstdint>
#include <map>
#include <ostream>
#include <string>

#include "bootimg/bootimg.h"
#include "bootimg/io.h"

namespace orvex::bootimg {

struct UnpackOptions {
  uint64_t max_ramdisk_bytes = 1ull << 30;  // bound on one ramdisk's expanded size
  bool extract_ramdisks = true;
};

// The text of config.ini as sections of key/value pairs, in file order.
class IniFile {
 public:
  void Parse(const std::string& text, const std::string& where);
  // Empty when absent.
  std::string Get(const std::string& section, const std::string& key) const;
  bool Has(const std::string& section, const std::string& key) const;
  bool HasSection(const std::string& section) const;
  std::vector<std::string> Sections() const { return order_; }

 private:
  std::map<std::string, std::map<std::string, std::string>> values_;
  std::vector<std::string> order_;
};

// Escapes a header text for config.ini (backslashes, control bytes, spaces at either end).
std::string EscapeValue(const std::string& s);
std::string UnescapeValue(const std::string& s);

// Unpacks image into folder (created when missing). Progress goes to log. Throws Error.
void UnpackImage(const std::string& image, const std::string& folder, std::ostream& log,
                 const UnpackOptions& options = {});

// Packs folder into out. Ramdisks whose folder changed are rebuilt through temporary files in
// temp_dir. Throws Error.
void PackImageTo(const std::string& folder, Writer& out, const std::string& temp_dir, std::ostream& log);
// Packs folder into image through a temporary file beside it, so that a failed pack leaves no
// partial image under the real name.
void PackImage(const std::string& folder, const std::string& image, std::ostream& log);

}  // namespace orvex::bootimg
