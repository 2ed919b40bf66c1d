// Boot and recovery images (.PARTITION files with the Android boot header): unpacked into the
// folder beside them and built again from it by AndImgTool.
#include "job_helpers.h"
#include "jobs.h"

namespace orvex {

void UnpackBootImage(Context& ctx, const std::string& path) {
  const JobNames n = DeriveNames(path);
  RemoveFolder(ctx, path, true);
  ctx.log.LogLine(ctx.M(37) + " " + n.fileName + " " + ctx.M(30), false);
  int code = RunTool(ctx, ctx.Tool("AndImgTool"), Q(n.fileName) + " " + Q(n.name), n.dir);
  LogStep(ctx, "AndImgTool", code);
  if (code == 0) {
    ctx.recent.AddRecentFile(n.folder);
    ctx.recent.AddRecentFile(path);
  }
  ctx.log.LogLine(ctx.M(38) + " " + n.fileName + " " + ctx.M(35), true);
}

void PackBootImage(Context& ctx, const std::string& folderPath) {
  const JobNames f = DeriveNames(folderPath);
  const std::string name = f.fileName;  // the folder's own name, dots and all
  const std::string imageName = name + ".PARTITION";
  const std::string bakName = imageName + ".bak";
  const std::string image = f.path + ".PARTITION";
  const std::string backup = image + ".bak";

  // A backup left by a pack that never finished is the user's image: it comes back first.
  if (FileSize(image) <= 0 && FileSize(backup) > 0) {
    ctx.log.LogLine(ctx.M(70) + " " + bakName + " " + ctx.M(87) + " " + imageName, false);
    DeleteFile(image);
    LogOutcome(ctx, RenameFile(backup, image));
  }

  if (FileSize(image) > 0) {
    ctx.log.LogLine(ctx.M(70) + " " + imageName + " " + ctx.M(87) + " " + bakName, false);
    DeleteFile(backup);
    const bool moved = RenameFile(image, backup);
    LogOutcome(ctx, moved);
    if (!moved) {
      // Building over an image that could not be kept would lose it.
      ++ctx.log.errorCount;
      ctx.log.LogLine(ctx.M(40) + " " + imageName + " " + ctx.M(35), true);
      return;
    }
  }

  ctx.log.LogLine(ctx.M(39) + " " + imageName + " " + ctx.M(30), false);
  int code = RunTool(ctx, ctx.Tool("AndImgTool"), Q(name) + " " + Q(imageName), f.dir);
  LogStep(ctx, "AndImgTool", code);
  if (code == 0) ctx.recent.AddRecentFile(f.path);

  if (code != 0 || FileSize(image) <= 0) {
    ctx.log.LogLine(ctx.M(70) + " " + bakName + " " + ctx.M(87) + " " + imageName, false);
    DeleteFile(image);
    LogOutcome(ctx, RenameFile(backup, image));
  } else {
    DropBackup(ctx, backup);
  }
  ctx.log.LogLine(ctx.M(40) + " " + imageName + " " + ctx.M(35), true);
}

}  // namespace orvex
