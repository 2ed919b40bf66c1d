// Unpacks an ext4 or EROFS partition image, sparse or raw, into the folder beside it, with the
// metadata files that packing reads back.
#include <sstream>

#include "image_kind.h"
#include "job_helpers.h"
#include "jobs.h"
#include "text.h"

namespace orvex {

namespace {

// The first five lines of the ext4 options file, then every other line the extractor wrote.
std::string Ext4OptionsText(const std::string& original, const std::string& fileName, const std::string& size,
                            const std::string& form, const std::string& journal, const std::string& folderName) {
  // Each value is one line whatever bytes the file name or the image held.
  std::string out = "FileName: " + OneLine(fileName) + "\r\n" + "Size: " + OneLine(size) + "\r\n" + "Type: " + form +
                    "\r\n" + "Journal: " + journal + "\r\n" + "FolderName: " + OneLine(folderName) + "\r\n";
  for (std::string line : Split(original, '\n')) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (Trim(line).empty()) continue;
    size_t colon = line.find(':');
    std::string key = colon == std::string::npos ? "" : Trim(line.substr(0, colon));
    bool ours = false;
    // An ext4 unpack never records an EROFS build line; one found here did not come from us.
    for (const char* k : {"FileName", "Size", "Type", "Journal", "FolderName", "mkfs.erofs options"})
      if (EqualsNoCase(key, k)) ours = true;
    if (!ours) out += line + "\r\n";
  }
  return out;
}

std::string ErofsOptionsText(const std::string& former, const std::string& form, const std::string& ext) {
  std::string t = ReplaceAll(former, "_repack", "", true);
  t = ReplaceAll(t, ".img", "." + ext);
  t = ReplaceAll(t, "_file_contexts", "_file_contexts.txt");
  t = ReplaceAll(t, "_fs_config", "_fs_config.txt");
  t = ReplaceAll(t, "_fs_options", "_fs_options.txt");
  return "Type: " + form + "\r\n" + "Expansion: " + OneLine(ext) + "\r\n" + t;
}

}  // namespace

void UnpackPartitionImage(Context& ctx, const std::string& filePath) {
  const JobNames n = DeriveNames(filePath);
  // The input keeps its own spelling; files the job makes get the lower-cased extension.
  const std::string image = n.name + (n.rawExt.empty() ? "" : "." + n.rawExt);
  const std::string imagePath = n.dir + image;
  const std::string sparseName = n.name + "_sparse." + n.ext;
  const std::string sparsePath = n.dir + sparseName;
  const std::string rawKeptPath = n.folder + "_raw." + n.ext;
  const std::string configDir = P({n.folder, "config"});
  const std::string infoRel = P({n.name, "config", n.name + "_info.txt"});
  const std::string optionsPath = P({configDir, n.name + "_fs_options.txt"});
  const bool notDelete = ctx.settings.Int("Not_Delete") == 1;

  const std::string form = DetectImageKind(filePath) == "Sparse" ? "Sparse" : "Raw";
  std::string journal = "No";

  RemoveFolder(ctx, filePath, true);
  CreateFolder(configDir);

  if (FileSize(filePath) <= 0) {
    ctx.log.LogLine(ctx.M(4) + ": " + n.fileName + " " + ctx.M(69), true);
    return;
  }

  ctx.log.LogLine(ctx.M(37) + " " + n.fileName + " |" + form + "| " + ctx.M(30), true);

  if (form == "Sparse") {
    ctx.log.LogLine(ctx.M(166) + " " + n.fileName + " |Sparse| " + ctx.M(87) + " |Raw|", false);
    ctx.log.LogLine(ctx.M(30), false);
    DeleteFile(sparsePath);
    RenameFile(imagePath, sparsePath);
    int code = RunTool(ctx, ctx.Tool("simg2img"), Q(sparseName) + " " + Q(image), n.dir);
    LogStep(ctx, "simg2img", code, true);
  }

  if (DetectImageKind(imagePath) == "Erofs") {
    RunTool(ctx, ctx.Tool("erofs/dump.erofs"), "-s " + Q(image) + " >" + Q(infoRel), n.dir);
    ctx.log.LogLine(ctx.M(50) + " erofs", false);
    ctx.log.LogLine(ctx.M(30), true);
    int code =
        RunTool(ctx, ctx.Tool("erofs/extract.erofs"), "-i " + Q(image) + " -x -f -o " + Q(n.name) + DiscardOutput(), n.dir);
    LogStep(ctx, "Extract erofs", code, false);
    if (code != 0) {
      // A tree cut short is no unpack: it goes, as after a failed ext4 extraction.
      platform::ToolCommand rm = platform::RemoveTreeCommand(n.folder);
      RunTool(ctx, rm.tool, rm.args, "");
    } else {
      ctx.recent.AddRecentFile(n.folder);
      ctx.recent.AddRecentFile(filePath);
      for (const char* suffix : {"_file_contexts", "_fs_config", "_fs_options"}) {
        std::string base = P({configDir, n.name + suffix});
        RenameFile(base, base + ".txt");
      }
      bool ok = false;
      std::string former = ReadWholeFile(optionsPath, &ok);
      if (ok) WriteWholeFile(optionsPath, ErofsOptionsText(SanitizeUtf8(former), form, n.rawExt.empty() ? n.ext : n.rawExt));
    }
  } else {
    ctx.log.LogLine(ctx.M(50) + " EXT4", false);
    ctx.log.LogLine(ctx.M(30), true);
    int infoCode = RunTool(ctx, ctx.Tool("imgextractor_"), Q(image) + " >" + Q(infoRel) + " -s", n.dir);
    const std::string infoPath = n.dir + infoRel;
    bool ok = false;
    if (infoCode == 0 && FileSize(infoPath) > 0) {
      std::string info = ReadWholeFile(infoPath, &ok);
      if (ok) {
        size_t at = info.find("EXT4 superblock info:");
        if (at != std::string::npos) info.erase(0, at);
        std::istringstream in(info);
        if (ReadKeyValue(in, "FS compatible features").find("HAS_JOURNAL EXT_ATTR RESIZE_INODE") != std::string::npos)
          journal = "Yes";
        WriteWholeFile(infoPath, info);
      }
    }
    int code = RunTool(ctx, ctx.Tool("imgextractor"), Q(image) + " " + Q(n.name), n.dir);
    LogStep(ctx, "ImgExtractor", code, false);
    if (code != 0) {
      platform::ToolCommand rm = platform::RemoveTreeCommand(n.folder);
      RunTool(ctx, rm.tool, rm.args, "");
    } else {
      ctx.recent.AddRecentFile(n.folder);
      ctx.recent.AddRecentFile(filePath);
      if (FileSize(optionsPath) > 0) {
        std::string original = ReadWholeFile(optionsPath, &ok);
        if (ok) {
          std::istringstream in(original);
          std::string size = ReadKeyValue(in, "Size");
          std::string folderName = ReadKeyValue(in, "FolderName");
          WriteWholeFile(optionsPath,
                         Ext4OptionsText(SanitizeUtf8(original), image, size, form, journal, folderName));
          if (!size.empty()) {
            int64_t freeBytes = LeadingInt(size) - FolderSize(n.folder);
            ctx.log.LogLine(">< !!! " + ctx.M(41) + " " + FormatSize(freeBytes), false);
          }
        }
      }
    }
    if (!notDelete) {
      if (FileSize(n.folder + ".new.dat.br") > 0) {
        DeleteFile(n.folder + ".new.dat");
        DeleteFile(n.folder + ".img");
      } else if (FileSize(n.folder + ".new.dat") > 0) {
        DeleteFile(n.folder + ".img");
      }
    }
  }

  if (FileSize(sparsePath) > 0) {
    if (notDelete) {
      DeleteFile(rawKeptPath);
      RenameFile(imagePath, rawKeptPath);
      RenameFile(sparsePath, imagePath);
    } else {
      DeleteFile(imagePath);
      RenameFile(sparsePath, imagePath);
    }
  }

  ctx.log.LogLine(ctx.M(38) + " " + n.fileName + " " + ctx.M(35), true);
}

}  // namespace orvex
