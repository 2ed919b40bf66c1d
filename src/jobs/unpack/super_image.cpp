// Splits a super image (dynamic partitions, sparse or raw) into its partition images, records
// its layout in config/super_config.txt for the super pack, and unpacks the main partitions.
#include <algorithm>
#include <filesystem>
#include <vector>

#include "image_kind.h"
#include "job_helpers.h"
#include "jobs.h"
#include "text.h"

namespace orvex {

namespace {

// The "*.img" entries of a folder, by name.
std::vector<std::string> ImgEntries(const std::string& folder, bool* listed) {
  std::vector<std::string> out;
  std::error_code ec;
  std::filesystem::directory_iterator it(platform::ToPath(folder), ec);
  *listed = !ec;
  if (ec) return out;
  for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    std::error_code fec;
    if (it->is_directory(fec)) continue;
    const std::string name = platform::FromPath(it->path().filename());
    if (name.size() > 4 && ToLower(name.substr(name.size() - 4)) == ".img") out.push_back(name);
  }
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace

void UnpackSuperImage(Context& ctx, const std::string& filePath) {
  const JobNames n = DeriveNames(filePath);
  const std::string form = DetectImageKind(filePath) == "Sparse" ? "Sparse" : "Raw";
  const std::string rawCopyName = n.name + "_raw." + n.ext;
  std::string rawImage = n.fileName;

  ctx.log.LogLine(ctx.M(37) + " " + n.fileName + " |" + form + "| " + ctx.M(30), true);

  if (form == "Sparse") {
    ctx.log.LogLine(ctx.M(166) + " " + n.fileName + " |Sparse| " + ctx.M(87) + " " + rawCopyName + " |Raw|", true);
    const int code = RunTool(ctx, ctx.Tool("simg2img"), Q(n.fileName) + " " + Q(rawCopyName), n.dir);
    LogStep(ctx, "simg2img", code, true);
    rawImage = rawCopyName;
  }

  RemoveFolder(ctx, filePath, true);
  ctx.log.LogLine(ctx.M(181) + " " + rawImage + " |Raw|", false);

  const std::string layoutRel = P({n.name, "config", "super_config.txt"});
  int splitCode;
  if (Is64BitWindows() == 1) {
    CreateFolder(P({n.folder, "config"}));
    RunTool(ctx, ctx.Tool("makesuper/lpdump"), "--slot=0 " + Q(rawImage) + "> " + Q(layoutRel), n.dir);
    splitCode = RunTool(ctx, ctx.Tool("makesuper/lpunpack"), Q(rawImage) + " " + Q(n.name), n.dir);
    LogStep(ctx, "lpunpack", splitCode, true);
  } else {
    splitCode = RunTool(ctx, ctx.Tool("sunpack"), Q(n.dir + rawImage), n.folder);
    LogStep(ctx, "superunpack", splitCode, true);
    // The same slot-b files the 64-bit split leaves: an empty X_b for every X_a.
    std::error_code ec;
    std::vector<std::filesystem::path> entries;
    for (std::filesystem::directory_iterator it(platform::ToPath(n.folder), ec), end; !ec && it != end; it.increment(ec))
      entries.push_back(it->path());
    for (const auto& e : entries) {
      const std::string stem = platform::FromPath(e.stem());
      if (stem.size() < 2 || stem.substr(stem.size() - 2) != "_a") continue;
      const std::string b = JoinPath(n.folder, stem.substr(0, stem.size() - 2) + "_b" + platform::FromPath(e.extension()));
      if (!platform::Exists(b)) WriteWholeFile(b, "");
    }
  }

  if (splitCode == 0) {
    ctx.recent.AddRecentFile(n.folder);
    ctx.recent.AddRecentFile(filePath);
  }

  const int64_t superSize = FileSize(n.dir + rawImage);
  const std::string rawCopy = n.folder + "_raw." + n.ext;
  if (FileSize(rawCopy) <= 0 || ctx.settings.Int("Not_Delete") == 0) DeleteFile(rawCopy);

  bool listed = false;
  const std::vector<std::string> images = ImgEntries(n.folder, &listed);
  if (listed) {
    if (n.ext != "img") ctx.log.LogLine(ctx.M(70) + ": *.img " + ctx.M(87) + " *." + n.ext, true);
    int64_t partsTotal = 0;
    for (const std::string& img : images) {
      const std::string newName = img.substr(0, img.size() - 4) + "." + n.ext;
      const std::string newPath = JoinPath(n.folder, newName);
      if (newName != img) RenameFile(JoinPath(n.folder, img), newPath);
      const int64_t size = std::max<int64_t>(0, FileSize(newPath));
      ctx.log.LogLine("Partition: " + newName + " Size: " + FormatSize(size), false);
      partsTotal += size;
    }
    ctx.log.LogLine(">< !!! " + ctx.M(41) + " " + FormatSize(superSize - partsTotal), false);
    ctx.log.LogLine(" ", false);
  }

  const std::string layout = P({n.folder, "config", "super_config.txt"});
  if (FileSize(layout) > 0) {
    if (std::FILE* f = platform::OpenFile(layout, "ab")) {
      const std::string sep = "------------------------\r\n";
      const std::string block = "File information:\r\n" + sep + "  FileName: " + n.fileName + "\r\n" +
                                "  FileType: " + form + "\r\n" + "  PartExt: " + n.ext + "\r\n" + sep;
      std::fwrite(block.data(), 1, block.size(), f);
      std::fclose(f);
    }
  }

  UnpackFirmwareFolder(ctx, n.folder);
}

}  // namespace orvex
