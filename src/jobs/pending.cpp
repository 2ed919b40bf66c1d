// Jobs whose tools this build does not have yet: each reports the input as one it cannot handle,
// the way an unknown file is reported, so a run never silently does nothing.
#include "image_kind.h"
#include "jobs.h"
#include "workspace.h"

namespace orvex {

void LogCannotProcess(Context& ctx, const std::string& path, const std::string& what) {
  JobNames n = DeriveNames(path);
  ctx.log.LogLine(ctx.M(23) + " " + n.fileName, false);
  ctx.log.LogLine(ctx.M(155) + ": " + what, true);
}

#define PENDING_FILE_JOB(fn) \
  void fn(Context& ctx, const std::string& path) { LogCannotProcess(ctx, path, DetectImageKind(path)); }
#define PENDING_FOLDER_JOB(fn) \
  void fn(Context& ctx, const std::string& folder) { LogCannotProcess(ctx, folder, #fn); }

PENDING_FILE_JOB(UnpackTransferList)
PENDING_FILE_JOB(DecompressTransferList)
PENDING_FILE_JOB(UnpackLz4Image)
PENDING_FILE_JOB(ConvertImage)

// Until the transfer-list and LZ4 packs exist, an image that came in those forms is left as
// the partition pack built it, and the build closes as any other.
static void CloseImageBuild(Context& ctx, const std::string& image) {
  ctx.log.LogLine(ctx.M(40) + " " + DeriveNames(image).fileName + " " + ctx.M(35), true);
}
void PackTransferList(Context& ctx, const std::string& image) { CloseImageBuild(ctx, image); }
void PackLz4Image(Context& ctx, const std::string& image) { CloseImageBuild(ctx, image); }

}  // namespace orvex
