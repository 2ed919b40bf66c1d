// Packs an unpacked partition folder back into an image of its former name and form: ext4
// through make_ext4fs, EROFS through mkfs.erofs.
#include <fstream>

#include "image_kind.h"
#include "job_helpers.h"
#include "jobs.h"
#include "text.h"

namespace orvex {

namespace {

struct PackNames {
  std::string folder;  // the partition folder
  std::string name;    // its last component
  std::string dir;     // its parent, with the trailing separator
};

PackNames DerivePackNames(const std::string& path) {
  JobNames n = DeriveNames(path);
  return {n.path, n.fileName, n.dir};
}

// The image the folder came from: the first suffix found beside it, in the spelling it has on
// disk (SYSTEM.IMG stays SYSTEM.IMG); system.img when there is none.
std::string ChooseImagePath(const std::string& folder) {
  for (const char* suffix : {".PARTITION", ".img.ext4", ".fex", ".bin", ".img"}) {
    std::string found = ExistingWithSuffix(folder, suffix);
    if (found.empty() && std::string(suffix) == ".img.ext4" && !ExistingWithSuffix(folder, ".img.ext4.lz4").empty())
      found = folder + suffix;
    if (!found.empty()) return found;
  }
  return folder + ".img";
}

}  // namespace

void PackPartitionImage(Context& ctx, const std::string& path) {
  const PackNames n = DerivePackNames(path);
  const std::string configDir = P({n.folder, "config"});
  const std::string optionsFile = n.name + "_fs_options.txt";
  const std::string optionsPath = P({configDir, optionsFile});

  std::string size, label, erofsOptions;
  std::string form = "Raw";
  bool journal = false;
  {
    std::ifstream f(platform::ToPath(optionsPath), std::ios::binary);
    if (f) {
      size = ReadKeyValue(f, "Size");
      label = ReadKeyValue(f, "FolderName");
      if (ToLower(ReadKeyValue(f, "Type")) == "sparse") form = "Sparse";
      journal = ToLower(ReadKeyValue(f, "Journal")) == "yes";
      erofsOptions = ReadKeyValue(f, "mkfs.erofs options");
    }
  }
  if (!erofsOptions.empty()) {
    // The EROFS pack checks its recorded line and keeps the backups itself.
    PackErofsImage(ctx, n.folder);
    return;
  }
  // Values that join the command line are checked before anything is renamed.
  if (!size.empty() && !RecordedNumber(size)) {
    LogRecordRefused(ctx, optionsFile, "Size", size);
    return;
  }
  if (label.empty()) label = n.name;
  if (!IsPlainFolderName(label)) {
    LogRecordRefused(ctx, optionsFile, "FolderName", label);
    return;
  }

  const std::string image = ChooseImagePath(n.folder);
  const std::string imageName = DeriveNames(image).fileName;
  const std::string bak = n.folder + ".bak";

  RecoverInterruptedBackup(ctx, image, bak, n.name + ".bak", imageName);
  KeepOriginalOnce(ctx, image, n.folder + ".org", imageName, n.name + ".org");
  const bool hadImage = FileSize(image) > 0;
  if (!MoveToBackup(ctx, image, bak, imageName, n.name + ".bak")) return;
  BackupInFlight inFlight(image, hadImage ? bak : "");

  if (size.empty()) size = std::to_string(FolderSize(n.folder));
  const bool transferList =
      !ExistingWithSuffix(n.folder, ".new.dat").empty() || !ExistingWithSuffix(n.folder, ".new.dat.br").empty();
  if (transferList) form = "Sparse";
  const std::string buildLine = ctx.M(39) + " " + imageName + " |" + form + "| " + ctx.M(30);
  ctx.log.LogLine(buildLine, false);

  const int64_t used = FolderSize(n.folder);
  int64_t freeBytes = *RecordedNumber(size) - used;
  ctx.log.LogLine(">< !!! " + ctx.M(41) + " " + FormatSize(freeBytes), true);

  bool retryAllowed = false;
  const int64_t freeSpace = static_cast<int64_t>(ctx.settings.Int("Free_Space")) * 1048576;
  if (ctx.settings.Int("Expand_Size") == 1 && ToLower(DeriveNames(n.dir).fileName) == "super") {
    retryAllowed = true;
  } else if (ctx.settings.Int("Expand_Size") == 0 && freeBytes < freeSpace) {
    size = std::to_string(used + freeSpace);
    ctx.log.LogLine(">< !!! Expand size partition", true);
    freeBytes = LeadingInt(size) - used;
    ctx.log.LogLine(">< !!! " + ctx.M(41) + " " + FormatSize(freeBytes), true);
  }
  if (journal) ctx.log.LogLine("HAS_JOURNAL EXT_ATTR RESIZE_INODE", true);

  // The tree is the folder the unpack recorded, which need not be named like the image. Without
  // its attributes the build would give added files no label: a failure stops the pack.
  int patched = RunTool(ctx, ctx.Tool("fspatch"),
                        Q(P({n.name, label})) + " " + Q(P({n.name, "config", n.name + "_fs_config.txt"})), n.dir);
  if (patched != 0) {
    LogStep(ctx, "fspatch", patched, true);
    if (hadImage) RestoreBackup(ctx, bak, image, n.name + ".bak", imageName);
    inFlight.Settle();
    return;
  }

  const std::string timestamp = std::to_string(platform::LocalClockSeconds());  // local fields read as UTC
  const std::string shPath = P({configDir, n.name + "_pack_ext4.sh"});
  auto buildArgs = [&] {
    // " -s" goes before the journal pieces: "-i" takes the next word as its value, so that
    // "-i -J" keeps the journal on, and it must not swallow the sparse flag instead.
    std::string a = "-l " + size;
    if (form == "Sparse") a += " -s";
    if (journal) a += " -j 4096 -i";
    a += " -J -T " + timestamp;
    a += " -L " + Q(label);
    a += " -a " + Q(label);
    a += " -S " + Q(P({".", "config", n.name + "_file_contexts.txt"})) + " -C " +
         Q(P({".", "config", n.name + "_fs_config.txt"})) + " " + Q(P({"..", imageName})) + " " + Q(P({".", label}));
    WriteWholeFile(shPath, "make_ext4fs " + a);
    return a;
  };

  ctx.log.allocFailBlocks = 0;
  int code = RunTool(ctx, ctx.Tool("make_ext4fs"), buildArgs(), n.folder);
  const bool allocFailed = ctx.log.allocFailBlocks != 0;
  if (allocFailed && retryAllowed) {
    ctx.log.LogLine(">< !!! Expand size partition", true);
    size = std::to_string(used + 104857600);
    ctx.log.LogLine(buildLine, false);
    code = RunTool(ctx, ctx.Tool("make_ext4fs"), buildArgs(), n.folder);
  }
  LogStep(ctx, "make_ext4fs", code, true);
  if (code == 0) ctx.recent.AddRecentFile(n.folder);

  const bool shrink = (ctx.settings.Int("Expand_Size") == 0 && ctx.settings.Int("Resize") == 1) ||
                      (allocFailed && retryAllowed);
  // resize2fs reads raw images only; a sparse build keeps its size.
  if (shrink && code == 0 && FileSize(image) >= 1 && DetectImageKind(image) != "Sparse")
    RunTool(ctx, ctx.Tool("resize2fs/resize2fs"), "-M " + Q(imageName), n.dir);
  ctx.log.allocFailBlocks = 0;

  if (FileSize(image) <= 0 || code != 0) {
    if (FileSize(bak) > 0 && hadImage) RestoreBackup(ctx, bak, image, n.name + ".bak", imageName);
    inFlight.Settle();
    return;
  }
  DropBackup(ctx, bak);
  inFlight.Settle();
  if (transferList) {
    PackTransferList(ctx, image);
  } else if (!ExistingWithSuffix(image, ".lz4").empty()) {
    PackLz4Image(ctx, image);
  } else {
    ctx.log.LogLine(ctx.M(40) + " " + imageName + " " + ctx.M(35), true);
  }
}

void MakeAttributeLists(Context& ctx, const std::string& addFolder) {
  const bool system = platform::IsDirectory(P({addFolder, "system"}));
  const bool vendor = platform::IsDirectory(P({addFolder, "vendor"}));
  if (!system && !vendor) {
    ctx.log.LogLine(ctx.M(90) + ": add " + ctx.M(91) + ": system " + ctx.M(92) + " vendor, " + ctx.M(93) + "!", true);
    return;
  }
  const std::string busybox = ctx.Tool("busybox");
  auto list = [&](const std::string& part, const char* dirOwner) {
    const std::string file = part + "_add.txt";
    ctx.log.LogLine(ctx.M(88) + ": " + file + " " + ctx.M(30), false);
    const std::string sed = " | " + platform::ToolForCommand(busybox) + " sed ";
    RunTool(ctx, busybox, "find " + part + " -type d " + sed + Q(std::string("s/$/ ") + dirOwner + "/") + " > " + Q(file),
            addFolder);
    RunTool(ctx, busybox, "find " + part + " -type f " + sed + Q("s/$/ 0 0 644/") + " >> " + Q(file), addFolder);
    ctx.log.LogLine(ctx.M(89) + ": " + file + " " + ctx.M(35), true);
  };
  if (system) list("system", "0 0 755");
  if (vendor) list("vendor", "0 2000 755");
}

}  // namespace orvex
