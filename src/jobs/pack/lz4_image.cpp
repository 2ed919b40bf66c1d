// A rebuilt partition image goes back to the LZ4 form it came in ({image}.lz4), with the
// previous compressed image kept as .bak and given back when compression fails.
#include "job_helpers.h"
#include "jobs.h"

namespace orvex {

void PackLz4Image(Context& ctx, const std::string& imagePath) {
  const JobNames n = DeriveNames(imagePath);
  const std::string lzName = n.fileName + ".lz4";
  const std::string lz = imagePath + ".lz4", bak = lz + ".bak";

  KeepOriginalOnce(ctx, lz, lz + ".org", lzName, lzName + ".org");
  if (platform::Exists(lz)) {
    ctx.log.LogLine(ctx.M(70) + " " + lzName + " " + ctx.M(87) + " " + lzName + ".bak", false);
    DeleteFile(bak);
    if (!RenameFile(lz, bak)) {
      // lz4 would refuse the existing file and the restore below would then replace it with an
      // older backup: the build stops here with the image and the compressed file as they are.
      LogOutcome(ctx, false);
      ++ctx.log.errorCount;
      return;
    }
  }
  ctx.log.LogLine(ctx.M(39) + " " + n.fileName + ".lz4 " + ctx.M(30), false);
  const int code = RunTool(ctx, ctx.Tool("lz4"), "-B6 --content-size " + Q(n.fileName) + " " + Q(lzName), n.dir);
  LogStep(ctx, "lz4", code);
  if ((FileSize(lz) <= 0 || code != 0) && FileSize(bak) > 0) {
    ctx.log.LogLine(ctx.M(70) + " " + lzName + ".bak " + ctx.M(87) + " " + lzName, false);
    DeleteFile(lz);
    if (!RenameFile(bak, lz)) LogOutcome(ctx, false);
  }
  if (ctx.settings.Int("Not_Delete") == 0) {
    DeleteFile(imagePath);
    DeleteFile(imagePath + ".bak");
  }
  if (platform::Exists(bak) && ctx.settings.Int("No_Backup") == 1) DeleteFile(bak);
}

}  // namespace orvex
