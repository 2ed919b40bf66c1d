// What both forms of the front share: the options file and the context file copy.
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "front.h"
#include "platform.h"

std::string KeyValue(const std::string& file, const std::string& key) {
  std::ifstream in(orvex::platform::ToPath(file));
  std::string line;
  while (std::getline(in, line)) {
    auto colon = line.find(':');
    if (colon == std::string::npos || line.substr(0, colon) != key) continue;
    std::string v = line.substr(colon + 1);
    while (!v.empty() && (v.back() == '\r' || v.back() == ' ')) v.pop_back();
    while (!v.empty() && v.front() == ' ') v.erase(0, 1);
    return v;
  }
  return "";
}

std::string PrepareContexts(std::vector<std::string>& args, const std::string& optionsFile) {
  std::string mount = KeyValue(optionsFile, "Mount point");
  while (mount.size() > 1 && mount.back() == '/') mount.pop_back();
  if (mount.empty() || mount == "/") return "";
  size_t at = std::string::npos;
  std::string file;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i].rfind("--file-contexts=", 0) == 0) {
      at = i;
      file = args[i].substr(16);
    } else if (args[i] == "--file-contexts" && i + 1 < args.size()) {
      at = i + 1;
      file = args[i + 1];
    }
  }
  if (at == std::string::npos) return "";
  std::ifstream in(orvex::platform::ToPath(file));
  if (!in) return "";
  std::vector<std::string> lines;
  std::set<std::string> specs;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    std::istringstream w(line);
    std::string spec;
    if (w >> spec && spec[0] != '#') specs.insert(spec);
  }
  std::vector<std::string> twins;
  for (const auto& l : lines) {
    std::istringstream w(l);
    std::string spec;
    if (!(w >> spec) || spec[0] == '#') continue;
    std::string inside;
    if (spec == mount) inside = "/";
    else if (spec.rfind(mount + "/", 0) == 0) inside = spec.substr(mount.size());
    else continue;
    if (specs.count(inside)) continue;
    specs.insert(inside);
    twins.push_back(inside + l.substr(spec.size()));
  }
  if (twins.empty()) return "";
  std::string out = file + ".build";
  std::ofstream o(orvex::platform::ToPath(out), std::ios::trunc);
  for (const auto& l : lines) o << l << "\n";
  for (const auto& l : twins) o << l << "\n";
  if (!o) return "";
  args[at] = args[at].rfind("--file-contexts=", 0) == 0 ? "--file-contexts=" + out : out;
  std::fprintf(stderr, "mkfs.erofs: %zu added labels looked up inside the image too\n", twins.size());
  return out;
}

