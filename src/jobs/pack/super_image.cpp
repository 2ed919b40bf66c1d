// Rebuilds a super image from its unpacked folder: the partition folders are packed first, then
// lpmake gets the layout recorded in config/super_config.txt and every partition image found.
#include <algorithm>
#include <fstream>

#include "image_kind.h"
#include "job_helpers.h"
#include "jobs.h"
#include "text.h"

namespace orvex {

namespace {

bool IsDecimal(const std::string& s, size_t maxDigits) {
  if (s.empty() || s.size() > maxDigits) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

// Partition, group and device names as the metadata allows them.
bool IsPlainName(const std::string& s) {
  if (s.empty() || s.size() > 36) return false;
  for (char c : s)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) return false;
  return true;
}

bool IsExtension(const std::string& s) {
  if (s.empty() || s.size() > 16) return false;
  for (char c : s)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
  return true;
}

// A file name for the folder beside the super folder: no folder part, no control characters.
bool IsPlainFileName(const std::string& s) {
  if (s.empty() || s == "." || s == ".." || s.size() > 255) return false;
  for (unsigned char c : s)
    if (c < 0x20 || c == 0x7F || c == '/' || c == '\\' || c == ':' || c == '"' || c == '*' || c == '?' || c == '<' ||
        c == '>' || c == '|')
      return false;
  return true;
}

// A word that needs no quoting stays as the layout gives it; anything else is quoted.
std::string QuoteIfNeeded(const std::string& s) {
  for (unsigned char c : s)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
          c == '-' || c == '/'))
      return Q(s);
  return s;
}

std::string LeadingNumber(const std::string& value) { return std::to_string(LeadingInt(value)); }

struct PartitionEntry {
  std::string name, group, attributes;
};

}  // namespace

void PackSuperImage(Context& ctx, const std::string& path) {
  const JobNames fn = DeriveNames(path);
  const std::string folder = fn.path;
  const std::string folderName = fn.fileName;
  const std::string dir = fn.dir;

  if (Is64BitWindows() != 1) {
    ctx.log.LogLine(">< !!!  " + ctx.M(180), true);
    return;
  }
  const std::string layoutFile = P({folder, "config", "super_config.txt"});
  if (FileSize(layoutFile) <= 0) {
    ctx.log.LogLine(ctx.M(25) + " \"" + folderName + "\" " + ctx.M(26) + " (config.txt)", true);
    return;
  }

  PackPartitionFolders(ctx, folder);
  ctx.log.LogLine(ctx.M(127) + " super, " + ctx.M(30), true);

  std::string args, metadataSize = "0", headerFlags, outName = "super.img", ext = "img", superType = "Raw";
  std::string deviceName;
  int64_t superSize = 0, total = 0;
  std::ifstream layout(platform::ToPath(layoutFile), std::ios::binary);
  if (layout) {
    auto read = [&](const char* key, int occurrence = 1, const std::string& section = "") {
      return ReadKeyValue(layout, key, "", occurrence, section);
    };
    metadataSize = LeadingNumber(read("Metadata max size"));
    const std::string slotCount = read("Metadata slot count");
    headerFlags = read("Header flags");
    outName = read("FileName");
    if (outName.empty()) outName = "super.img";
    ext = read("PartExt");
    if (ext.empty()) ext = ToLower(DeriveNames(outName).ext);
    if (ext.empty()) ext = "img";
    superType = read("FileType");
    if (superType.empty()) superType = "Raw";
    superSize = LeadingInt(read("Size"));
    const std::string groupMax2 = LeadingNumber(read("Maximum size", 2));
    const std::string groupMax3 = LeadingNumber(read("Maximum size", 3));
    const std::string alignment = std::to_string(LeadingInt(read("First sector")) * 512);
    const std::string group2 = read("Name", 2, "Group table");
    const std::string group3 = read("Name", 3, "Group table");
    deviceName = read("Partition name");

    std::vector<PartitionEntry> parts;
    for (int i = 1; i <= 100; ++i) {
      PartitionEntry e{ReadKeyValue(layout, "Name", "", i, "Partition table", "Super partition layout"),
                       ReadKeyValue(layout, "Group", "", i, "Partition table", "Super partition layout"),
                       ReadKeyValue(layout, "Attributes", "", i, "Partition table", "Super partition layout")};
      if (e.name == "Break") break;
      // Past the last entry the reader repeats the last value it saw; a name seen before ends the list.
      bool seen = false;
      for (const auto& p : parts) seen |= p.name == e.name;
      if (seen) break;
      parts.push_back(e);
    }

    // Nothing read from the layout reaches the command line unchecked.
    std::string bad;
    auto check = [&](bool ok, const std::string& key, const std::string& value) {
      if (!ok && bad.empty()) bad = key + " \"" + value + "\"";
    };
    check(LeadingInt(metadataSize) > 0, "Metadata max size", metadataSize);
    check(IsDecimal(slotCount, 3), "Metadata slot count", slotCount);
    check(superSize > 0, "Size", std::to_string(superSize));
    check(LeadingInt(alignment) > 0, "First sector", alignment);
    check(IsPlainName(deviceName), "Partition name", deviceName);
    check(IsPlainFileName(outName), "FileName", outName);
    check(IsExtension(ext), "PartExt", ext);
    if (slotCount == "1" || slotCount == "2" || slotCount == "3") check(IsPlainName(group2), "Name", group2);
    if (slotCount == "3") check(IsPlainName(group3), "Name", group3);
    for (const auto& p : parts) {
      check(IsPlainName(p.name), "Name", p.name);
      check(IsPlainName(p.group), "Group", p.group);
      check(p.attributes == "none" || p.attributes == "readonly", "Attributes", p.attributes);
    }
    if (!bad.empty()) {
      layout.close();
      ctx.log.LogLine(">< !!! " + ctx.M(136) + ": " + P({"config", "super_config.txt"}) + ": " + bad, true);
      ++ctx.log.errorCount;
      return;
    }

    args = "--metadata-size=" + metadataSize + " --super-name=" + deviceName + " --metadata-slots=" + slotCount +
           " --device=super:" + std::to_string(superSize) + ":" + alignment;
    if (slotCount == "1" || slotCount == "2") {
      args += " --group=" + group2 + ":" + groupMax2;
    } else if (slotCount == "3") {
      args += " --group=" + group2 + ":" + groupMax2 + " --group=" + group3 + ":" + groupMax3;
    }

    // Sparse partition images become raw; the sparse file stays beside the raw one.
    for (const auto& p : parts) {
      const std::string image = P({folder, p.name + "." + ext});
      if (DetectImageKind(image) != "Sparse") continue;
      const std::string sparseName = p.name + "_sparse." + ext;
      const std::string sparsePath = P({folder, sparseName});
      DeleteFile(sparsePath);
      if (!RenameFile(image, sparsePath)) {
        ctx.log.LogLine(">< !!! " + ctx.M(70) + " " + p.name + "." + ext + " " + ctx.M(87) + " " + sparseName, false);
        LogOutcome(ctx, false);
        continue;
      }
      ctx.log.LogLine(ctx.M(166) + " " + p.name + "." + ext + " " + ctx.M(167) + " Raw", false);
      ctx.log.LogLine(ctx.M(30), false);
      const int code = RunTool(ctx, ctx.Tool("simg2img"), Q(sparseName) + " " + Q(p.name + "." + ext), folder);
      LogStep(ctx, "simg2img", code, true);
      if (code != 0) {
        // A half-written raw image must not take the sparse one's place in the container.
        DeleteFile(image);
        RenameFile(sparsePath, image);
      }
    }

    for (const auto& p : parts) {
      const int64_t s = std::max<int64_t>(0, FileSize(P({folder, p.name + "." + ext})));
      args += " --partition=" + p.name + ":" + p.attributes + ":" + std::to_string(s) + ":" + p.group;
      if (s != 0) args += " --image=" + p.name + "=./" + p.name + "." + ext;
      total += s;
    }
    layout.close();
  }

  ctx.log.LogLine(ctx.M(184) + " " + FormatSize(superSize) + " " + ctx.M(185) + " " + FormatSize(total) + " " +
                      ctx.M(186) + " " + FormatSize(superSize - total),
                  false);
  ctx.log.LogLine("Metadata Size: " + metadataSize, false);
  ctx.log.LogLine("Super Type: " + superType, true);

  if (ToLower(headerFlags) == "virtual_ab_device") args += " --virtual-ab";
  if (superType == "Sparse") args += " --sparse";
  args += " --output=" + QuoteIfNeeded("../" + outName);
  WriteWholeFile(P({folder, "config", "pack_super.sh"}), "lpmake " + args);

  // The backups follow the file lpmake writes; with the layout's own file name that is
  // {Folder}.{Ext}, as the unpack leaves it.
  const std::string outBase = dir + DeriveNames(outName).name;
  const std::string image = dir + outName;
  const std::string org = outBase + ".org";
  const std::string bak = outBase + ".bak";
  const std::string shown = deviceName.empty() ? folderName : deviceName;
  // A pack that stopped between the backup move and the build left only the .bak.
  if (FileSize(image) <= 0 && FileSize(bak) > 0) RestoreBackup(ctx, bak, image, shown + ".bak", shown + "." + ext);
  KeepOriginalOnce(ctx, image, org, shown + "." + ext, shown + ".org");
  // The previous image could not be moved aside (logged and counted): building now would replace
  // it unguarded.
  if (!MoveToBackup(ctx, image, bak, shown + "." + ext, shown + ".bak")) return;

  const int code = RunTool(ctx, ctx.Tool("makesuper/lpmake"), args, folder);
  LogStep(ctx, "lpmake", code, true);

  if (FileSize(image) <= 0 || code != 0) {
    if (FileSize(bak) > 0) RestoreBackup(ctx, bak, image, shown + ".bak", shown + "." + ext);
    return;
  }
  if (FileExists(bak)) DropBackup(ctx, bak);
}

}  // namespace orvex
