// Device-tree images: a single tree becomes single.dts; a multi-DTB container (plain or
// gzip-compressed) is split into its trees, each turned into a .dts source; a folder of sources
// is compiled back into an image of the form the previous one had.
#include <algorithm>
#include <filesystem>
#include <vector>

#include "image_kind.h"
#include "job_helpers.h"
#include "jobs.h"
#include "text.h"

namespace orvex {

namespace fs = std::filesystem;

namespace {

// A multi-tree container that grows past this no longer fits the partition uncompressed.
constexpr int64_t kLargestPlainMulti = 196607;

// The names of the regular files of a folder that end in `ext` (".dtb"), sorted.
std::vector<std::string> FilesEndingIn(const std::string& folder, const std::string& ext, bool* listed) {
  std::vector<std::string> names;
  std::error_code ec;
  fs::directory_iterator it(platform::ToPath(folder), ec);
  *listed = !ec;
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    std::string name = platform::FromPath(it->path().filename());
    if (name == "." || name == "..") continue;
    if (name.size() <= ext.size() || ToLower(name.substr(name.size() - ext.size())) != ext) continue;
    auto st = it->symlink_status(ec);
    if (ec || !fs::is_regular_file(st)) continue;
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string Stem(const std::string& fileName) {
  size_t dot = fileName.rfind('.');
  return dot == std::string::npos ? fileName : fileName.substr(0, dot);
}

bool CopyTree(const std::string& from, const std::string& to) {
  std::error_code ec;
  fs::copy(platform::ToPath(from), platform::ToPath(to), fs::copy_options::recursive | fs::copy_options::copy_symlinks,
           ec);
  return !ec;
}

void RemoveTree(const std::string& folder) {
  std::error_code ec;
  fs::remove_all(platform::ToPath(folder), ec);
}

}  // namespace

void UnpackSingleDtb(Context& ctx, const std::string& path) {
  const JobNames n = DeriveNames(path);
  RemoveFolder(ctx, n.path, true);
  ctx.log.LogLine(ctx.M(37) + " " + n.fileName + " |Single| " + ctx.M(30), false);
  const std::string dts = std::string(1, platform::kSep) + "single.dts";
  int code = RunTool(ctx, ctx.Tool("dtc"), "-I dtb -O dts -o " + Q(n.name) + dts + " " + Q(n.fileName), n.dir);
  if (FileSize(n.folder + dts) > 0) ctx.log.LogLine("Extract: single.dts", false);
  LogStep(ctx, "dtc", code, false);
}

void UnpackMultiDtb(Context& ctx, const std::string& path, const std::string& kind) {
  const JobNames n = DeriveNames(path);
  const std::string filePath = n.path, tmp = filePath + ".tmp", gz = filePath + ".gz";
  const bool gzipForm = kind == "Gzip";
  auto close = [&] { ctx.log.LogLine(ctx.M(38) + " " + n.fileName + " " + ctx.M(35), true); };
  RemoveFolder(ctx, filePath, true);

  if (gzipForm) {
    ctx.log.LogLine(ctx.M(37) + " " + n.fileName + " |Gzip| " + ctx.M(30), false);
    // gzip writes whatever the stream expands to: a stream that expands without end would fill
    // the disk, so it is measured first, in memory and with a limit.
    int check = RunTool(ctx, ctx.Tool("dtbSplit"), "-t " + Q(n.fileName), n.dir);
    if (check != 0) {
      LogStep(ctx, "dtbSplit", check, true);
      close();
      return;
    }
    // The compressed input is kept under .tmp and given back at the end; without that copy the
    // input would be left decompressed, so nothing is done when it cannot be made.
    if (platform::Exists(tmp) || platform::IsLink(tmp) || platform::Exists(gz) || platform::IsLink(gz)) {
      ctx.log.LogLine(">< !!! " + ctx.M(136) + ": " + DeriveNames(platform::Exists(tmp) ? tmp : gz).fileName, false);
      close();
      return;
    }
    if (!CopyFile(filePath, tmp) || FileSize(tmp) != FileSize(filePath) || !RenameFile(filePath, gz)) {
      ctx.log.LogLine(">< !!! " + ctx.M(136) + ": " + n.fileName + " => " + n.fileName + ".tmp", false);
      if (!platform::Exists(filePath)) RenameFile(gz, filePath);
      DeleteFile(tmp);
      close();
      return;
    }
    RunTool(ctx, ctx.Tool("gzip"), "-d " + Q(gz), n.dir);
    if (platform::Exists(gz)) {
      DeleteFile(filePath);
      RenameFile(gz, filePath);
    }
  } else {
    ctx.log.LogLine(ctx.M(37) + " " + n.fileName + " |Multi| " + ctx.M(30), false);
  }

  const int split = RunTool(ctx, ctx.Tool("dtbSplit"), Q(n.fileName) + " " + Q(n.name) + platform::kSep, n.dir);
  LogStep(ctx, "dtbSplit", split, true);
  int total = split;
  bool listed = false;
  std::vector<std::string> trees;
  if (split == 0) trees = FilesEndingIn(n.folder, ".dtb", &listed);
  if (split == 0 && listed) {
    for (const std::string& dtb : trees) {
      const std::string dts = Stem(dtb) + ".dts";
      total += RunTool(ctx, ctx.Tool("dtc"), "-I dtb -O dts -o " + Q(dts) + " " + Q(dtb), n.folder);
      if (FileSize(JoinPath(n.folder, dts)) > 0) ctx.log.LogLine("Extract: " + dts, false);
      DeleteFile(JoinPath(n.folder, dtb));
    }
    LogStep(ctx, "dtc", total, false);
  }

  if (FileSize(tmp) > 0) {
    DeleteFile(filePath);
    RenameFile(tmp, filePath);
  }
  if (total == 0) {
    ctx.recent.AddRecentFile(n.folder);
    ctx.recent.AddRecentFile(filePath);
  }
  close();
}

void PackDtb(Context& ctx, const std::string& folder) {
  const JobNames n = DeriveNames(folder);
  const std::string src = n.path, name = n.name, dir = n.dir;
  const std::string suffix = FileSize(src + ".PARTITION") > 0 ? ".PARTITION" : ".img";
  const std::string image = src + suffix, shown = name + suffix;
  const std::string bak = src + ".bak", work = src + "_";
  const std::string oldKind = DetectImageKind(image);
  const bool single = oldKind == "DtbSingle" || FileSize(JoinPath(src, "single.dts")) > 0;
  auto close = [&] { ctx.log.LogLine(ctx.M(40) + " " + shown + " " + ctx.M(35), true); };

  KeepOriginalOnce(ctx, image, src + ".org", shown, name + ".org");
  MoveToBackup(ctx, image, bak, shown, name + ".bak");
  if (FileSize(image) > 0) {
    // The previous image could not be moved aside: building now would overwrite it.
    close();
    return;
  }

  int total = 0;
  if (single) {
    ctx.log.LogLine(ctx.M(39) + " " + shown + " |Single| " + ctx.M(30), false);
    total = RunTool(ctx, ctx.Tool("dtc"),
                    "-I dts -O dtb -o " + Q(shown) + " " + Q(name) + platform::kSep + "single.dts", dir);
    LogStep(ctx, "dtc", total, false);
  } else {
    ctx.log.LogLine(ctx.M(39) + " " + shown + " |Multi| " + ctx.M(30), false);
    // A working copy left by an interrupted run would add its stale trees.
    RemoveTree(work);
    if (!CopyTree(src, work)) ++total;
    bool listed = false;
    for (const std::string& dts : FilesEndingIn(work, ".dts", &listed)) {
      const std::string dtb = Stem(dts) + ".dtb";
      ctx.log.LogLine("Pack: " + dts + " --> " + dtb, false);
      total += RunTool(ctx, ctx.Tool("dtc"), "-I dts -O dtb -f " + Q(dts) + " -o " + Q(dtb), work);
      if (!FileExists(JoinPath(work, dtb))) ++total;
      LogStep(ctx, "dtc", total, false);
      DeleteFile(JoinPath(work, dts));
    }
    total += RunTool(ctx, ctx.Tool("dtbTool"), "--verbose -p " + Q(ctx.root) + " -o " + Q(shown) + " " + Q(name + "_"),
                     dir);
    if (!FileExists(image)) ++total;
    LogStep(ctx, "dtbTool", total, true);
    RemoveTree(work);

    // Compression only for a container that was built completely: a tree that failed to compile
    // must not go unnoticed because the compression that follows succeeded.
    if (total == 0 && (oldKind == "Gzip" || FileSize(image) > kLargestPlainMulti)) {
      const std::string plainName = name + "_" + suffix;
      DeleteFile(dir + plainName);
      if (!RenameFile(image, dir + plainName)) {
        ++total;
      } else {
        ctx.log.LogLine("Packing in: multi/gzipped", false);
        total = RunTool(ctx, ctx.Tool("gzip"), "-nc " + Q(plainName) + " > " + Q(shown), dir);
        LogStep(ctx, "gzip", total, true);
        DeleteFile(dir + plainName);
      }
    }
  }

  if (total == 0) ctx.recent.AddRecentFile(src);
  if (!FileExists(image) || total != 0) {
    if (FileExists(bak)) RestoreBackup(ctx, bak, image, name + ".bak", shown);
    else DeleteFile(image);
  } else {
    DropBackup(ctx, bak);
  }
  close();
}

}  // namespace orvex
