// Builds an update package (zip, signed) or a tar / tar.md5 image back from a folder that the
// archive unpack made, after rebuilding the partition images inside it.
#include "job_helpers.h"
#include "jobs.h"
#include "text.h"

namespace orvex {

namespace {

const char* const kPartitionPacks[][2] = {
    {"system", "Pack_System"}, {"vendor", "Pack_Vendor"}, {"product", "Pack_Product"}, {"odm", "Pack_Odm"}};

void PackPartitionsInside(Context& ctx, const std::string& path) {
  for (const auto& [part, setting] : kPartitionPacks) {
    const std::string folder = JoinPath(path, part);
    if (ctx.settings.Int(setting) == 1 && IsFolderEmpty(folder) == 0) PackPartitionImage(ctx, folder);
  }
}

// The list file names top-level entries, folders with a trailing backslash (the form Windows
// tools read). Tools here take a folder without it, one name per line, with LF: the list is
// written in that form beside the archive for the run and the user's list stays as written.
// Returns the list argument's file, or the list itself where the tools read it as written.
std::string ListForTools(const std::string& folder, const std::string& listName, const std::string& toolList) {
  const std::string list = JoinPath(folder, listName);
  if (platform::kSep == '\\') return listName;
  std::string text;
  for (std::string line : Split(ReadWholeFile(list), '\n')) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    if (line.size() > 1 && line.back() == '\\') line.pop_back();
    text += line + "\n";
  }
  WriteWholeFile(toolList, text);
  return toolList;
}

// The rename a pack logs as "move": message 70, the two names, message 87, and the outcome.
bool LoggedRename(Context& ctx, const std::string& from, const std::string& to, const std::string& shownFrom,
                  const std::string& shownTo) {
  ctx.log.LogLine(ctx.M(70) + " " + shownFrom + " " + ctx.M(87) + " " + shownTo, false);
  DeleteFile(to);
  bool ok = RenameFile(from, to);
  LogOutcome(ctx, ok);
  return ok;
}

}  // namespace

void PackZipArchive(Context& ctx, const std::string& folderPath) {
  const JobNames n = DeriveNames(folderPath);
  const std::string path = n.path;
  const std::string fileName = n.fileName;
  const std::string zip = path + ".zip", bak = zip + ".bak", unsignedZip = path + "~.zip";

  if (ctx.settings.Int("Pack_Super") == 1) {
    if (IsFolderEmpty(JoinPath(path, "super")) == 0)
      PackSuperImage(ctx, JoinPath(path, "super"));
    else if (IsFolderEmpty(P({path, "Image", "super"})) == 0)
      PackSuperImage(ctx, P({path, "Image", "super"}));
  }
  PackPartitionsInside(ctx, path);

  bool hadPackage = FileSize(zip) > 0;
  if (hadPackage) {
    MoveToBackup(ctx, zip, bak, fileName + ".zip", fileName + ".zip.bak");
    if (FileExists(zip)) {  // the previous package could not be moved aside: nothing is built over it
      ctx.log.LogLine(ctx.M(103) + " " + fileName + ".zip " + ctx.M(35), true);
      return;
    }
  }
  ctx.log.LogLine(ctx.M(101) + " " + fileName + ".zip " + ctx.M(30), false);
  DeleteFile(unsignedZip);
  const std::string toolList = path + "~.ziplist";
  const std::string list = ListForTools(path, "zipFileList.cfg", toolList);
  int code = RunTool(ctx, ctx.Tool("7z"),
                     "a -tzip " + Q(unsignedZip) + " @" + Q(list) + " -mx" + ctx.settings.Text("Compress_Level"), path);
  LogStep(ctx, "7z", code);
  if (list == toolList) DeleteFile(toolList);
  if (code == 0) {
    ctx.recent.AddRecentFile(path);
    if (ctx.settings.Int("Signature") == 1 && CheckJava(ctx) == 0) {
      ctx.log.LogLine(ctx.M(102) + " " + fileName + ".zip", false);
      int signedCode = RunTool(ctx, "java",
                               "-jar " + Q("zipsigner.jar") + " " + Q("testkey.x509.pem") + " " + Q("testkey.pk8") + " " +
                                   Q(unsignedZip) + " " + Q(zip),
                               ctx.root);
      LogStep(ctx, "zipsigner", signedCode);
      if (signedCode == 0 && FileSize(zip) > 0) {
        DeleteFile(unsignedZip);
      } else {
        DeleteFile(zip);  // a signer that failed may leave half a file
        RenameFile(unsignedZip, zip);
      }
    } else {
      RenameFile(unsignedZip, zip);
    }
  } else {
    // 7-Zip failed: what it left is no package; the previous one comes back.
    DeleteFile(unsignedZip);
    if (hadPackage && FileSize(bak) > 0) RestoreBackup(ctx, bak, zip, fileName + ".zip.bak", fileName + ".zip");
  }
  ctx.log.LogLine(ctx.M(103) + " " + fileName + ".zip " + ctx.M(35), true);
}

void PackTarArchive(Context& ctx, const std::string& folderPath) {
  const JobNames n = DeriveNames(folderPath);
  const std::string path = n.path, fileName = n.fileName;
  const std::string tar = path + ".tar", md5 = path + ".tar.md5";
  const std::string tarName = fileName + ".tar", md5Name = fileName + ".tar.md5";

  PackPartitionsInside(ctx, path);
  KeepOriginalOnce(ctx, tar, tar + ".org", tarName, tarName + ".org");
  if (FileSize(tar) > 0) {
    MoveToBackup(ctx, tar, tar + ".bak", tarName, tarName + ".bak");
    if (FileExists(tar)) {  // the previous image could not be moved aside: nothing is built over it
      ctx.log.LogLine(ctx.M(34) + " " + tarName + " " + ctx.M(35), true);
      return;
    }
  }
  ctx.log.LogLine(ctx.M(33) + " " + tarName + " " + ctx.M(30), false);
  const std::string toolList = path + "~.tarlist";
  const std::string list = ListForTools(path, "tarFileList.cfg", toolList);
  // Names come from the archive: a line that starts with "-" is a name, never an option.
  int code = RunTool(ctx, ctx.Tool("tar"),
                     "-cvf " + Q(P({"..", tarName})) + " --verbatim-files-from -T " + Q(list) + " " +
                         std::string(platform::NullError()),
                     path);
  LogStep(ctx, "tar", code);
  if (list == toolList) DeleteFile(toolList);
  if (code != 0) {
    if (FileSize(tar + ".bak") > 0) RestoreBackup(ctx, tar + ".bak", tar, tarName + ".bak", tarName);
  } else {
    ctx.recent.AddRecentFile(path);
    if (!FileExists(md5)) {
      ctx.log.LogLine(ctx.M(34) + " " + tarName + " " + ctx.M(35), true);
    } else {
      int sum = RunTool(ctx, ctx.Tool("md5sum"),
                        "-t " + Q(tarName) + " >> " + Q(tarName) + " " + std::string(platform::NullError()), n.dir);
      LogStep(ctx, "md5sum", sum);
      if (sum == 0) {
        KeepOriginalOnce(ctx, md5, md5 + ".org", md5Name, md5Name + ".org");
        MoveToBackup(ctx, md5, md5 + ".bak", md5Name, md5Name + ".bak");
        LoggedRename(ctx, tar, md5, tarName, md5Name);
      } else if (ctx.settings.Int("Not_Delete") == 0) {
        DeleteFile(tar);  // its tail is unusable
      }
      ctx.log.LogLine(ctx.M(34) + " " + md5Name + " " + ctx.M(35), true);
    }
  }
  if (ctx.settings.Int("No_Backup") == 1) {
    DeleteFile(tar + ".bak");
    DeleteFile(md5 + ".bak");
  }
}

}  // namespace orvex
