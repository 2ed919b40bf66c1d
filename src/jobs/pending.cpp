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

PENDING_FILE_JOB(UnpackSuperImage)
PENDING_FILE_JOB(UnpackPayload)
PENDING_FOLDER_JOB(PackSuperImage)
PENDING_FILE_JOB(UnpackFirmwareContainer)
PENDING_FILE_JOB(UnpackRockchipImage)
PENDING_FILE_JOB(UnpackAllwinnerImage)
PENDING_FILE_JOB(UnpackAmlLogoImage)
PENDING_FILE_JOB(UnpackPacFirmware)
PENDING_FOLDER_JOB(PackFirmwareContainer)
PENDING_FOLDER_JOB(PackRockchipImage)
PENDING_FOLDER_JOB(PackAllwinnerImage)
PENDING_FOLDER_JOB(PackAmlLogoImage)
PENDING_FILE_JOB(UnpackZipArchive)
PENDING_FILE_JOB(Unpack7zArchive)
PENDING_FILE_JOB(UnpackTarArchive)
PENDING_FILE_JOB(UnpackGzipFile)
PENDING_FOLDER_JOB(PackZipArchive)
PENDING_FOLDER_JOB(PackTarArchive)
PENDING_FILE_JOB(UnpackSingleDtb)
void UnpackMultiDtb(Context& ctx, const std::string& path, const std::string& kind) { LogCannotProcess(ctx, path, kind); }
PENDING_FOLDER_JOB(PackDtb)
PENDING_FILE_JOB(UnpackBootImage)
PENDING_FOLDER_JOB(PackBootImage)
PENDING_FILE_JOB(DecodeApk)
PENDING_FOLDER_JOB(BuildApk)

}  // namespace orvex
