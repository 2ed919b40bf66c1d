#include "rk_cfg.h"

#include <cstdio>

#include "rk_io.h"

namespace orvex::rk {

namespace {

std::string Trim(const std::string& s) {
  const size_t a = s.find_first_not_of(" \t");
  if (a == std::string::npos) return "";
  const size_t b = s.find_last_not_of(" \t");
  return s.substr(a, b - a + 1);
}

}  // namespace

std::string EscapeCfg(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const bool edgeSpace = (c == ' ' || c == '\t') && (i == 0 || i + 1 == s.size());
    if (c < 0x20 || c == 0x7F || c == '%' || c == ';' || edgeSpace) {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%%%02X", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string UnescapeCfg(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%') {
      if (i + 2 >= s.size()) throw Error("broken %-escape in: " + s);
      out += Unhex(s.substr(i + 1, 2));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

std::vector<std::string> SplitFields(const std::string& value) {
  std::vector<std::string> out;
  size_t start = 0;
  while (true) {
    const size_t semi = value.find(';', start);
    out.push_back(UnescapeCfg(Trim(value.substr(start, semi == std::string::npos ? semi : semi - start))));
    if (semi == std::string::npos) return out;
    start = semi + 1;
  }
}

std::string JoinFields(const std::vector<std::string>& fields) {
  std::string out;
  for (size_t i = 0; i < fields.size(); ++i) out += (i ? ";" : "") + EscapeCfg(fields[i]);
  return out;
}

uint64_t ParseNum(const std::string& text, const std::string& what) {
  const std::string t = Trim(text);
  const bool hex = t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X');
  const std::string digits = hex ? t.substr(2) : t;
  if (digits.empty() || digits.size() > (hex ? 16u : 19u)) throw Error("not a number for " + what + ": " + text);
  uint64_t v = 0;
  for (char c : digits) {
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (hex && c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (hex && c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else throw Error("not a number for " + what + ": " + text);
    v = v * (hex ? 16 : 10) + static_cast<uint64_t>(d);
  }
  return v;
}

void Cfg::Add(const std::string& group, const std::string& key, const std::string& value) {
  lines_.push_back({group, key, value});
}

void Cfg::AddNum(const std::string& group, const std::string& key, uint64_t value) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(value));
  Add(group, key, buf);
}

std::string Cfg::Text() const {
  std::string out, group;
  bool first = true;
  for (const Line& l : lines_) {
    if (first || l.group != group) {
      if (!first) out += "\r\n";
      out += "[" + l.group + "]\r\n";
      group = l.group;
      first = false;
    }
    out += l.key + " = " + l.value + "\r\n";
  }
  return out;
}

Cfg Cfg::Parse(const std::string& text, const std::string& where) {
  Cfg c;
  c.where_ = where;
  std::string group;
  size_t at = 0;
  while (at < text.size()) {
    size_t nl = text.find('\n', at);
    if (nl == std::string::npos) nl = text.size();
    std::string line = text.substr(at, nl - at);
    at = nl + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
    line = Trim(line);
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') {
      const size_t b = line.find(']');
      if (b == std::string::npos) throw Error(where + ": broken group line: " + line);
      group = Trim(line.substr(1, b - 1));
      continue;
    }
    const size_t eq = line.find('=');
    if (eq == std::string::npos) throw Error(where + ": a line without '=': " + line);
    c.lines_.push_back({group, Trim(line.substr(0, eq)), Trim(line.substr(eq + 1))});
  }
  return c;
}

bool Cfg::HasGroup(const std::string& group) const {
  for (const Line& l : lines_)
    if (l.group == group) return true;
  return false;
}

std::string Cfg::GetOr(const std::string& group, const std::string& key, const std::string& dflt) const {
  for (const Line& l : lines_)
    if (l.group == group && l.key == key) return l.value;
  return dflt;
}

std::string Cfg::Get(const std::string& group, const std::string& key) const {
  for (const Line& l : lines_)
    if (l.group == group && l.key == key) return l.value;
  throw Error(where_ + ": [" + group + "] has no " + key);
}

uint64_t Cfg::Num(const std::string& group, const std::string& key) const {
  return ParseNum(Get(group, key), where_ + " " + key);
}

uint64_t Cfg::NumOr(const std::string& group, const std::string& key, uint64_t dflt) const {
  for (const Line& l : lines_)
    if (l.group == group && l.key == key) return ParseNum(l.value, where_ + " " + key);
  return dflt;
}

std::vector<std::string> Cfg::All(const std::string& group, const std::string& key) const {
  std::vector<std::string> out;
  for (const Line& l : lines_)
    if (l.group == group && l.key == key) out.push_back(l.value);
  return out;
}

}  // namespace orvex::rk
