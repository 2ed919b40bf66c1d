#pragma once
// The configuration text the repackers write beside (or inside) an unpacked folder: groups in
// brackets holding "key = value" lines, in file order; a key may repeat (list entries). Values
// escape '%', ';', control bytes and spaces at either end as %XX, so that any name survives.
// Written with CR LF line ends; read with CR LF or LF.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace orvex::rk {

class Cfg {
 public:
  void Add(const std::string& group, const std::string& key, const std::string& value);
  void AddNum(const std::string& group, const std::string& key, uint64_t value);  // written as 0x...
  std::string Text() const;

  static Cfg Parse(const std::string& text, const std::string& where);
  bool HasGroup(const std::string& group) const;
  // The first value of a key; throws Error naming the file when missing.
  std::string Get(const std::string& group, const std::string& key) const;
  std::string GetOr(const std::string& group, const std::string& key, const std::string& dflt) const;
  uint64_t Num(const std::string& group, const std::string& key) const;
  uint64_t NumOr(const std::string& group, const std::string& key, uint64_t dflt) const;
  std::vector<std::string> All(const std::string& group, const std::string& key) const;

 private:
  struct Line {
    std::string group, key, value;
  };
  std::vector<Line> lines_;
  std::string where_;
};

std::string EscapeCfg(const std::string& s);
std::string UnescapeCfg(const std::string& s);
// Splits a list value at ';' and unescapes each field.
std::vector<std::string> SplitFields(const std::string& value);
std::string JoinFields(const std::vector<std::string>& fields);
uint64_t ParseNum(const std::string& text, const std::string& what);  // decimal or 0x hex

}  // namespace orvex::rk
