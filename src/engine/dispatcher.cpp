#include "dispatcher.h"

#include <map>

#include "image_kind.h"
#include "platform.h"
#include "jobs.h"
#include "text.h"
#include "tool_runner.h"
#include "workspace.h"

namespace orvex {

// This project's own donation page; placeholders until the project has its pages.
const char kDonationService[] = "Orvex";
const char kDonationAccountB64[] = "T1JWRVgtRE9OQVRF";                             // ORVEX-DONATE
const char kDonationPageB64[] = "aHR0cHM6Ly9vcnZleC5leGFtcGxlLm9yZy9kb25hdGU=";  // https://orvex.example.org/donate

std::string DecodeBase64Text(const std::string& text) {
  auto val = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::string out;
  uint32_t acc = 0;
  int bits = 0;
  for (char c : text) {
    int v = val(c);
    if (v < 0) {
      if (c == '=') break;
      continue;
    }
    acc = (acc << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      if (out.size() < 1024) out += static_cast<char>((acc >> bits) & 0xFF);
    }
  }
  size_t zero = out.find('\0');
  if (zero != std::string::npos) out.resize(zero);
  return SanitizeUtf8(out);
}

std::string WelcomeHint(const Context& ctx) {
  return ctx.M(68) + " (*.img), " + ctx.M(100) + " (*.zip), " + ctx.M(66) +
         " (*.img, *.PARTITION, *.fex, *.new.dat, *.new.dat.br) " + ctx.M(67);
}

JobDispatcher::~JobDispatcher() {
  if (thread_.joinable()) thread_.join();
}

void JobDispatcher::QueueJobPath(const std::string& path) {
  std::lock_guard<std::mutex> lock(mu_);
  queue_.push_back(StripTrailingSeparators(path));
}

size_t JobDispatcher::QueueLength() const {
  std::lock_guard<std::mutex> lock(mu_);
  return queue_.size();
}

void JobDispatcher::StartJobs() {
  std::unique_lock<std::mutex> lock(mu_);
  if (running_) {
    lock.unlock();
    ctx_.log.LogLine(">< !!! " + ctx_.M(29) + " !!! ><", false);
    return;
  }
  if (thread_.joinable()) thread_.join();  // a run that has just ended
  running_ = true;
  thread_ = std::thread([this] { Run(); });
}

void JobDispatcher::Wait() {
  std::unique_lock<std::mutex> lock(mu_);
  done_.wait(lock, [this] { return !running_; });
}

void JobDispatcher::Run() {
  size_t n;
  {
    std::lock_guard<std::mutex> lock(mu_);
    n = queue_.size();
  }
  if (n == 0) {
    ctx_.log.LogLine(WelcomeHint(ctx_), false);
  }
  while (n > 0) {
    if (ctx_.ui.AutoCloseRunning()) ctx_.ui.StopAutoClose();
    while (n > 0) {
      if (n > 1)
        ctx_.log.LogLine(ctx_.M(19) + " " + std::to_string(n) + " " + ctx_.M(20), true);
      std::string path;
      {
        std::lock_guard<std::mutex> lock(mu_);
        path = queue_.front();
        queue_.pop_front();
      }
      ctx_.ui.ShowBusy(ctx_.M(21));
      Route(path);
      std::lock_guard<std::mutex> lock(mu_);
      n = queue_.size();
    }
    EndOfRun();
    // A path queued while the summary was written is taken up here, not lost.
    std::lock_guard<std::mutex> lock(mu_);
    n = queue_.size();
  }
  std::lock_guard<std::mutex> lock(mu_);
  running_ = false;
  done_.notify_all();
}

void JobDispatcher::EndOfRun() {
  if (ctx_.settings.Int("Main_Top") == 0) ctx_.ui.BringToFront();
  ctx_.ui.LeaveMarquee();
  int errors = ctx_.log.errorCount;
  if (errors > 0)
    ctx_.log.LogLine(">< !!! " + ctx_.M(74) + " !!! >< " + ctx_.M(133) + " (" + std::to_string(errors) + ")", true);
  ctx_.log.LogLine(">< !!! " + ctx_.M(80), false);
  ctx_.log.LogLine(std::string(kDonationService) + ": " + DecodeBase64Text(kDonationAccountB64) + "   " +
                       DecodeBase64Text(kDonationPageB64) + "\n",
                   true);
  ctx_.log.LogLine(ctx_.M(27) + " " + ctx_.M(28), false);
  if (errors < 1) ctx_.ui.SetProgressDone();
  else ctx_.ui.HighlightResults();
  ctx_.ui.ShowIdle(ctx_.M(27));
  if (ctx_.settings.Int("Finish_Sound") == 1) ctx_.ui.PlayFinishSound();
  if (ctx_.settings.Int("Auto_Exit") == 1 && errors == 0 && !ctx_.ui.AutoCloseRunning()) ctx_.ui.StartAutoClose();
  ctx_.log.errorCount = 0;
}

void JobDispatcher::Route(const std::string& path) {
  int64_t size = FileSize(path);
  bool folder = platform::IsDirectory(path);
  if (!folder && size <= 0) {
    JobNames n = DeriveNames(path);
    ctx_.log.LogLine("* " + ctx_.M(64) + ": " + n.name + "." + n.ext, true);
    return;
  }
  ctx_.ui.PathStarted();
  LogPathCheck(ctx_, path);
  if (folder) {
    RunJob(ChooseFolderJob(path), path, "");
  } else {
    std::string kind = DetectImageKind(path);
    RunJob(ChooseFileJob(path, kind), path, kind);
  }
}

std::string ChooseFolderJob(const std::string& path) {
  JobNames n = DeriveNames(path);
  auto packImageChoice = [&]() -> std::string {
    const std::string& name = n.name;
    if (name == "resource.img" || name == "boot.img" || name == "recovery.img" || name == "uboot.img" ||
        name == "bootloader.img")
      return "PackRockchipImage";
    if (name == "boot.fex" || name == "recovery.fex") return "PackAllwinnerImage";
    return "";
  };
  if (IsFolderEmpty(path) == 0 && FileSize(JoinPath(JoinPath(path, "config"), n.fileName + "_fs_options.txt")) > 0)
    return "PackPartitionImage";
  if (FileSize(n.dir + n.name + ".cfg") > 0) return packImageChoice();
  if (FileSize(path + ".cfg") > 0) return packImageChoice();
  if (FileSize(JoinPath(path, "image.cfg")) > 0) return "PackFirmwareContainer";
  if (FileSize(JoinPath(path, "zipFileList.cfg")) > 0) return "PackZipArchive";
  if (FileSize(JoinPath(path, "tarFileList.cfg")) > 0) return "PackTarArchive";
  if (FileSize(JoinPath(path, "config.ini")) > 0) return "PackBootImage";
  if (FileSize(JoinPath(path, "AndroidManifest.xml")) > 0) return "BuildApk";
  if (n.lname.find("logo") != std::string::npos) return "PackAmlLogoImage";
  if (n.lname == "_aml_dtb") return "PackDtb";
  if (n.lname == "add") return "MakeAttributeLists";
  if (n.lname.find("super") != std::string::npos) return "PackSuperImage";
  return "NoBuildInstruction";
}

std::string ChooseFileJob(const std::string& path, const std::string& kind) {
  JobNames n = DeriveNames(path);
  const std::string& ext = n.ext;
  auto has = [&](const char* s) { return n.lname.find(s) != std::string::npos; };
  auto extIn = [&](std::initializer_list<const char*> list) {
    for (const char* e : list)
      if (ext == e) return true;
    return false;
  };
  if (ext == "dat") return "UnpackTransferList";
  if (ext == "ext4") return "ConvertImage";
  if (ext == "br") return "DecompressTransferList";
  if (ext == "txt" && has("logfile")) return "AppendFileToLog";
  if (ext == "log" && has("lastaction")) return "AppendFileToLog";
  if (kind == "Sparse") return has("super") ? "UnpackSuperImage" : "UnpackPartitionImage";
  if (kind == "Erofs") return "UnpackPartitionImage";
  if (kind == "Raw" && extIn({"img", "fex", "partition", "org", "bin", "bak"}))
    return has("super") ? "UnpackSuperImage" : "UnpackPartitionImage";
  if (kind == "Rockchip" || kind == "Allwinner" || kind == "Amlogic") return "UnpackFirmwareContainer";
  if (kind == "DtbSingle") return "UnpackSingleDtb";
  if (kind == "DtbMulti") return "UnpackMultiDtb";
  if (kind == "Tar" || ext == "tar" || (ext == "md5" && DeriveNames(n.name).ext == "tar")) return "UnpackTarArchive";
  if (kind == "SevenZip" || ext == "7z" || ext == "rar") return "Unpack7zArchive";
  if (kind == "Zip" && ext == "zip") return "UnpackZipArchive";
  if (kind == "Zip" && ext == "apk") return "DecodeApk";
  if (kind == "Gzip" && has("_aml_dtb")) return "UnpackMultiDtb";
  if (kind == "Gzip" && ext == "gz") return "UnpackGzipFile";
  if (kind == "Gzip" && ext == "img") return "UnpackRockchipImage";
  if (kind == "AmlLogo") return "UnpackAmlLogoImage";
  if (kind == "RkRes" || kind == "RkUboot") return "UnpackRockchipImage";
  if (kind == "BootRec") {
    if (ext == "fex") return "UnpackAllwinnerImage";
    if (ext == "partition") return "UnpackBootImage";
    return "UnpackRockchipImage";
  }
  if (kind == "PayLoad") return "UnpackPayload";
  if (kind == "Pac") return "UnpackPacFirmware";
  if (kind == "Lz4" || ext == "lz4") return "UnpackLz4Image";
  if (kind == "Fat32" || has("ce_flash")) return "CannotUnpackFat";
  return "UnknownKind";
}

namespace {

using FileJob = void (*)(Context&, const std::string&);

const std::map<std::string, FileJob>& JobTable() {
  static const std::map<std::string, FileJob> table = {
      {"UnpackPartitionImage", UnpackPartitionImage}, {"UnpackSuperImage", UnpackSuperImage},
      {"UnpackTransferList", UnpackTransferList}, {"DecompressTransferList", DecompressTransferList},
      {"UnpackPayload", UnpackPayload}, {"UnpackLz4Image", UnpackLz4Image}, {"ConvertImage", ConvertImage},
      {"PackPartitionImage", PackPartitionImage}, {"MakeAttributeLists", MakeAttributeLists},
      {"PackSuperImage", PackSuperImage}, {"UnpackFirmwareContainer", UnpackFirmwareContainer},
      {"UnpackRockchipImage", UnpackRockchipImage}, {"UnpackAllwinnerImage", UnpackAllwinnerImage},
      {"UnpackAmlLogoImage", UnpackAmlLogoImage}, {"UnpackPacFirmware", UnpackPacFirmware},
      {"PackFirmwareContainer", PackFirmwareContainer}, {"PackRockchipImage", PackRockchipImage},
      {"PackAllwinnerImage", PackAllwinnerImage}, {"PackAmlLogoImage", PackAmlLogoImage},
      {"UnpackZipArchive", UnpackZipArchive}, {"Unpack7zArchive", Unpack7zArchive},
      {"UnpackTarArchive", UnpackTarArchive}, {"UnpackGzipFile", UnpackGzipFile},
      {"PackZipArchive", PackZipArchive}, {"PackTarArchive", PackTarArchive},
      {"UnpackSingleDtb", UnpackSingleDtb}, {"PackDtb", PackDtb}, {"UnpackBootImage", UnpackBootImage},
      {"PackBootImage", PackBootImage}, {"DecodeApk", DecodeApk}, {"BuildApk", BuildApk},
      {"AppendFileToLog", AppendFileToLog},
  };
  return table;
}

}  // namespace

void JobDispatcher::RunJob(const std::string& job, const std::string& path, const std::string& kind) {
  JobNames n = DeriveNames(path);
  if (job.empty()) return;  // a folder beside a .cfg file that no repacker takes
  if (job == "UnpackMultiDtb") {
    UnpackMultiDtb(ctx_, path, kind);
  } else if (job == "NoBuildInstruction") {
    ctx_.log.LogLine(ctx_.M(25) + " \"" + n.fileName + "\" " + ctx_.M(26), true);
  } else if (job == "CannotUnpackFat") {
    ctx_.log.LogLine(ctx_.M(23) + " " + n.fileName, false);
    ctx_.log.LogLine(ctx_.M(24) + " UltraISO", true);
  } else if (job == "UnknownKind") {
    ctx_.log.LogLine(ctx_.M(23) + " " + n.fileName, false);
    ctx_.log.LogLine(ctx_.M(155) + ": " + kind, true);
  } else {
    JobTable().at(job)(ctx_, path);
  }
}

}  // namespace orvex
