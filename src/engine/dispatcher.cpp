#include "dispatcher.h"

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
  if (folder) RouteFolder(path);
  else RouteFile(path);
}

void JobDispatcher::RouteFolder(const std::string& path) {
  JobNames n = DeriveNames(path);
  auto packImageChoice = [&] {
    const std::string& name = n.name;
    if (name == "resource.img" || name == "boot.img" || name == "recovery.img" || name == "uboot.img" ||
        name == "bootloader.img")
      PackRockchipImage(ctx_, path);
    else if (name == "boot.fex" || name == "recovery.fex")
      PackAllwinnerImage(ctx_, path);
  };
  if (IsFolderEmpty(path) == 0 && FileSize(JoinPath(JoinPath(path, "config"), n.fileName + "_fs_options.txt")) > 0)
    PackPartitionImage(ctx_, path);
  else if (FileSize(n.dir + n.name + ".cfg") > 0)
    packImageChoice();
  else if (FileSize(path + ".cfg") > 0)
    packImageChoice();
  else if (FileSize(JoinPath(path, "image.cfg")) > 0)
    PackFirmwareContainer(ctx_, path);
  else if (FileSize(JoinPath(path, "zipFileList.cfg")) > 0)
    PackZipArchive(ctx_, path);
  else if (FileSize(JoinPath(path, "tarFileList.cfg")) > 0)
    PackTarArchive(ctx_, path);
  else if (FileSize(JoinPath(path, "config.ini")) > 0)
    PackBootImage(ctx_, path);
  else if (FileSize(JoinPath(path, "AndroidManifest.xml")) > 0)
    BuildApk(ctx_, path);
  else if (n.lname.find("logo") != std::string::npos)
    PackAmlLogoImage(ctx_, path);
  else if (n.lname == "_aml_dtb")
    PackDtb(ctx_, path);
  else if (n.lname == "add")
    MakeAttributeLists(ctx_, path);
  else if (n.lname.find("super") != std::string::npos)
    PackSuperImage(ctx_, path);
  else
    ctx_.log.LogLine(ctx_.M(25) + " \"" + n.fileName + "\" " + ctx_.M(26), true);
}

void JobDispatcher::RouteFile(const std::string& path) {
  JobNames n = DeriveNames(path);
  const std::string& ext = n.ext;
  const std::string& lname = n.lname;
  const std::string kind = DetectImageKind(path);
  auto has = [&](const char* s) { return lname.find(s) != std::string::npos; };
  auto extIn = [&](std::initializer_list<const char*> list) {
    for (const char* e : list)
      if (ext == e) return true;
    return false;
  };

  if (ext == "dat") UnpackTransferList(ctx_, path);
  else if (ext == "ext4") ConvertImage(ctx_, path);
  else if (ext == "br") DecompressTransferList(ctx_, path);
  else if (ext == "txt" && has("logfile")) AppendFileToLog(ctx_, path);
  else if (ext == "log" && has("lastaction")) AppendFileToLog(ctx_, path);
  else if (kind == "Sparse") {
    if (has("super")) UnpackSuperImage(ctx_, path);
    else UnpackPartitionImage(ctx_, path);
  } else if (kind == "Erofs") UnpackPartitionImage(ctx_, path);
  else if (kind == "Raw" && extIn({"img", "fex", "partition", "org", "bin", "bak"})) {
    if (has("super")) UnpackSuperImage(ctx_, path);
    else UnpackPartitionImage(ctx_, path);
  } else if (kind == "Rockchip" || kind == "Allwinner" || kind == "Amlogic") UnpackFirmwareContainer(ctx_, path);
  else if (kind == "DtbSingle") UnpackSingleDtb(ctx_, path);
  else if (kind == "DtbMulti") UnpackMultiDtb(ctx_, path, kind);
  else if (kind == "Tar" || ext == "tar" || (ext == "md5" && DeriveNames(n.name).ext == "tar"))
    UnpackTarArchive(ctx_, path);
  else if (kind == "SevenZip" || ext == "7z" || ext == "rar") Unpack7zArchive(ctx_, path);
  else if (kind == "Zip" && ext == "zip") UnpackZipArchive(ctx_, path);
  else if (kind == "Zip" && ext == "apk") DecodeApk(ctx_, path);
  else if (kind == "Gzip" && has("_aml_dtb")) UnpackMultiDtb(ctx_, path, kind);
  else if (kind == "Gzip" && ext == "gz") UnpackGzipFile(ctx_, path);
  else if (kind == "Gzip" && ext == "img") UnpackRockchipImage(ctx_, path);
  else if (kind == "AmlLogo") UnpackAmlLogoImage(ctx_, path);
  else if (kind == "RkRes" || kind == "RkUboot") UnpackRockchipImage(ctx_, path);
  else if (kind == "BootRec") {
    if (ext == "fex") UnpackAllwinnerImage(ctx_, path);
    else if (ext == "partition") UnpackBootImage(ctx_, path);
    else UnpackRockchipImage(ctx_, path);
  } else if (kind == "PayLoad") UnpackPayload(ctx_, path);
  else if (kind == "Pac") UnpackPacFirmware(ctx_, path);
  else if (kind == "Lz4" || ext == "lz4") UnpackLz4Image(ctx_, path);
  else if (kind == "Fat32" || has("ce_flash")) {
    ctx_.log.LogLine(ctx_.M(23) + " " + n.fileName, false);
    ctx_.log.LogLine(ctx_.M(24) + " UltraISO", true);
  } else {
    ctx_.log.LogLine(ctx_.M(23) + " " + n.fileName, false);
    ctx_.log.LogLine(ctx_.M(155) + ": " + kind, true);
  }
}

}  // namespace orvex
