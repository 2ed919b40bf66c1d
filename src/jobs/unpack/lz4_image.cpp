// Images stored under a second extension: LZ4-compressed (super.img.lz4, system.img.ext4.lz4) or
// marked as ext4 (system.img.ext4). Both are brought back to a plain image and handed to the
// unpack job that fits the partition's name.
#include "job_helpers.h"
#include "jobs.h"
#include "text.h"

namespace orvex {

namespace {

struct SecondExtNames {
  std::string fileName;  // super.img.lz4
  std::string outName;   // super.img
  std::string dir;
  std::string target;    // dir + outName
  std::string innerExt;  // img (lower-cased)
  std::string partName;  // super (lower-cased)
};

SecondExtNames DeriveSecondExtNames(const std::string& path) {
  const JobNames n = DeriveNames(path);
  const JobNames inner = DeriveNames(n.name);
  return {n.fileName, n.name, n.dir, n.dir + n.name, inner.ext, ToLower(inner.name)};
}

void RouteByPartition(Context& ctx, const std::string& image, const std::string& partName) {
  if (partName == "super") {
    UnpackSuperImage(ctx, image);
  } else if (partName == "resource" || partName == "boot" || partName == "recovery" || partName == "uboot" ||
             partName == "bootloader") {
    UnpackRockchipImage(ctx, image);
  } else {
    UnpackPartitionImage(ctx, image);
  }
}

}  // namespace

void UnpackLz4Image(Context& ctx, const std::string& path) {
  const SecondExtNames n = DeriveSecondExtNames(path);
  DeleteFile(n.target);
  ctx.log.LogLine(ctx.M(37) + " " + n.fileName + " " + ctx.M(30), false);
  const int code = RunTool(ctx, ctx.Tool("lz4"), "-d " + Q(n.fileName) + " " + Q(n.outName), n.dir);
  LogStep(ctx, "lz4", code);
  if (code != 0) {
    // A damaged or truncated input leaves part of an image: it must not be unpacked as if it
    // were whole (the unpack would also empty the folder of an earlier unpack first).
    DeleteFile(n.target);
    ctx.log.LogLine(ctx.M(4) + ": " + n.fileName + " " + ctx.M(69), true);
    return;
  }
  if (n.innerExt == "ext4") ConvertImage(ctx, n.target);
  else if (n.innerExt == "img") RouteByPartition(ctx, n.target, n.partName);
  if (ctx.settings.Int("Not_Delete") == 0 && FileSize(n.target) > 0 && (n.innerExt == "ext4" || n.innerExt == "img"))
    DeleteFile(n.target);
}

void ConvertImage(Context& ctx, const std::string& path) {
  const SecondExtNames n = DeriveSecondExtNames(path);
  ctx.log.LogLine(ctx.M(166) + " " + n.fileName + " " + ctx.M(167) + " " + n.outName, false);
  DeleteFile(n.target);
  const bool copied = CopyFile(path, n.target);
  LogStep(ctx, "Convert", copied ? 0 : 1);
  if (copied) RouteByPartition(ctx, n.target, n.partName);
  DeleteFile(n.target);
}

}  // namespace orvex
