// Unpacks update packages (zip), 7z and rar archives, tar and tar.md5 images and gzip files
// beside themselves, records what the archive held, and hands the partition images found in it
// to the partition jobs.
#include <filesystem>

#include "archive_checks.h"
#include "job_helpers.h"
#include "jobs.h"
#include "text.h"

namespace fs = std::filesystem;

namespace orvex {

namespace {

// The top-level entries of a folder in listing order, folders with a trailing backslash, without
// the list file itself; each followed by `lineEnd`.
bool WriteEntryList(const std::string& folder, const std::string& listName, const char* lineEnd) {
  std::error_code ec;
  fs::directory_iterator it(platform::ToPath(folder), ec);
  if (ec) return false;
  std::string text;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) return false;
    std::string name = platform::FromPath(it->path().filename());
    if (name == listName) continue;
    bool isFolder = it->is_directory(ec) && !it->is_symlink(ec);
    text += name + (isFolder ? "\\" : "") + lineEnd;
  }
  return WriteWholeFile(JoinPath(folder, listName), text);
}

std::string FirstNonEmpty(const std::string& folder, std::initializer_list<std::string> candidates) {
  for (const auto& c : candidates) {
    std::string p = JoinPath(folder, c);
    if (FileSize(p) > 0) return p;
  }
  return "";
}

const char* const kPartitions[][2] = {
    {"system", "Unpack_System"}, {"vendor", "Unpack_Vendor"}, {"product", "Unpack_Product"}, {"odm", "Unpack_Odm"}};

// Clears the output folder the way the unpack of an image does, and creates it.
void ClearOutputFolder(Context& ctx, const std::string& folder) { RemoveFolder(ctx, folder + ".x", true); }

}  // namespace

void UnpackZipArchive(Context& ctx, const std::string& path) {
  const JobNames n = DeriveNames(path);
  RemoveFolder(ctx, path, true);
  ctx.log.LogLine(ctx.M(32) + " " + n.fileName + " " + ctx.M(30), false);
  int code = -1;
  if (CheckSevenZipArchive(ctx, n.fileName, n.dir, n.folder)) {
    code = RunTool(ctx, ctx.Tool("7z"), "x " + Q(n.fileName) + " -o" + Q(n.name) + " -y", n.dir);
    LogStep(ctx, "7z", code);
    // Also after a failed run: what 7-Zip made before it stopped stays in the folder.
    RemoveEscapingLinks(ctx, n.folder);
  }
  if (code == 0) {
    WriteEntryList(n.folder, "zipFileList.cfg", "\r\n");
    ctx.recent.AddRecentFile(n.folder);
    ctx.recent.AddRecentFile(path);
    if (ctx.settings.Int("Unpack_Super") == 1) {
      std::string super = FirstNonEmpty(n.folder, {"super.PARTITION", "super.fex", "super.img", P({"Image", "super.img"})});
      if (!super.empty()) UnpackSuperImage(ctx, super);
    }
    for (const auto& [part, setting] : kPartitions) {
      if (ctx.settings.Int(setting) != 1) continue;
      const std::string dat = JoinPath(n.folder, std::string(part) + ".new.dat");
      const std::string br = dat + ".br";
      if (FileSize(dat) > 0)
        UnpackTransferList(ctx, dat);
      else if (FileSize(br) > 0)
        DecompressTransferList(ctx, br);
    }
    // An A/B update package carries its partitions in one payload.
    const std::string payload = JoinPath(n.folder, "payload.bin");
    if (FileSize(payload) > 0) UnpackPayload(ctx, payload);
  }
  ctx.log.LogLine(ctx.M(36) + " " + n.fileName + " " + ctx.M(35), true);
  if (ctx.settings.Int("Open_Folder") == 1) ctx.ui.OpenFolder(n.folder);
}

void Unpack7zArchive(Context& ctx, const std::string& path) {
  JobNames n = DeriveNames(path);
  const bool subfolder = ctx.settings.Int("Subfolder") == 1;
  std::string name = n.name;
  if (n.ext == "001" && subfolder) name = DeriveNames(n.dir + n.name).name;  // fw.7z.001 -> fw
  const std::string folder = n.dir + name;
  std::string args = "x " + Q(n.fileName);
  if (subfolder) {
    ClearOutputFolder(ctx, folder);
    args += " -o" + Q(name);
  }
  args += " -y";
  int code = -1;
  if (CheckSevenZipArchive(ctx, n.fileName, n.dir, subfolder ? folder : n.dir)) {
    code = RunTool(ctx, ctx.Tool("7z"), args, n.dir);
    LogStep(ctx, "7z", code);
    if (subfolder) RemoveEscapingLinks(ctx, folder);
  }
  if (code != 0) return;
  if (ctx.settings.Int("Seven_UnPack") == 1 && IsFolderEmpty(folder) >= 0) {
    std::error_code ec;
    for (fs::directory_iterator it(platform::ToPath(folder), ec); !ec && it != fs::directory_iterator();
         it.increment(ec))
      if (ctx.queuePath) ctx.queuePath(JoinPath(folder, platform::FromPath(it->path().filename())));
  }
  if (ctx.settings.Int("Delete_Archive") == 1) {
    ctx.log.LogLine("Удаляем файл архива: " + n.fileName + " в корзину.", false);
    LogOutcome(ctx, RecycleDelete(path) == 1);
  }
}

void UnpackTarArchive(Context& ctx, const std::string& path) {
  const JobNames n = DeriveNames(path);
  std::string name = n.name;
  if (EndsWith(ToLower(name), ".tar")) name.resize(name.size() - 4);  // fw.tar.md5 -> fw
  const std::string folder = n.dir + name;
  ClearOutputFolder(ctx, folder);
  ctx.log.LogLine(ctx.M(32) + " " + n.fileName + " " + ctx.M(30), false);
  if (CheckTarArchive(ctx, n.fileName, n.dir, folder)) {
    int code = RunTool(ctx, ctx.Tool("tar"), "-xvf " + Q(n.fileName) + " -C " + Q(name) + " " +
                                                 std::string(platform::NullError()),
                       n.dir);
    LogStep(ctx, "tar", code);
  }
  int listed = RunTool(ctx, ctx.Tool("ls"), "-l " + std::string(platform::NullError()), folder);
  LogStep(ctx, "ls", listed);
  if (listed == 0) {
    RemoveEscapingLinks(ctx, folder);
    WriteEntryList(folder, "tarFileList.cfg", "\n");
    ctx.recent.AddRecentFile(folder);
    ctx.recent.AddRecentFile(path);
    for (const auto& [part, setting] : kPartitions) {
      if (ctx.settings.Int(setting) != 1) continue;
      const std::string p = part;
      const std::string found = FirstNonEmpty(folder, {p + ".img.ext4.lz4", p + ".img.lz4", p + ".img.ext4", p + ".img"});
      if (found.empty()) continue;
      if (EndsWith(ToLower(found), ".lz4"))
        UnpackLz4Image(ctx, found);
      else if (EndsWith(ToLower(found), ".ext4"))
        ConvertImage(ctx, found);
      else
        UnpackPartitionImage(ctx, found);
    }
  }
  if (ctx.settings.Int("Open_Folder") == 1) ctx.ui.OpenFolder(folder);
}

void UnpackGzipFile(Context& ctx, const std::string& path) {
  const JobNames n = DeriveNames(path);
  int code = RunTool(ctx, ctx.Tool("gzip"), "-d " + Q(n.dir + n.fileName), n.dir);
  LogStep(ctx, "gzip", code);
}

}  // namespace orvex
