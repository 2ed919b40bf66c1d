// A rebuilt partition image goes back to the block-based OTA form it came in: img2sdat writes
// {name}.new.dat and {name}.transfer.list in the version of the list it replaces, and brotli
// compresses the data when the partition came as {name}.new.dat.br.
#include <fstream>

#include "job_helpers.h"
#include "jobs.h"
#include "text.h"
#include "tool_options.h"

namespace orvex {

namespace {

// Moves a previous output aside as MoveToBackup does; false when it was there and could not go.
bool SetAside(Context& ctx, const std::string& file, const std::string& shownFrom, const std::string& shownTo) {
  if (FileSize(file) <= 0) return true;
  MoveToBackup(ctx, file, file + ".bak", shownFrom, shownTo);
  return FileSize(file) <= 0;
}

// Gives a backup back after a failed step, when there is one.
void GiveBack(Context& ctx, const std::string& file, const std::string& shownName) {
  if (FileSize(file + ".bak") > 0) RestoreBackup(ctx, file + ".bak", file, shownName + ".bak", shownName);
}

// A pack that cannot keep the previous files safe does not run its tool (the failed move is
// already counted).
void StopUnsafe(Context& ctx, const std::string& shownName) {
  ctx.log.LogLine(">< !!! " + ctx.M(40) + " " + shownName + ": " + ctx.M(136), true);
}

// The version of the list being replaced, as the number img2sdat takes: its first line's leading
// decimal number when that is 1 to 10, else 4.
std::string ListVersion(const std::string& list) {
  std::ifstream f(platform::ToPath(list), std::ios::binary);
  std::string line;
  if (!f || !std::getline(f, line)) return "4";
  line = Trim(line);
  if (line.empty() || line[0] < '0' || line[0] > '9') return "4";
  const int64_t v = LeadingInt(line);
  return v >= 1 && v <= 10 ? std::to_string(v) : "4";
}

// Compresses the data file; true when the new .br is in place. A failure gives the previous
// compressed file back.
bool CompressData(Context& ctx, const std::string& dataPath) {
  const JobNames n = DeriveNames(dataPath);
  const std::string& dataName = n.fileName;
  const std::string br = dataPath + ".br";
  KeepOriginalOnce(ctx, br, br + ".org", dataName + ".br", dataName + ".br.org");
  if (!SetAside(ctx, br, dataName + ".br", dataName + ".br.bak")) {
    StopUnsafe(ctx, dataName + ".br");
    return false;
  }
  ctx.log.LogLine(ctx.M(39) + " " + dataName + ".br " + ctx.M(30), false);
  const int code = RunTool(ctx, ctx.Tool("brotli"),
                           "--in " + Q(dataName) + " --out " + Q(dataName + ".br") + " " +
                               CheckedToolOptions(ctx, "Compress"),
                           n.dir);
  LogStep(ctx, "brotli", code);
  const bool ok = code == 0 && FileSize(br) > 0;
  if (code == 0) ctx.recent.AddRecentFile(dataPath);
  if (!ok) GiveBack(ctx, br, dataName + ".br");
  if (ctx.settings.Int("Not_Delete") == 0) {
    DeleteFile(dataPath);
    DeleteFile(dataPath + ".bak");
  }
  if (ok) DropBackup(ctx, br + ".bak");
  ctx.log.LogLine(ctx.M(40) + " " + dataName + ".br " + ctx.M(35), true);
  return ok;
}

}  // namespace

void CompressTransferData(Context& ctx, const std::string& dataPath) { CompressData(ctx, dataPath); }

void PackTransferList(Context& ctx, const std::string& imagePath) {
  const JobNames n = DeriveNames(imagePath);
  const std::string stem = n.name;                   // system (system.img for system.img.ext4)
  const std::string base = DeriveNames(stem).name;   // system
  const std::string b = n.dir + base;
  const std::string dat = b + ".new.dat", list = b + ".transfer.list";

  KeepOriginalOnce(ctx, dat, dat + ".org", base + ".new.dat", base + ".new.dat.org");
  KeepOriginalOnce(ctx, list, list + ".org", base + ".transfer.list", base + ".transfer.list.org");
  if (!SetAside(ctx, dat, stem + ".new.dat", stem + ".new.dat.bak")) {
    StopUnsafe(ctx, stem + ".new.dat");
    return;
  }
  std::string version = "4";
  if (FileSize(list) > 0) {
    version = ListVersion(list);
    if (!SetAside(ctx, list, stem + ".transfer.list", stem + ".transfer.list.bak")) {
      GiveBack(ctx, dat, stem + ".new.dat");
      StopUnsafe(ctx, stem + ".transfer.list");
      return;
    }
  }
  if (ctx.settings.Int("Transfer") == 1) version = "4";

  ctx.log.LogLine(ctx.M(39) + " " + stem + ".new.dat " + ctx.M(30), false);
  // The outputs are named by Base, the names this job reads and backs up; for an image with one
  // extension Base and Stem are the same.
  const int code =
      RunTool(ctx, ctx.Tool("img2sdat"), Q(n.fileName) + " -v " + version + " -p " + Q(base), n.dir);
  LogStep(ctx, "img2sdat", code);
  const bool ok = code == 0 && FileSize(dat) >= 0 && FileSize(list) > 0;
  if (code == 0) ctx.recent.AddRecentFile(imagePath);

  if (ctx.settings.Int("Not_Delete") == 0) DeleteFile(b + ".img");
  DeleteFile(b + ".bak");
  DeleteFile(b + ".org");

  const bool compressed = FileExists(dat + ".br");
  if (!ok) {
    // The previous data and list come back, so the folder keeps a complete pair in its form; the
    // compressed data is left untouched.
    GiveBack(ctx, dat, stem + ".new.dat");
    GiveBack(ctx, list, stem + ".transfer.list");
    ctx.log.LogLine(ctx.M(40) + " " + base + ".new.dat " + ctx.M(35), true);
    return;
  }
  if (!compressed) {
    DropBackup(ctx, dat + ".bak");
    DropBackup(ctx, list + ".bak");
    ctx.log.LogLine(ctx.M(40) + " " + base + ".new.dat " + ctx.M(35), true);
    return;
  }
  if (CompressData(ctx, dat)) {
    DropBackup(ctx, dat + ".bak");
    DropBackup(ctx, list + ".bak");
  } else {
    // The previous compressed data came back; its list (and an uncompressed data file kept
    // beside it) must come back with it.
    GiveBack(ctx, dat, stem + ".new.dat");
    GiveBack(ctx, list, stem + ".transfer.list");
  }
}

}  // namespace orvex
