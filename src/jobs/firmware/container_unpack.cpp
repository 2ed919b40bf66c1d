// Unpacks vendor firmware containers and their small packed sub-images with the vendor tools,
// then hands a firmware folder on to the super or partition unpacks.
#include <filesystem>

#include "image_kind.h"
#include "job_helpers.h"
#include "jobs.h"

namespace orvex {

namespace {

// The repacker build the setting names ("106" or "107").
std::string RockchipTool(Context& ctx) { return ctx.Tool("imgRePackerRK" + ctx.settings.Text("Ver")); }

// Deletes an output folder that the tool left empty; true when it did. A folder that is missing
// counts as empty: there is nothing to hand on.
bool DropEmptyFolder(const std::string& folder) {
  if (!platform::IsDirectory(folder)) return true;
  if (IsFolderEmpty(folder) != 1) return false;
  std::error_code ec;
  std::filesystem::remove(platform::ToPath(folder), ec);
  return true;
}

void RemoveOldFolder(Context& ctx, const std::string& folder) {
  if (IsFolderEmpty(folder) != 0) return;
  ctx.log.LogLine(ctx.M(31) + " " + ctx.M(30), false);
  const platform::ToolCommand cmd = platform::RemoveTreeCommand(folder);
  LogStep(ctx, "rmdir", RunTool(ctx, cmd.tool, cmd.args, ""));
}

}  // namespace

void UnpackFirmwareContainer(Context& ctx, const std::string& path) {
  const JobNames n = DeriveNames(path);
  const std::string kind = DetectImageKind(path);
  const bool dumpFolder = kind == "Rockchip" || kind == "Allwinner";
  const std::string outFolder = dumpFolder ? n.path + ".dump" : n.folder;

  const std::string md5 = n.folder + ".md5";
  if (FileSize(md5) > 0) {
    ctx.log.LogLine(ctx.M(160) + ":md5 " + ctx.M(30), false);
    const int code = RunTool(ctx, ctx.Tool("md5sum"), "-c " + Q(n.name + ".md5") + " " + std::string(platform::NullError()),
                             n.dir);
    LogStep(ctx, "md5sum", code);
    if (code != 0) return;
  }
  RemoveOldFolder(ctx, outFolder);

  if (kind == "Amlogic") {
    ctx.log.LogLine(ctx.M(32) + " " + n.fileName + " |CPU-Amlogic| " + ctx.M(30), false);
    CreateFolder(outFolder);
    LogStep(ctx, "AmlImagePack", RunTool(ctx, ctx.Tool("AmlImagePack"), "-d " + Q(n.fileName) + " " + Q(n.name), n.dir));
  } else if (kind == "Rockchip") {
    ctx.log.LogLine(ctx.M(32) + " " + n.fileName + " |CPU-Rockchip| " + ctx.M(30), false);
    int code = RunTool(ctx, RockchipTool(ctx), Q(n.fileName), n.dir);
    if (code != 0) {
      // The other build of the repacker knows other firmware; the switch stays in force.
      const std::string ver = ctx.settings.Text("Ver");
      if (ver == "106") ctx.settings.SetText("Ver", "107");
      if (ver == "107") ctx.settings.SetText("Ver", "106");
      ctx.log.LogLine(ctx.M(94) + ": imgRepackerRK v." + ctx.settings.Text("Ver") + " " + ctx.M(30), false);
      code = RunTool(ctx, RockchipTool(ctx), Q(n.fileName), n.dir);
    }
    LogStep(ctx, "ImgRePackerRK", code);
  } else if (kind == "Allwinner") {
    ctx.log.LogLine(ctx.M(32) + " " + n.fileName + " |CPU-Allwinner| " + ctx.M(30), false);
    LogStep(ctx, "ImgRePacker", RunTool(ctx, ctx.Tool("imgRePacker"), Q(n.fileName), n.dir));
  } else if (kind == "Sparse" || kind == "Raw") {
    UnpackPartitionImage(ctx, path);
  }
  ctx.log.LogLine(ctx.M(36) + " " + n.fileName + " " + ctx.M(35), true);

  if (DropEmptyFolder(outFolder)) return;
  ctx.recent.AddRecentFile(outFolder);
  ctx.recent.AddRecentFile(n.path);
  if (ctx.settings.Int("Unpack_Super") == 1) {
    for (const std::string& rel : {std::string("super.PARTITION"), std::string("super.fex"), std::string("super.img"),
                                   P({"Image", "super.img"})}) {
      const std::string super = JoinPath(outFolder, rel);
      if (FileSize(super) > 0) {
        UnpackSuperImage(ctx, super);
        return;
      }
    }
  }
  UnpackFirmwareFolder(ctx, outFolder);
}

// The Rockchip and Allwinner sub-images: the repacker writes {FilePath}.dump and its .cfg.
static void UnpackSubImage(Context& ctx, const std::string& path, const std::string& tool, const char* label) {
  const JobNames n = DeriveNames(path);
  ctx.log.LogLine(ctx.M(37) + " " + n.fileName + " " + ctx.M(30), false);
  const int code = RunTool(ctx, tool, Q(n.path), "");
  LogStep(ctx, label, code);
  if (code == 0) {
    ctx.recent.AddRecentFile(n.path + ".dump");
    ctx.recent.AddRecentFile(n.path);
  }
  ctx.log.LogLine(ctx.M(38) + " " + n.fileName + " " + ctx.M(35), true);
}

void UnpackRockchipImage(Context& ctx, const std::string& path) {
  UnpackSubImage(ctx, path, RockchipTool(ctx), "ImgRePackerRK");
}

void UnpackAllwinnerImage(Context& ctx, const std::string& path) {
  UnpackSubImage(ctx, path, ctx.Tool("imgRePacker"), "ImgRePacker");
}

void UnpackAmlLogoImage(Context& ctx, const std::string& path) {
  const JobNames n = DeriveNames(path);
  RemoveFolder(ctx, path, true);
  ctx.log.LogLine(ctx.M(37) + " " + n.fileName + " " + ctx.M(30), false);
  const int code = RunTool(ctx, ctx.Tool("imgpack"), "-d " + Q(n.fileName) + " " + Q(n.name), n.dir);
  LogStep(ctx, "ImgPack", code);
  if (code == 0) {
    ctx.recent.AddRecentFile(n.folder);
    ctx.recent.AddRecentFile(n.path);
  }
  ctx.log.LogLine(ctx.M(38) + " " + n.fileName + " " + ctx.M(35), true);
}

void UnpackPacFirmware(Context& ctx, const std::string& path) {
  // PacExtractor is one of our own tools, a native program: no java runtime is involved.
  const JobNames n = DeriveNames(path);
  RemoveOldFolder(ctx, n.folder);
  ctx.log.LogLine(ctx.M(32) + " " + n.fileName + " " + ctx.M(30), false);
  LogStep(ctx, "PacExtractor", RunTool(ctx, ctx.Tool("PacExtractor"), Q(n.fileName) + " " + Q(n.folder), n.dir));
  ctx.log.LogLine(ctx.M(36) + " " + n.fileName + " " + ctx.M(35), true);
  if (DropEmptyFolder(n.folder)) return;
  ctx.recent.AddRecentFile(n.path);
  if (ctx.settings.Int("Open_Folder") == 1) ctx.ui.OpenFolder(n.folder);
}

}  // namespace orvex
