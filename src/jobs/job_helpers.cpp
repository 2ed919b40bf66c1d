#include "job_helpers.h"

#include <filesystem>

namespace orvex {

void LogOutcome(Context& ctx, bool ok) { ctx.log.LogLine(ctx.M(ok ? 135 : 136), false); }

bool CopyFile(const std::string& from, const std::string& to) {
  std::error_code ec;
  std::filesystem::copy_file(platform::ToPath(from), platform::ToPath(to), std::filesystem::copy_options::none, ec);
  return !ec;
}

void KeepOriginalOnce(Context& ctx, const std::string& image, const std::string& org, const std::string& shownFrom,
                      const std::string& shownTo) {
  if (FileSize(image) <= 0 || platform::Exists(org) || platform::IsLink(org) || ctx.settings.Int("No_Org") != 0) return;
  ctx.log.LogLine(ctx.M(148) + ": " + shownFrom + " => " + shownTo, false);
  LogOutcome(ctx, CopyFile(image, org));
}

void MoveToBackup(Context& ctx, const std::string& image, const std::string& bak, const std::string& shownFrom,
                  const std::string& shownTo) {
  if (FileSize(image) <= 0) return;
  ctx.log.LogLine(ctx.M(70) + " " + shownFrom + " " + ctx.M(87) + " " + shownTo, false);
  DeleteFile(bak);
  LogOutcome(ctx, RenameFile(image, bak));
}

void RestoreBackup(Context& ctx, const std::string& bak, const std::string& image, const std::string& shownFrom,
                   const std::string& shownTo) {
  ctx.log.LogLine(ctx.M(70) + " " + shownFrom + " " + ctx.M(87) + " " + shownTo, false);
  DeleteFile(image);
  LogOutcome(ctx, RenameFile(bak, image));
}

void DropBackup(Context& ctx, const std::string& bak) {
  if (ctx.settings.Int("No_Backup") == 1) DeleteFile(bak);
}

}  // namespace orvex
