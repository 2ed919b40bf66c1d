#include "workspace.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "jobs.h"
#include "platform.h"
#include "text.h"
#include "tool_runner.h"

namespace orvex {

namespace fs = std::filesystem;

std::string StripTrailingSeparators(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && platform::IsSeparator(p.back())) p.pop_back();
  return p;
}

std::string JoinPath(const std::string& a, const std::string& b) {
  if (a.empty()) return b;
  if (platform::IsSeparator(a.back())) return a + b;
  return a + platform::kSep + b;
}

JobNames DeriveNames(const std::string& input) {
  JobNames n;
  n.path = StripTrailingSeparators(input);
  size_t slash = std::string::npos;
  for (size_t i = n.path.size(); i-- > 0;)
    if (platform::IsSeparator(n.path[i])) {
      slash = i;
      break;
    }
  n.dir = slash == std::string::npos ? "" : n.path.substr(0, slash + 1);
  n.fileName = slash == std::string::npos ? n.path : n.path.substr(slash + 1);
  size_t dot = n.fileName.rfind('.');
  if (dot == std::string::npos) {
    n.name = n.fileName;
  } else {
    n.name = n.fileName.substr(0, dot);
    n.rawExt = n.fileName.substr(dot + 1);
    n.ext = ToLower(n.rawExt);
  }
  n.folder = n.dir + n.name;
  n.lname = ToLower(n.name);
  return n;
}

int IsFolderEmpty(const std::string& folder) {
  std::error_code ec;
  fs::directory_iterator it(platform::ToPath(folder), ec);
  if (ec) return -1;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) return 0;
    if (!it->path().filename().empty()) return 0;
  }
  return 1;
}

int RemoveFolder(Context& ctx, const std::string& path, bool recreate) {
  JobNames n = DeriveNames(path);
  std::string folder = n.folder;
  if (IsFolderEmpty(folder) == 0) {
    ctx.log.LogLine(ctx.M(22) + " " + ctx.M(30), false);
    platform::ToolCommand cmd = platform::RemoveTreeCommand(folder);
    int code = RunTool(ctx, cmd.tool, cmd.args, "");
    LogStep(ctx, "rmdir", code, false);
  }
  if (recreate) CreateFolder(folder);
  return 0;
}

int64_t FolderSize(const std::string& folder) {
  int64_t total = 0;
  std::error_code ec;
  fs::directory_iterator it(platform::ToPath(folder), ec);
  if (ec) return 0;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    auto st = it->symlink_status(ec);
    if (ec) continue;
    if (fs::is_symlink(st)) continue;
    if (fs::is_directory(st)) total += FolderSize(platform::FromPath(it->path()));
    else if (fs::is_regular_file(st)) {
      auto sz = it->file_size(ec);
      if (!ec) total += static_cast<int64_t>(sz);
    }
  }
  return total;
}

std::string FormatSize(int64_t bytes) {
  std::string sign;
  uint64_t v = static_cast<uint64_t>(bytes);
  if (bytes < 0) {
    sign = "-";
    v = 0 - v;
  }
  static const char* units[] = {"bytes", "KB", "MB", "GB", "TB", "PB", "EB"};
  int u = 0;
  uint64_t value = v;
  while (value > 1023) {
    value /= 1024;
    ++u;
  }
  std::string number;
  if (u == 0) {
    number = std::to_string(v);
  } else {
    double d = static_cast<double>(v) / std::pow(1024.0, u);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.15f", d);
    std::string s = buf;
    size_t p = s.find('.') + 1;  // 1-based position of the point
    number = p > 3 ? s.substr(0, p - 1) : s.substr(0, p + 2);
  }
  return sign + number + " " + units[u];
}

std::string ReadKeyValue(std::istream& file, const std::string& key, const std::string& defaultValue, int occurrence,
                         const std::string& section, const std::string& stopKey) {
  std::string result = defaultValue;
  if (!file) {
    file.clear();
    if (!file.seekg(0)) return result;
  }
  bool inSection = false;
  int found = 1;
  std::string line;
  while (std::getline(file, line)) {
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name = Trim(std::string_view(line).substr(0, colon));
    std::string value = Trim(std::string_view(line).substr(colon + 1));
    if (section.empty() || EqualsNoCase(name, section)) inSection = true;
    if (inSection && EqualsNoCase(name, key)) {
      result = value;
      if (found == occurrence) break;
      ++found;
    }
    if (!stopKey.empty() && EqualsNoCase(name, stopKey)) {
      result = "Break";
      break;
    }
  }
  file.clear();
  file.seekg(0);
  return result;
}

std::string ReadKeyValueFile(const std::string& path, const std::string& key, const std::string& defaultValue) {
  std::ifstream f(platform::ToPath(path), std::ios::binary);
  if (!f) return defaultValue;
  return ReadKeyValue(f, key, defaultValue);
}

int RecycleDelete(const std::string& path) { return platform::MoveToTrash(path) ? 1 : 0; }

std::string UniqueImageName(Context& ctx, const std::string& folder, const std::string& name) {
  std::string suffix;
  if (ctx.settings.Int("Index_Add") == 1) {
    for (int i = 0; i <= 100; ++i) {
      suffix = i == 0 ? "" : "(" + std::to_string(i) + ")";
      if (!platform::Exists(folder + name + suffix + ".img")) break;
    }
  }
  return name + suffix + ".img";
}

int Is64BitWindows() { return platform::Is64BitHost() ? 1 : 0; }

int PackPartitionFolders(Context& ctx, const std::string& folder) {
  struct Group {
    const char* setting;
    std::vector<const char*> names;
  };
  static const Group groups[] = {
      {"Pack_System", {"system", "Image/system", "system_a", "system_b", "system_ext", "system_ext_a", "system_ext_b"}},
      {"Pack_Vendor", {"vendor", "Image/vendor", "vendor_a", "vendor_b"}},
      {"Pack_Product", {"product", "product_a", "product_b"}},
      {"Pack_Odm", {"odm", "odm_a", "odm_b"}},
  };
  for (const auto& g : groups) {
    if (ctx.settings.Int(g.setting) != 1) continue;
    for (const char* n : g.names) {
      std::string rel = n;
      for (char& c : rel)
        if (c == '/') c = platform::kSep;
      std::string sub = JoinPath(folder, rel);
      if (IsFolderEmpty(sub) == 0) PackPartitionImage(ctx, sub);
    }
  }
  return 0;
}

int64_t FileSize(const std::string& path) { return platform::FileSizeOrMarker(path); }

bool FileExists(const std::string& path) { return platform::Exists(path); }

bool DeleteFile(const std::string& path) {
  std::error_code ec;
  auto p = platform::ToPath(path);
  auto st = fs::symlink_status(p, ec);
  if (ec || !fs::exists(st) || fs::is_directory(st)) return false;
  if (!fs::is_symlink(st)) fs::permissions(p, fs::perms::owner_write, fs::perm_options::add, ec);
  return fs::remove(p, ec);
}

bool RenameFile(const std::string& from, const std::string& to) {
  std::error_code ec;
  auto f = platform::ToPath(from), t = platform::ToPath(to);
  if (!fs::exists(fs::symlink_status(f, ec))) return false;
  // A rename never replaces a file that is already there.
  if (fs::exists(fs::symlink_status(t, ec)) && !fs::equivalent(f, t, ec)) return false;
  fs::rename(f, t, ec);
  return !ec;
}

bool CreateFolder(const std::string& path) {
  std::error_code ec;
  fs::create_directories(platform::ToPath(path), ec);
  return platform::IsDirectory(path);
}

std::string ReadWholeFile(const std::string& path, bool* ok) {
  std::ifstream f(platform::ToPath(path), std::ios::binary);
  if (ok) *ok = static_cast<bool>(f);
  if (!f) return {};
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

bool WriteWholeFile(const std::string& path, const std::string& bytes) {
  std::ofstream f(platform::ToPath(path), std::ios::binary | std::ios::trunc);
  if (!f) return false;
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(f);
}

}  // namespace orvex
