// orvex-cli as a user runs it: a copy of the program beside its own bin/ folder of fake tools.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "test_support.h"

using namespace orvex::test;

namespace {

struct CliHome {
  TempDir tmp;
  fs::path exe;
  CliHome() {
    exe = tmp / "orvex-cli";
    fs::copy_file(BuildDir() / "orvex-cli", exe);
    fs::create_directories(tmp / "bin/config");
    fs::create_directories(tmp / "bin/language");
    fs::copy_file(fs::path(ORVEX_SOURCE_DIR) / "resources/language/1033.lng", tmp / "bin/language/1033.lng");
    fs::create_directories(tmp / "work");
  }
  fs::path Work() const { return tmp / "work"; }
  void Tool(const std::string& name, const std::string& body) const {
    WriteFile(tmp / "bin" / name, "#!/bin/sh\n" + body);
    fs::permissions(tmp / "bin" / name, fs::perms::owner_all);
  }
  CommandResult Run(const std::string& args) const { return RunCommand(ShQuote(exe.string()) + " " + args + " </dev/null"); }
};

void WriteExt4Marked(const fs::path& p) {
  std::string b(8192, '\0');
  b[0x438] = '\x53';
  b[0x439] = '\xEF';
  WriteFile(p, b);
}

}  // namespace

TEST(Cli, HelpVersionAndUsageErrors) {
  CliHome h;
  auto r = h.Run("--version");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.output, "orvex-cli 4.3 (build 3105)\n");
  r = h.Run("--help");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.output.find("Usage: orvex-cli"), std::string::npos);
  EXPECT_EQ(h.Run("--bogus").exit_code, 2);
  EXPECT_EQ(h.Run("--set").exit_code, 2);
  EXPECT_EQ(h.Run("--set No_Such=1 x").exit_code, 2);
  EXPECT_EQ(h.Run("--set Not_Delete=7 x").exit_code, 2);
  EXPECT_FALSE(fs::exists(h.tmp / "bin/config/settings.ini"));  // nothing ran
}

TEST(Cli, RunWritesTheLogMirrorAndSettingsButNotOverrides) {
  CliHome h;
  WriteFile(h.tmp / "bin/config/settings.ini", "\xEF\xBB\xBF\r\n[Settings]\r\nFree_Space = 300\r\n");
  WriteFile(h.Work() / "app.jar", "PK\x03\x04");
  auto r = h.Run("--set Locale_ID=1033 --set Free_Space=5 " + ShQuote((h.Work() / "app.jar").string()));
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_NE(r.output.find("The program cannot unpack: app.jar\nHeader: Zip\n"), std::string::npos) << r.output;
  std::string mirror = ReadFile(h.tmp / "bin/config/lastAction.log");
  EXPECT_NE(mirror.find("The program cannot unpack: app.jar\r\nHeader: Zip\r\n\n"), std::string::npos);
  std::string settings = ReadFile(h.tmp / "bin/config/settings.ini");
  EXPECT_NE(settings.find("Free_Space = 300\r\n"), std::string::npos);
  EXPECT_NE(settings.find("Locale_ID = 0\r\n"), std::string::npos);
  EXPECT_TRUE(fs::is_directory(h.tmp / "bin/framework"));
}

TEST(Cli, FailedStepGivesExitStatusOne) {
  CliHome h;
  h.Tool("imgextractor_", "echo 'EXT4 superblock info:'\n");
  h.Tool("imgextractor", "echo 'cannot read inode table' >&2\nexit 5\n");
  WriteExt4Marked(h.Work() / "system.img");
  auto r = h.Run("--set Locale_ID=1033 " + ShQuote((h.Work() / "system.img").string()));
  EXPECT_EQ(r.exit_code, 1) << r.output;
  EXPECT_NE(r.output.find("cannot read inode table\n"), std::string::npos);
  EXPECT_NE(r.output.find("Exit code ImgExtractor: 5  (Execution error!)"), std::string::npos) << r.output;
}

TEST(Cli, RelativePathsAndTheTotalWord) {
  CliHome h;
  WriteFile(h.Work() / "a.jar", "PK\x03\x04");
  WriteFile(h.Work() / "b.jar", "PK\x03\x04");
  auto r = RunCommand("cd " + ShQuote(h.Work().string()) + " && " + ShQuote(h.exe.string()) +
                      " --set Locale_ID=1033 a.jar -total b.jar");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.output.find("Path: " + (h.Work() / "a.jar").string()), std::string::npos) << r.output;
  EXPECT_EQ(r.output.find("b.jar"), std::string::npos);
}

TEST(Cli, HostileFileNameReachesTheToolAsOneArgument) {
  CliHome h;
  h.Tool("imgextractor_", "echo 'EXT4 superblock info:'\n");
  h.Tool("imgextractor", "printf '[%s]\\n' \"$@\"\nexit 1\n");
  const std::string name = "a $(touch pwned) `touch pwned` 'x' \"y\" ; touch pwned ; Ё.img";
  WriteExt4Marked(h.Work() / name);
  auto r = h.Run(ShQuote((h.Work() / name).string()));
  EXPECT_FALSE(fs::exists(h.Work() / "pwned"));
  EXPECT_NE(r.output.find("[" + name + "]\n[" + name.substr(0, name.size() - 4) + "]\n"), std::string::npos) << r.output;
}

TEST(Cli, LogEntriesAppearWhileTheToolRuns) {
  CliHome h;
  const fs::path gate = h.tmp / "gate";
  h.Tool("imgextractor_", "echo 'EXT4 superblock info:'\n");
  h.Tool("imgextractor", "echo 'first half'\n"
                         "i=0; while [ ! -e " + ShQuote(gate.string()) + " ] && [ $i -lt 400 ]; do sleep 0.05; i=$((i+1)); done\n"
                         "echo 'second half'\nexit 1\n");
  WriteExt4Marked(h.Work() / "system.img");
  std::string cmd = ShQuote(h.exe.string()) + " " + ShQuote((h.Work() / "system.img").string()) + " 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  int fd = fileno(p);
  std::string seen;
  char buf[4096];
  // The first half must arrive while the tool still waits for the gate.
  for (int i = 0; i < 200 && seen.find("first half") == std::string::npos; ++i) {
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, 50) > 0) {
      ssize_t n = read(fd, buf, sizeof buf);
      if (n <= 0) break;
      seen.append(buf, static_cast<size_t>(n));
    }
  }
  EXPECT_NE(seen.find("first half"), std::string::npos);
  EXPECT_EQ(seen.find("second half"), std::string::npos);
  WriteFile(gate, "");
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) seen.append(buf, static_cast<size_t>(n));
  EXPECT_EQ(pclose(p) >> 8, 1);
  EXPECT_NE(seen.find("second half"), std::string::npos);
}

// An installed program: <prefix>/bin/orvex-cli finds its tool folder in <prefix>/lib/orvex and
// keeps settings, recent list, log mirror and framework in the user's XDG folders.
TEST(Cli, InstalledProgramKeepsItsStateInTheXdgFolders) {
  TempDir tmp;
  const fs::path prefix = tmp / "usr";
  fs::create_directories(prefix / "bin");
  fs::copy_file(BuildDir() / "orvex-cli", prefix / "bin/orvex-cli");
  fs::create_directories(prefix / "lib/orvex/language");
  fs::copy_file(fs::path(ORVEX_SOURCE_DIR) / "resources/language/1033.lng", prefix / "lib/orvex/language/1033.lng");
  WriteFile(prefix / "lib/orvex/imgextractor_", "#!/bin/sh\necho 'EXT4 superblock info:'\n");
  WriteFile(prefix / "lib/orvex/imgextractor",
            "#!/bin/sh\nn=$(basename \"$1\"); n=${n%.*}\nmkdir -p \"$2/$n\" \"$2/config\"\n"
            "printf 'Size: 8388608\\r\\n' > \"$2/config/${n}_fs_options.txt\"\n");
  for (const char* t : {"imgextractor_", "imgextractor"}) fs::permissions(prefix / "lib/orvex" / t, fs::perms::owner_all);
  fs::create_directories(tmp / "home");
  fs::create_directories(tmp / "work");
  std::string b(8192, '\0');
  b[0x438] = '\x53';
  b[0x439] = '\xEF';
  WriteFile(tmp / "work/system.img", b);
  const std::string cli = ShQuote((prefix / "bin/orvex-cli").string());
  const std::string home = "env -u XDG_CONFIG_HOME -u XDG_DATA_HOME HOME=" + ShQuote((tmp / "home").string()) + " ";

  auto r = RunCommand(home + cli + " --set Locale_ID=1033 " + ShQuote((tmp / "work/system.img").string()) + " </dev/null");
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_NE(r.output.find("Exit code ImgExtractor: 0"), std::string::npos) << r.output;  // the lib/orvex tool ran
  EXPECT_TRUE(fs::exists(tmp / "work/system/config/system_fs_options.txt"));
  EXPECT_GT(fs::file_size(tmp / "home/.config/orvex/settings.ini"), 0u);
  EXPECT_NE(ReadFile(tmp / "home/.config/orvex/lastAction.log").find("system.img"), std::string::npos);
  EXPECT_NE(ReadFile(tmp / "home/.config/orvex/recent.ini").find("system.img"), std::string::npos);
  EXPECT_TRUE(fs::is_directory(tmp / "home/.local/share/orvex/framework"));
  EXPECT_FALSE(fs::exists(prefix / "lib/orvex/config"));
  EXPECT_FALSE(fs::exists(prefix / "lib/orvex/framework"));

  // $XDG_CONFIG_HOME and $XDG_DATA_HOME take the place of ~/.config and ~/.local/share; --help names the file.
  const std::string xdg = "env HOME=" + ShQuote((tmp / "home").string()) + " XDG_CONFIG_HOME=" +
                          ShQuote((tmp / "cfg").string()) + " XDG_DATA_HOME=" + ShQuote((tmp / "data").string()) + " ";
  r = RunCommand(xdg + cli + " --help </dev/null");
  EXPECT_NE(r.output.find((tmp / "cfg/orvex/settings.ini").string()), std::string::npos) << r.output;
  r = RunCommand(xdg + cli + " " + ShQuote((tmp / "work/missing.img").string()) + " </dev/null");
  EXPECT_TRUE(fs::exists(tmp / "cfg/orvex/settings.ini"));
  EXPECT_TRUE(fs::is_directory(tmp / "data/orvex/framework"));
}

// A program run from its build folder keeps its state in bin/ beside it, whatever XDG says.
TEST(Cli, ProgramBesideItsToolFolderKeepsItsStateThere) {
  CliHome h;
  auto r = RunCommand("env XDG_CONFIG_HOME=" + ShQuote((h.tmp / "cfg").string()) + " " + ShQuote(h.exe.string()) +
                      " " + ShQuote((h.Work() / "missing.img").string()) + " </dev/null");
  EXPECT_TRUE(fs::exists(h.tmp / "bin/config/settings.ini")) << r.output;
  EXPECT_TRUE(fs::is_directory(h.tmp / "bin/framework"));
  EXPECT_FALSE(fs::exists(h.tmp / "cfg"));
}

namespace {

// A partition folder ready to pack beside the user's image (8 KiB, a whole ext4 header).
std::string PackableSystem(const CliHome& h) {
  const fs::path w = h.Work();
  WriteFile(w / "system/system/etc/file.txt", "data");
  WriteFile(w / "system/config/system_fs_config.txt", "system 0 0 0755\r\n");
  WriteFile(w / "system/config/system_file_contexts.txt", "/system u:object_r:system_file:s0\r\n");
  WriteFile(w / "system/config/system_fs_options.txt", "Size: 67108864\r\nFolderName: system\r\n");
  std::string image(8192, '\0');
  image[0x438] = '\x53';
  image[0x439] = '\xEF';
  image[0x404] = 8;
  WriteFile(w / "system.img", image);
  h.Tool("fspatch", "");
  return image;
}

// make_ext4fs that writes half an image, says so in `started` with its process id, and then
// waits (or, with `seconds` 0, finishes the image at once).
void SlowMakeExt4fs(const CliHome& h, int seconds) {
  h.Tool("make_ext4fs", "for a in \"$@\"; do prev=$out; out=$a; done\n"
                        "echo 'half' > \"$prev\"\n"
                        "echo $$ > " + ShQuote((h.tmp / "started").string()) + "\n"
                        "sleep " + std::to_string(seconds) + "\n"
                        "head -c 16384 /dev/zero > \"$prev\"\n");
}

// Starts orvex-cli in a process group of its own, as a shell starts a foreground job, with its
// standard output on `outFd`.
pid_t StartCli(const CliHome& h, const std::vector<std::string>& args, int outFd) {
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    dup2(outFd, 1);
    int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, 0);
    std::vector<char*> argv;
    std::string exe = h.exe.string();
    argv.push_back(exe.data());
    std::vector<std::string> copy = args;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(exe.c_str(), argv.data());
    _exit(127);
  }
  setpgid(pid, pid);
  return pid;
}

bool WaitForFile(const fs::path& p, int ms) {
  for (int i = 0; i < ms / 20; ++i) {
    if (fs::exists(p) && fs::file_size(p) > 0) return true;
    usleep(20000);
  }
  return false;
}

// The exit status of a child, or -1 when it has not ended within `ms`.
int WaitExit(pid_t pid, int ms) {
  for (int i = 0; i < ms / 20; ++i) {
    int st = 0;
    if (waitpid(pid, &st, WNOHANG) == pid) return WIFEXITED(st) ? WEXITSTATUS(st) : 1000 + WTERMSIG(st);  // killed: no status of its own
    usleep(20000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

// A process that still runs (a zombie waiting for its parent does not).
bool Running(pid_t pid) {
  std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

}  // namespace

TEST(Cli, InterruptedPackGivesTheImageBack) {
  for (int sig : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(sig);
    CliHome h;
    const std::string original = PackableSystem(h);
    SlowMakeExt4fs(h, 30);
    int null = open("/dev/null", O_WRONLY);
    pid_t pid = StartCli(h, {"--set", "Locale_ID=1033", (h.Work() / "system").string()}, null);
    close(null);
    ASSERT_TRUE(WaitForFile(h.tmp / "started", 10000));
    const pid_t tool = std::stoi(ReadFile(h.tmp / "started"));
    // Ctrl+C reaches the terminal's whole foreground group; a termination request the program.
    if (sig == SIGINT) kill(-pid, SIGINT);
    else kill(pid, SIGTERM);
    EXPECT_EQ(WaitExit(pid, 10000), sig == SIGINT ? 130 : 143);
    EXPECT_EQ(ReadFile(h.Work() / "system.img"), original);
    EXPECT_FALSE(fs::exists(h.Work() / "system.bak"));
    for (int i = 0; i < 100 && Running(tool); ++i) usleep(20000);
    EXPECT_FALSE(Running(tool));  // the tool did not outlive the program
    std::string mirror = ReadFile(h.tmp / "bin/config/lastAction.log");
    EXPECT_NE(mirror.find("Renaming system.img to system.bak"), std::string::npos) << mirror;
  }
}

TEST(Cli, ClosedStandardOutputEndsThePrintingNotThePack) {
  CliHome h;
  PackableSystem(h);
  SlowMakeExt4fs(h, 1);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);  // nobody reads: every write fails with a broken pipe
  pid_t pid = StartCli(h, {"--set", "Locale_ID=1033", (h.Work() / "system").string()}, fds[1]);
  close(fds[1]);
  EXPECT_EQ(WaitExit(pid, 20000), 0);
  EXPECT_EQ(fs::file_size(h.Work() / "system.img"), 16384u);
  EXPECT_FALSE(fs::exists(h.Work() / "system.bak"));
  EXPECT_NE(ReadFile(h.tmp / "bin/config/lastAction.log").find("system.img completed."), std::string::npos);
}

TEST(Cli, PackAfterAKilledPackKeepsTheOriginal) {
  CliHome h;
  const std::string original = PackableSystem(h);
  SlowMakeExt4fs(h, 30);
  int null = open("/dev/null", O_WRONLY);
  pid_t pid = StartCli(h, {(h.Work() / "system").string()}, null);
  close(null);
  ASSERT_TRUE(WaitForFile(h.tmp / "started", 10000));
  kill(pid, SIGKILL);  // no handler runs: half an image under the real name, the original as .bak
  waitpid(pid, nullptr, 0);
  kill(-std::stoi(ReadFile(h.tmp / "started")), SIGKILL);
  ASSERT_EQ(ReadFile(h.Work() / "system.img"), "half\n");
  ASSERT_EQ(ReadFile(h.Work() / "system.bak"), original);

  h.Tool("make_ext4fs", "echo 'error: no room' >&2\nexit 1\n");
  auto r = h.Run("--set Locale_ID=1033 " + ShQuote((h.Work() / "system").string()));
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(ReadFile(h.Work() / "system.img"), original);
  EXPECT_FALSE(fs::exists(h.Work() / "system.bak"));
  EXPECT_NE(r.output.find(">< !!! Renaming system.bak to system.img\n"), std::string::npos) << r.output;
}
