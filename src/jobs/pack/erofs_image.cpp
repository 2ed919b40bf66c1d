// Packs an unpacked EROFS folder with mkfs.erofs, using the argument text the unpack recorded.
#include <fstream>

#include "job_helpers.h"
#include "jobs.h"
#include "text.h"

namespace orvex {

void PackErofsImage(Context& ctx, const std::string& path) {
  const JobNames f = DeriveNames(path);
  const std::string folder = f.path, name = f.fileName, dir = f.dir;
  const std::string optionsPath = P({folder, "config", name + "_fs_options.txt"});
  std::ifstream opts(platform::ToPath(optionsPath), std::ios::binary);
  if (!opts) return;

  RunTool(ctx, ctx.Tool("fspatch"), Q(P({name, name})) + " " + Q(P({name, "config", name + "_fs_config.txt"})), dir);
  ctx.log.LogLine(ctx.M(51) + " erofs...", false);

  const std::string options = ReadKeyValue(opts, "mkfs.erofs options");
  const std::string form = ToLower(ReadKeyValue(opts, "Type")) == "sparse" ? "Sparse" : "Raw";
  std::string ext = ReadKeyValue(opts, "Expansion");
  if (ext.empty()) ext = "img";
  // What the installed mkfs.erofs cannot keep of the unpacked image (extract.erofs recorded the
  // nearest form it can write); shown once before the build.
  const std::string repackWarning = ReadKeyValue(opts, "Repack warning");
  opts.close();

  const std::string imageName = name + "." + ext;
  const std::string image = dir + imageName;
  const std::string bak = dir + name + ".bak";
  ctx.log.LogLine(ctx.M(39) + " " + imageName + " |" + form + "| " + ctx.M(30), false);

  if (!options.empty()) {
    if (!repackWarning.empty()) ctx.log.LogLine(">< !!! " + repackWarning, false);
    int code = RunTool(ctx, ctx.Tool("erofs/mkfs.erofs"), options + DiscardOutput(), dir);
    LogStep(ctx, "mkfs.erofs", code, true);
    if (code != 0 && FileSize(bak) > 0) {
      // A failed build may leave a partial image under the real name; the previous image
      // takes its place again.
      ctx.log.LogLine(ctx.M(70) + " " + name + ".bak " + ctx.M(87) + " " + imageName, false);
      DeleteFile(image);
      RenameFile(bak, image);
    } else if (code == 0) {
      DropBackup(ctx, bak);
    }
    if (code == 0 && form == "Sparse") {
      const std::string rawName = name + "_raw." + ext;
      ctx.log.LogLine(ctx.M(166) + " " + imageName + " |Raw| " + ctx.M(87) + " |Sparse|", false);
      DeleteFile(dir + rawName);
      RenameFile(image, dir + rawName);
      int conv = RunTool(ctx, ctx.Tool("img2simg"), Q(rawName) + " " + Q(imageName), dir);
      LogStep(ctx, "img2simg", conv, true);
      if (conv != 0) {
        DeleteFile(image);
        RenameFile(dir + rawName, image);
      } else {
        DeleteFile(dir + rawName);
      }
    }
  }
  ctx.log.LogLine(ctx.M(40) + " " + imageName + " " + ctx.M(35), true);
}

}  // namespace orvex
