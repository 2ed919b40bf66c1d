// Extracts the partition images of an OTA payload into the folder beside it and unpacks the
// main partitions found there.
#include "job_helpers.h"
#include "jobs.h"

namespace orvex {

void UnpackPayload(Context& ctx, const std::string& path) {
  const JobNames n = DeriveNames(path);
  RemoveFolder(ctx, path, true);
  ctx.log.LogLine(ctx.M(131) + " " + n.fileName + " " + ctx.M(30), false);
  // payload_dumper writes NAME_a.img for every partition, the names the folder unpack looks for.
  const int code = RunTool(ctx, ctx.Tool("payload_dumper"), "--out " + Q(n.name) + " " + Q(n.fileName), n.dir);
  LogStep(ctx, "payload_dumper", code, false);
  ctx.log.LogLine(ctx.M(132) + " " + n.fileName + " " + ctx.M(35), true);
  if (code == 0) UnpackFirmwareFolder(ctx, n.folder);
}

}  // namespace orvex
