// Block-based OTA partitions: {name}.new.dat (or .new.dat.br) with {name}.transfer.list becomes
// the raw partition image, which the partition unpack takes over.
#include "job_helpers.h"
#include "jobs.h"
#include "tool_options.h"

namespace orvex {

namespace {

// The name without up to `count` of its extensions: "system.new.dat.br", 3 -> "system".
std::string WithoutExtensions(std::string name, int count) {
  for (int i = 0; i < count; ++i) {
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) break;
    name.resize(dot);
  }
  return name;
}

// Both jobs need the list beside the data; without it they stop before any tool runs.
bool HaveTransferList(Context& ctx, const std::string& dir, const std::string& base, const std::string& fileName) {
  const std::string list = base + ".transfer.list";
  if (platform::Exists(dir + list)) return true;
  ctx.log.LogLine(">< !!! Not found file: " + list, false);
  ctx.log.LogLine(ctx.M(4) + ": " + fileName + " " + ctx.M(69), true);
  return false;
}

}  // namespace

void UnpackTransferList(Context& ctx, const std::string& path) {
  const JobNames n = DeriveNames(path);
  const std::string base = WithoutExtensions(n.name, 1);  // system.new -> system
  ctx.log.LogLine(ctx.M(37) + " " + n.fileName + " " + ctx.M(30), false);
  if (!HaveTransferList(ctx, n.dir, base, n.fileName)) return;

  const std::string image = base + ".img";
  DeleteFile(n.dir + image);
  // The data file keeps its own spelling: on a case-sensitive file system a lower-cased
  // extension would name another file.
  const int code =
      RunTool(ctx, ctx.Tool("sdat2img"), Q(base + ".transfer.list") + " " + Q(n.fileName) + " " + Q(image), n.dir);
  LogStep(ctx, "sdat2img", code);
  if (code == 0) UnpackPartitionImage(ctx, n.dir + image);
}

void DecompressTransferList(Context& ctx, const std::string& path) {
  const JobNames n = DeriveNames(path);
  const std::string datName = n.name;                        // system.new.dat
  const std::string base = WithoutExtensions(n.fileName, 3);  // system
  ctx.log.LogLine(ctx.M(37) + " " + n.fileName + " " + ctx.M(30), false);
  if (!HaveTransferList(ctx, n.dir, base, n.fileName)) return;

  DeleteFile(n.dir + datName);
  const int code = RunTool(ctx, ctx.Tool("brotli"),
                           "--decompress --in " + Q(n.fileName) + " --out " + Q(datName) + " " +
                               CheckedToolOptions(ctx, "Decompress"),
                           n.dir);
  LogStep(ctx, "brotli", code);
  if (code == 0) UnpackTransferList(ctx, n.dir + datName);
}

}  // namespace orvex
