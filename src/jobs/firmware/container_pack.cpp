// Packs firmware folders back into vendor firmware images (with the optional hash, 7z archive,
// trash and burning tool), the Rockchip and Allwinner sub-images and the Amlogic logo image.
#include <fstream>

#include "job_helpers.h"
#include "jobs.h"
#include "text.h"

namespace orvex {

namespace {

// The vendor from the group names of image.cfg: the first known group decides. A file that
// cannot be read is taken for an Amlogic list.
std::string ReadVendor(const std::string& cfg) {
  std::ifstream f(platform::ToPath(cfg), std::ios::binary);
  if (!f) return "Amlogic";
  std::string line;
  while (std::getline(f, line)) {
    const size_t a = line.find_first_not_of(" \t\xEF\xBB\xBF");
    if (a == std::string::npos || line[a] != '[') continue;
    const size_t b = line.find(']', a);
    if (b == std::string::npos) continue;
    const std::string group = ToLower(line.substr(a + 1, b - a - 1));
    if (group == "list_normal") return "Amlogic";
    if (group == "rkfw") return "Rockchip";
    if (group == "filelist") return "Allwinner";
  }
  return "";
}

bool AllDigits(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

std::string FirstLine(const std::string& path) {
  std::ifstream f(platform::ToPath(path), std::ios::binary);
  std::string line;
  std::getline(f, line);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace

void PackFirmwareContainer(Context& ctx, const std::string& folder) {
  const JobNames n = DeriveNames(folder);
  const std::string& folderName = n.fileName;
  const std::string vendor = ReadVendor(JoinPath(n.path, "image.cfg"));
  std::string outName = UniqueImageName(ctx, n.dir, folderName);
  if (vendor == "Rockchip" || vendor == "Allwinner") outName = DeriveNames(folderName).name;
  const std::string outStem = DeriveNames(outName).name;
  const std::string image = n.dir + outName;

  const std::string super = JoinPath(n.path, "super"), imageSuper = P({n.path, "Image", "super"});
  if (ctx.settings.Int("Pack_Super") == 1 && IsFolderEmpty(super) == 0)
    PackSuperImage(ctx, super);
  else if (ctx.settings.Int("Pack_Super") == 1 && IsFolderEmpty(imageSuper) == 0)
    PackSuperImage(ctx, imageSuper);
  else
    PackPartitionFolders(ctx, n.path);

  KeepOriginalOnce(ctx, image, n.dir + folderName + ".org", outName, folderName + ".org");
  ctx.log.LogLine(ctx.M(33) + " " + outName + " " + ctx.M(30), false);
  int code = 0;
  if (vendor == "Amlogic") {
    code = RunTool(ctx, ctx.Tool("AmlImagePack"),
                   "-r " + Q(P({folderName, "image.cfg"})) + " " + Q(folderName) + " " + Q(outName), n.dir);
    LogStep(ctx, "AmlImagePack", code);
  } else if (vendor == "Rockchip") {
    code = RunTool(ctx, ctx.Tool("imgRePackerRK" + ctx.settings.Text("Ver")), Q(folderName), n.dir);
    LogStep(ctx, "ImgRePackerRK", code);
  } else if (vendor == "Allwinner") {
    code = RunTool(ctx, ctx.Tool("imgRePacker"), Q(folderName), n.dir);
    LogStep(ctx, "ImgRePacker", code);
  }
  ctx.log.LogLine(ctx.M(34) + " " + outName + " " + ctx.M(35), true);
  if (code != 0) return;
  ctx.recent.AddRecentFile(n.path);

  const std::string md5Name = outStem + ".md5", md5 = n.dir + md5Name;
  if (ctx.settings.Int("Get_Hash") == 1) {
    ctx.log.LogLine(ctx.M(161) + ":md5 " + ctx.M(30), false);
    const int hash = RunTool(ctx, ctx.Tool("md5sum"),
                             "-t " + Q(outName) + " > " + Q(md5Name) + " " + std::string(platform::NullError()), n.dir);
    if (hash == 0 && platform::Exists(md5)) ctx.log.LogLine("MD5 Hash: " + FirstLine(md5), false);
    LogStep(ctx, "md5sum", hash, true);
  } else if (platform::Exists(md5)) {
    DeleteFile(md5);
  }

  if (ctx.settings.Int("Seven_Pack") == 1) {
    // Both values come from the settings file: only their valid forms reach the command line.
    std::string level = ctx.settings.Text("Seven_Level");
    if (!AllDigits(level) || level.size() != 1) level = "0";
    const std::string volume = ctx.settings.Text("Size_Part");
    std::string files = Q(outName);
    if (FileSize(md5) > 0) files += " " + Q(md5Name);
    if (AllDigits(volume)) files += " -v" + volume + "m";
    const std::string archive = outStem + ".7z";
    if (platform::Exists(n.dir + archive)) DeleteFile(n.dir + archive);
    ctx.log.LogLine(ctx.M(162) + ": " + archive + " |" + ctx.M(163) + ":" + level + "| " + ctx.M(30), false);
    const int packed = RunTool(ctx, ctx.Tool("7z"), "a " + Q(archive) + " " + files + " -mx" + level + " -y", n.dir);
    LogStep(ctx, "7z", packed);
    if (packed == 0 && ctx.settings.Int("Delete_Image") == 1) {
      DeleteFile(md5);
      ctx.log.LogLine(ctx.M(164) + ": " + outName + " " + ctx.M(165) + ".", false);
      LogOutcome(ctx, RecycleDelete(image) == 1);
    }
  }

  const std::string usbTool = ctx.settings.Text("Path_UsbTool");
  if (ctx.settings.Int("Open_UsbTool") == 1 && FileSize(usbTool) > 0 && vendor == "Amlogic")
    platform::StartProgram(usbTool, image);
}

// The Rockchip and Allwinner sub-images: {image}.dump with {image}.cfg beside it.
static void PackSubImage(Context& ctx, const std::string& folder, const std::string& tool, const char* label) {
  const JobNames n = DeriveNames(folder);
  const std::string imgName = n.name;
  const std::string cfg = n.dir + imgName + ".cfg";
  ctx.log.LogLine(ctx.M(39) + " " + imgName + " " + ctx.M(30), false);
  const int code = RunTool(ctx, tool, Q(n.path) + " " + Q(cfg), "");
  LogStep(ctx, label, code);
  if (code == 0) ctx.recent.AddRecentFile(n.path);
  ctx.log.LogLine(ctx.M(40) + " " + imgName + " " + ctx.M(35), true);
}

void PackRockchipImage(Context& ctx, const std::string& folder) {
  PackSubImage(ctx, folder, ctx.Tool("imgRePackerRK" + ctx.settings.Text("Ver")), "ImgRePackerRK");
}

void PackAllwinnerImage(Context& ctx, const std::string& folder) {
  PackSubImage(ctx, folder, ctx.Tool("imgRePacker"), "ImgRePacker");
}

void PackAmlLogoImage(Context& ctx, const std::string& folder) {
  const JobNames n = DeriveNames(folder);
  // The folder's own name throughout, so that a name with a dot still finds its image.
  const std::string& name = n.fileName;
  const std::string suffix = FileSize(n.path + ".PARTITION") > 0 ? ".PARTITION" : ".img";
  const std::string image = n.path + suffix, bak = n.path + ".bak";

  KeepOriginalOnce(ctx, image, n.path + ".org", name + suffix, name + ".org");
  const bool hadImage = FileSize(image) > 0;
  MoveToBackup(ctx, image, bak, name + suffix, name + ".bak");
  if (hadImage && platform::Exists(image)) {
    // The previous image could not be set aside: building now would overwrite it.
    ctx.log.LogLine(ctx.M(40) + " " + name + suffix + " " + ctx.M(35), true);
    return;
  }
  ctx.log.LogLine(ctx.M(39) + " " + name + suffix + " " + ctx.M(30), false);
  const int code = RunTool(ctx, ctx.Tool("imgpack"), "-r " + Q(name) + " " + Q(name + suffix), n.dir);
  LogStep(ctx, "ImgPack", code);
  if (code == 0) ctx.recent.AddRecentFile(n.path);
  if (code != 0 && FileSize(bak) > 0)
    RestoreBackup(ctx, bak, image, name + ".bak", name + suffix);
  else if (platform::Exists(bak))
    DropBackup(ctx, bak);
  ctx.log.LogLine(ctx.M(40) + " " + name + suffix + " " + ctx.M(35), true);
}

}  // namespace orvex
