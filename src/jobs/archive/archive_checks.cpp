#include "archive_checks.h"

#include <filesystem>
#include <sstream>

#include "job_helpers.h"
#include "text.h"

namespace fs = std::filesystem;

namespace orvex {

namespace {

constexpr const char* kWarn = ">< !!! ";

bool ParseU64(const std::string& text, uint64_t* out) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    uint64_t next = v * 10 + static_cast<uint64_t>(c - '0');
    if (next / 10 != v) return false;
    v = next;
  }
  *out = v;
  return true;
}

uint64_t AddSaturating(uint64_t a, uint64_t b) { return a + b < a ? UINT64_MAX : a + b; }

bool FitsOnDisk(Context& ctx, const std::vector<ArchiveEntry>& entries, const std::string& outputFolder) {
  uint64_t total = 0;
  for (const auto& e : entries) total = AddSaturating(total, e.size);
  std::error_code ec;
  fs::path probe = platform::ToPath(outputFolder);
  while (!probe.empty() && !fs::exists(probe, ec)) probe = probe.parent_path();
  auto space = fs::space(probe.empty() ? fs::path(".") : probe, ec);
  if (ec) return true;  // nothing known about the disk: leave it to the tool
  if (total <= space.available) return true;
  ctx.log.LogLine(std::string(kWarn) + "The archive unpacks to " + FormatSize(static_cast<int64_t>(std::min<uint64_t>(total, INT64_MAX))) +
                      ", the disk has " + FormatSize(static_cast<int64_t>(space.available)) + " free: not unpacked",
                  false);
  ++ctx.log.errorCount;
  return false;
}

}  // namespace

std::vector<ArchiveEntry> ParseSevenZipListing(const std::string& listing) {
  std::vector<ArchiveEntry> out;
  bool inEntries = false;
  ArchiveEntry* cur = nullptr;
  for (std::string line : Split(listing, '\n')) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!inEntries) {
      if (line.rfind("----------", 0) == 0) inEntries = true;
      continue;
    }
    if (line.rfind("Path = ", 0) == 0) {
      out.push_back(ArchiveEntry{line.substr(7)});
      cur = &out.back();
    } else if (cur && line.rfind("Size = ", 0) == 0) {
      ParseU64(line.substr(7), &cur->size);
    } else if (cur && line.rfind("Attributes = ", 0) == 0) {
      // "A_ -rwxr-xr-x" or "-rwxr-xr-x": a unix mode that starts with 'l' is a symbolic link.
      std::string a = line.substr(13);
      size_t blank = a.rfind(' ');
      std::string mode = blank == std::string::npos ? a : a.substr(blank + 1);
      cur->isLink = !mode.empty() && mode[0] == 'l' && mode.size() == 10;
    } else if (cur && line.rfind("Symbolic Link = ", 0) == 0) {
      cur->isLink = true;
    }
  }
  return out;
}

std::vector<ArchiveEntry> ParseTarListing(const std::string& listing) {
  std::vector<ArchiveEntry> out;
  for (const std::string& line : Split(listing, '\n')) {
    std::istringstream in(line);
    std::string mode, owner, size;
    if (!(in >> mode >> owner >> size)) continue;
    ArchiveEntry e;
    if (!ParseU64(size, &e.size)) continue;
    e.isLink = !mode.empty() && mode[0] == 'l';
    out.push_back(e);
  }
  return out;
}

bool EntryLeavesFolder(const std::string& name) {
  if (name.empty()) return false;
  if (name[0] == '/' || name[0] == '\\') return true;
  if (name.size() >= 2 && name[1] == ':') return true;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find_first_of("/\\", start);
    if (end == std::string::npos) end = name.size();
    if (name.compare(start, end - start, "..") == 0) return true;
    start = end + 1;
  }
  return false;
}

bool CheckSevenZipArchive(Context& ctx, const std::string& archive, const std::string& workdir,
                          const std::string& outputFolder) {
  std::string listing;
  int code = CaptureTool(ctx, ctx.Tool("7z"), "l -slt -ba " + Q(archive), workdir, &listing);
  // Without the -ba switch's plain form (older 7-Zip) the listing still has its marker line.
  std::vector<ArchiveEntry> entries = ParseSevenZipListing("----------\n" + listing);
  if (code != 0) return true;  // 7-Zip reports what it cannot read when it extracts
  bool ok = true;
  for (const auto& e : entries) {
    if (EntryLeavesFolder(e.name)) {
      ctx.log.LogLine(std::string(kWarn) + "Entry outside the output folder: " + SanitizeUtf8(e.name), false);
      ok = false;
    }
  }
  if (!ok) {
    ctx.log.LogLine(std::string(kWarn) + "The archive names entries outside its folder: not unpacked", false);
    ++ctx.log.errorCount;
    return false;
  }
  return FitsOnDisk(ctx, entries, outputFolder);
}

bool CheckTarArchive(Context& ctx, const std::string& archive, const std::string& workdir,
                     const std::string& outputFolder) {
  std::string listing;
  if (CaptureTool(ctx, ctx.Tool("tar"), "-tvf " + Q(archive), workdir, &listing) != 0) return true;
  return FitsOnDisk(ctx, ParseTarListing(listing), outputFolder);
}

int RemoveEscapingLinks(Context& ctx, const std::string& folder) {
  std::error_code ec;
  const fs::path root = fs::weakly_canonical(platform::ToPath(folder), ec);
  if (ec) return 0;
  int removed = 0;
  std::vector<fs::path> bad;
  for (auto it = fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->is_symlink(ec)) continue;
    fs::path target = fs::read_symlink(it->path(), ec);
    if (ec) {
      ec.clear();
      continue;
    }
    bool leaves = target.is_absolute() || target.has_root_name();
    if (!leaves) {
      fs::path resolved = (it->path().parent_path() / target).lexically_normal();
      auto rel = resolved.lexically_relative(root);
      leaves = rel.empty() || *rel.begin() == "..";
    }
    if (leaves) bad.push_back(it->path());
  }
  for (const auto& p : bad) {
    ctx.log.LogLine(std::string(kWarn) + "Link leading out of the folder removed: " +
                        platform::FromPath(p.lexically_relative(root)) + " -> " +
                        platform::FromPath(fs::read_symlink(p, ec)),
                    false);
    if (fs::remove(p, ec)) ++removed;
  }
  if (removed) ++ctx.log.errorCount;
  return removed;
}

}  // namespace orvex
