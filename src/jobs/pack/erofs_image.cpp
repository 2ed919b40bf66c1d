// Packs an unpacked EROFS folder with mkfs.erofs, using the argument text the unpack recorded.
// The recorded text is read as words and each word checked against the options the unpack
// writes; it never reaches the interpreter as it stands.
#include <fstream>

#include "job_helpers.h"
#include "jobs.h"
#include "text.h"

namespace orvex {

void PackErofsImage(Context& ctx, const std::string& path) {
  const JobNames f = DeriveNames(path);
  const std::string folder = f.path, name = f.fileName, dir = f.dir;
  const std::string optionsFile = name + "_fs_options.txt";
  const std::string optionsPath = P({folder, "config", optionsFile});
  std::ifstream opts(platform::ToPath(optionsPath), std::ios::binary);
  if (!opts) return;
  const std::string options = ReadKeyValue(opts, "mkfs.erofs options");
  const std::string form = ToLower(ReadKeyValue(opts, "Type")) == "sparse" ? "Sparse" : "Raw";
  std::string ext = ReadKeyValue(opts, "Expansion");
  std::string treeName = ReadKeyValue(opts, "FolderName");
  // What the installed mkfs.erofs cannot keep of the unpacked image (extract.erofs recorded the
  // nearest form it can write); shown once before the build.
  const std::string repackWarning = ReadKeyValue(opts, "Repack warning");
  opts.close();
  if (ext.empty()) ext = "img";
  if (treeName.empty()) treeName = name;

  // Everything recorded is checked before anything is renamed.
  bool extOk = ext.size() <= 16;
  for (char c : ext) extOk = extOk && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'));
  if (!extOk) return LogRecordRefused(ctx, optionsFile, "Expansion", ext);
  if (!IsPlainFolderName(treeName)) return LogRecordRefused(ctx, optionsFile, "FolderName", treeName);
  std::string image = ExistingWithSuffix(folder, "." + ext);
  if (image.empty()) image = folder + "." + ext;
  const std::string imageName = DeriveNames(image).fileName;
  std::string args, tree, bad;
  if (!CheckMkfsErofsOptions(options, imageName, &args, &tree, &bad))
    return LogRecordRefused(ctx, optionsFile, "mkfs.erofs options", bad);

  const std::string bak = dir + name + ".bak";
  RecoverInterruptedBackup(ctx, image, bak, name + ".bak", imageName);
  KeepOriginalOnce(ctx, image, folder + ".org", imageName, name + ".org");
  const bool hadImage = FileSize(image) > 0;
  if (!MoveToBackup(ctx, image, bak, imageName, name + ".bak")) return;
  BackupInFlight inFlight(image, hadImage ? bak : "");
  auto giveBack = [&] {
    if (hadImage) RestoreBackup(ctx, bak, image, name + ".bak", imageName);
    inFlight.Settle();
  };

  // The tree is the folder the unpack recorded (vendor_a/vendor for vendor_a.img).
  int patched = RunTool(ctx, ctx.Tool("fspatch"),
                        Q(P({name, treeName})) + " " + Q(P({name, "config", name + "_fs_config.txt"})), dir);
  if (patched != 0) {
    LogStep(ctx, "fspatch", patched, true);
    return giveBack();
  }
  ctx.log.LogLine(ctx.M(51) + " erofs...", false);
  ctx.log.LogLine(ctx.M(39) + " " + imageName + " |" + form + "| " + ctx.M(30), false);

  if (!repackWarning.empty()) ctx.log.LogLine(">< !!! " + repackWarning, false);
  int code = RunTool(ctx, ctx.Tool("erofs/mkfs.erofs"), args + DiscardOutput(), dir);
  LogStep(ctx, "mkfs.erofs", code, true);
  if (code != 0 || FileSize(image) <= 0) return giveBack();

  if (form == "Sparse") {
    const std::string rawName = name + "_raw." + ext;
    const std::string raw = dir + rawName;
    ctx.log.LogLine(ctx.M(166) + " " + imageName + " |Raw| " + ctx.M(87) + " |Sparse|", false);
    DeleteFile(raw);
    RenameFile(image, raw);
    // Cut short, the conversion leaves the raw build under the real name again.
    BackupInFlight converting(image, raw);
    int conv = RunTool(ctx, ctx.Tool("img2simg"), Q(rawName) + " " + Q(imageName), dir);
    LogStep(ctx, "img2simg", conv, true);
    {
      auto lock = BackupLock();
      if (BackupsGivenBack()) {
        // The interruption already put the files in order.
      } else if (conv != 0 || FileSize(image) <= 0) {
        DeleteFile(image);
        RenameFile(raw, image);
      } else {
        DeleteFile(raw);
      }
      converting.Settle();
    }
  }
  DropBackup(ctx, bak);
  inFlight.Settle();
  ctx.log.LogLine(ctx.M(40) + " " + imageName + " " + ctx.M(35), true);
}

}  // namespace orvex
