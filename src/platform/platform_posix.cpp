// Linux side of the platform layer.
#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <thread>
#include <vector>

#include "platform.h"

extern char** environ;

namespace orvex::platform {

namespace fs = std::filesystem;

fs::path ToPath(std::string_view utf8) { return fs::path(std::string(utf8)); }
std::string FromPath(const fs::path& p) { return p.string(); }
std::FILE* OpenFile(const std::string& path, const char* mode) { return std::fopen(path.c_str(), mode); }

void WriteText(std::FILE* stream, std::string_view utf8) {
  std::fwrite(utf8.data(), 1, utf8.size(), stream);
  std::fflush(stream);
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  return args;
}

std::string Quote(std::string_view arg) {
  std::string out;
  out.reserve(arg.size() + 2);
  out += '\'';
  for (char c : arg) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  out += '\'';
  return out;
}

std::string ToolForCommand(std::string_view tool) {
  // A bare command name ("rm", "java") stays as it is; a path is quoted like any argument.
  if (tool.find('/') == std::string_view::npos) return std::string(tool);
  return Quote(tool);
}

std::string_view NullOutput() { return "> /dev/null"; }
std::string_view NullError() { return "2>/dev/null"; }

ToolCommand RemoveTreeCommand(const std::string& folder) { return {"rm", "-rf -- " + Quote(folder)}; }

namespace {

void SetCloexec(int fd) { fcntl(fd, F_SETFD, FD_CLOEXEC); }

// The process groups of the tools that run now (one per RunInterpreter call).
std::mutex runningMu;
std::set<pid_t> running;
std::atomic<bool> refuseTools{false};

// Reads what is waiting on fd into buf; returns bytes read, 0 at end of stream, -1 when nothing.
ssize_t ReadSome(int fd, std::vector<char>& buf) {
  for (;;) {
    ssize_t n = read(fd, buf.data(), buf.size());
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    return -1;
  }
}

}  // namespace

int RunInterpreter(const std::string& commandText, const std::string& workdir, OutputSink& sink) {
  int outPipe[2], errPipe[2];
  if (pipe(outPipe) != 0) return kCannotStart;
  if (pipe(errPipe) != 0) {
    close(outPipe[0]);
    close(outPipe[1]);
    return kCannotStart;
  }
  SetCloexec(outPipe[0]);
  SetCloexec(errPipe[0]);

  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&fa, errPipe[1], 2);
  posix_spawn_file_actions_addclose(&fa, outPipe[1]);
  posix_spawn_file_actions_addclose(&fa, errPipe[1]);
  // The working folder is entered by the interpreter itself, so that a folder that cannot be
  // entered is reported by it like any other failure of the command.
  std::string script = commandText;
  if (!workdir.empty()) script = "cd " + Quote(workdir) + " && " + commandText;
  const char* argv[] = {"/bin/sh", "-c", script.c_str(), nullptr};
  // A group of its own; the signals this program blocks or ignores are the tool's again.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setpgroup(&attr, 0);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  int rc = -1;
  {
    std::lock_guard<std::mutex> l(runningMu);
    if (!refuseTools) {
      rc = posix_spawn(&pid, "/bin/sh", &fa, &attr, const_cast<char* const*>(argv), environ);
      if (rc == 0) running.insert(pid);
    }
  }
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&fa);
  close(outPipe[1]);
  close(errPipe[1]);
  if (rc != 0) {
    close(outPipe[0]);
    close(errPipe[0]);
    return kCannotStart;
  }

  std::vector<char> buf(1 << 16);
  pollfd fds[2] = {{errPipe[0], POLLIN, 0}, {outPipe[0], POLLIN, 0}};
  int open = 2;
  while (open > 0) {
    int n = poll(fds, 2, kIdleMilliseconds);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (n == 0) {
      sink.OnIdle();
      continue;
    }
    // Error output first, then standard output, as each pass of the runner does.
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t got = ReadSome(fds[i].fd, buf);
      if (got > 0) {
        std::string_view piece(buf.data(), static_cast<size_t>(got));
        if (i == 0) sink.OnStderr(piece);
        else sink.OnStdout(piece);
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  for (auto& f : fds)
    if (f.fd >= 0) close(f.fd);

  int status = 0;
  int waited;
  while ((waited = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
  }
  {
    std::lock_guard<std::mutex> l(runningMu);
    running.erase(pid);
  }
  if (waited < 0) return kCannotStart;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 1;
}

void AllowToolsAgain() { refuseTools = false; }

void StopAllTools() {
  std::set<pid_t> groups;
  {
    std::lock_guard<std::mutex> l(runningMu);
    refuseTools = true;
    groups = running;
  }
  for (pid_t g : groups) kill(-g, SIGTERM);
  // The job thread reaps each tool; what has not ended after the grace time is ended by force.
  for (int i = 0; i < 40; ++i) {
    {
      std::lock_guard<std::mutex> l(runningMu);
      if (running.empty()) return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::lock_guard<std::mutex> l(runningMu);
  for (pid_t g : running) kill(-g, SIGKILL);
}

void OnInterrupt(std::function<void(int exitStatus)> onInterrupt) {
  signal(SIGPIPE, SIG_IGN);
  // Blocked here and in every thread started later; one thread takes them as they come.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread([set, onInterrupt = std::move(onInterrupt)] {
    int sig = 0;
    while (sigwait(&set, &sig) != 0) {
    }
    onInterrupt(sig == SIGINT ? 130 : 143);
  }).detach();
}

std::string DecodeToolOutput(std::string_view bytes, bool /*oem*/, std::string* carry) {
  std::string in;
  if (carry && !carry->empty()) {
    in = *carry + std::string(bytes);
    carry->clear();
    bytes = in;
  }
  std::string out;
  out.reserve(bytes.size());
  size_t i = 0;
  const size_t n = bytes.size();
  while (i < n) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c < 0x80) {
      size_t run = i + 1;
      while (run < n && static_cast<unsigned char>(bytes[run]) < 0x80) ++run;
      out.append(bytes.data() + i, run - i);
      i = run;
      continue;
    }
    size_t len = 0;
    uint32_t cp = 0;
    if (c >= 0xC2 && c <= 0xDF) len = 2, cp = c & 0x1F;
    else if (c >= 0xE0 && c <= 0xEF) len = 3, cp = c & 0x0F;
    else if (c >= 0xF0 && c <= 0xF4) len = 4, cp = c & 0x07;
    if (len == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    if (i + len > n) {
      // Maybe the rest of the character comes with the next piece.
      bool prefixOk = true;
      for (size_t k = i + 1; k < n; ++k)
        if ((static_cast<unsigned char>(bytes[k]) & 0xC0) != 0x80) prefixOk = false;
      if (carry && prefixOk) {
        *carry = std::string(bytes.substr(i));
        return out;
      }
    }
    bool ok = i + len <= n;
    for (size_t k = 1; ok && k < len; ++k) {
      unsigned char cc = static_cast<unsigned char>(bytes[i + k]);
      if ((cc & 0xC0) != 0x80) ok = false;
      else cp = (cp << 6) | (cc & 0x3F);
    }
    if (ok && ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))))
      ok = false;
    if (!ok) {
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    out.append(bytes.substr(i, len));
    i += len;
  }
  return out;
}

bool Is64BitHost() { return sizeof(void*) == 8; }
bool RunsAsRoot() { return ::geteuid() == 0; }

std::string ProgramFile() {
  std::error_code ec;
  auto p = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : p.string();
}

std::string TempFolder() {
  const char* t = std::getenv("TMPDIR");
  std::string s = (t && *t) ? t : "/tmp";
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

std::string CurrentFolder() {
  std::error_code ec;
  auto p = fs::current_path(ec);
  return ec ? std::string() : p.string();
}

namespace {

int LanguageFromLocale(std::string loc) {
  // "de_DE.UTF-8@euro" -> language "de", territory "DE"
  auto cut = loc.find_first_of(".@");
  if (cut != std::string::npos) loc.resize(cut);
  std::string lang = loc, terr;
  auto us = loc.find('_');
  if (us != std::string::npos) {
    lang = loc.substr(0, us);
    terr = loc.substr(us + 1);
  }
  if (lang == "C" || lang == "POSIX" || lang == "en") return 1033;
  if (lang == "ru") return 1049;
  if (lang == "zh") return (terr == "TW" || terr == "HK" || terr == "MO") ? 1028 : 2052;
  if (lang == "be") return 1059;
  if (lang == "uk") return 1058;
  if (lang == "pt") return terr == "PT" ? 2070 : 1046;
  if (lang == "vi") return 1066;
  if (lang == "tr") return 1055;
  if (lang == "de") return 1031;
  return 0;
}

}  // namespace

int UserUiLanguage() {
  for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* v = std::getenv(var);
    if (v && *v) return LanguageFromLocale(v);
  }
  return 0;
}

HostFacts GetHostFacts() {
  HostFacts f;
  std::ifstream ci("/proc/cpuinfo");
  std::string line;
  while (std::getline(ci, line)) {
    if (line.rfind("model name", 0) == 0) {
      auto c = line.find(':');
      if (c != std::string::npos) f.cpuName = line.substr(c + 2);
      break;
    }
  }
  f.cores = static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
  struct sysinfo si {};
  sysinfo(&si);
  f.totalMemory = static_cast<int64_t>(si.totalram) * si.mem_unit;
  f.freeMemory = static_cast<int64_t>(si.freeram) * si.mem_unit;
  std::ifstream mi("/proc/meminfo");
  while (std::getline(mi, line)) {
    if (line.rfind("MemAvailable:", 0) == 0) {
      f.freeMemory = std::atoll(line.c_str() + 13) * 1024;  // the value is in kB
      break;
    }
  }
  std::ifstream osr("/etc/os-release");
  while (std::getline(osr, line)) {
    if (line.rfind("PRETTY_NAME=", 0) == 0) {
      f.systemName = line.substr(12);
      if (f.systemName.size() >= 2 && f.systemName.front() == '"')
        f.systemName = f.systemName.substr(1, f.systemName.size() - 2);
    }
  }
  if (f.systemName.empty()) f.systemName = "Linux";
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  f.computerName = host;
  if (passwd* pw = getpwuid(geteuid())) f.userName = pw->pw_name;
  return f;
}

int64_t LocalClockSeconds() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return static_cast<int64_t>(timegm(&local));
}

namespace {

std::string UrlEncodePath(const std::string& p) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : p) {
    if (isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') out += static_cast<char>(c);
    else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

// Finds the mount point (top directory) of the file system that holds path.
fs::path TopDir(const fs::path& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return {};
  fs::path cur = path;
  for (;;) {
    fs::path parent = cur.parent_path();
    struct stat ps {};
    if (parent == cur || stat(parent.c_str(), &ps) != 0 || ps.st_dev != st.st_dev) return cur;
    cur = parent;
  }
}

bool TrashInto(const fs::path& trash, const fs::path& abs, bool relativeInfo, const fs::path& top) {
  std::error_code ec;
  fs::create_directories(trash / "files", ec);
  fs::create_directories(trash / "info", ec);
  std::string base = abs.filename().string();
  if (base.empty()) return false;
  for (int i = 0; i < 10000; ++i) {
    std::string name = i == 0 ? base : base + "." + std::to_string(i);
    fs::path info = trash / "info" / (name + ".trashinfo");
    int fd = ::open(info.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return false;
    }
    char date[32];
    std::time_t now = std::time(nullptr);
    std::tm tm {};
    localtime_r(&now, &tm);
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &tm);
    std::string shown = abs.string();
    if (relativeInfo) shown = fs::relative(abs, top).string();
    std::string text = "[Trash Info]\nPath=" + UrlEncodePath(shown) + "\nDeletionDate=" + date + "\n";
    bool wrote = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    if (wrote && ::rename(abs.c_str(), (trash / "files" / name).c_str()) == 0) return true;
    ::unlink(info.c_str());
    return false;
  }
  return false;
}

}  // namespace

namespace {

std::string XdgFolder(const char* variable, const char* fallbackBelowHome) {
  const char* xdg = std::getenv(variable);
  // The base directory specification ignores a relative value.
  if (xdg && *xdg == '/') return (fs::path(xdg) / "orvex").string();
  const char* home = std::getenv("HOME");
  if (home && *home) return (fs::path(home) / fallbackBelowHome / "orvex").string();
  return "";
}

}  // namespace

std::string UserConfigFolder() { return XdgFolder("XDG_CONFIG_HOME", ".config"); }
std::string UserDataFolder() { return XdgFolder("XDG_DATA_HOME", ".local/share"); }

bool IsWritableFolder(const std::string& folder) {
  struct stat st {};
  return stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && access(folder.c_str(), W_OK | X_OK) == 0;
}

bool MoveToTrash(const std::string& path) {
  std::error_code ec;
  fs::path abs = fs::absolute(path, ec);
  if (ec) return false;
  struct stat st {};
  if (lstat(abs.c_str(), &st) != 0) return false;
  const char* xdg = std::getenv("XDG_DATA_HOME");
  const char* home = std::getenv("HOME");
  fs::path homeTrash;
  if (xdg && *xdg) homeTrash = fs::path(xdg) / "Trash";
  else if (home && *home) homeTrash = fs::path(home) / ".local/share/Trash";
  if (!homeTrash.empty()) {
    struct stat hs {};
    fs::path probe = homeTrash;
    while (!probe.empty() && stat(probe.c_str(), &hs) != 0) probe = probe.parent_path();
    if (!probe.empty() && hs.st_dev == st.st_dev) return TrashInto(homeTrash, abs, false, {});
  }
  // Another file system: its own top-level trash folder.
  fs::path top = TopDir(abs.parent_path());
  if (top.empty()) return false;
  return TrashInto(top / (".Trash-" + std::to_string(getuid())), abs, true, top);
}

bool OpenWithDefault(const std::string& pathOrUrl) {
  const char* argv[] = {"xdg-open", pathOrUrl.c_str(), nullptr};
  pid_t pid;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  int rc = posix_spawnp(&pid, "xdg-open", &fa, nullptr, const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) return false;
  // Reaped without waiting for the browser: xdg-open returns quickly.
  int st;
  waitpid(pid, &st, 0);
  return WIFEXITED(st) && WEXITSTATUS(st) == 0;
}

bool StartProgram(const std::string& program, const std::string& argument) {
  const char* argv[] = {program.c_str(), argument.c_str(), nullptr};
  pid_t pid;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  int rc = posix_spawn(&pid, program.c_str(), &fa, nullptr, const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) return false;
  // The program runs on its own; a waiting thread only collects its exit so that it leaves no zombie.
  std::thread([pid] {
    int st;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return true;
}

int64_t FileSizeOrMarker(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return -1;
  if (S_ISDIR(st.st_mode)) return -2;
  return static_cast<int64_t>(st.st_size);
}

bool Exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsLink(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

}  // namespace orvex::platform
#endif
