#pragma once
// The platform layer: everything that differs between Windows and Linux lives behind these
// functions. Text is UTF-8 everywhere inside the program.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace orvex::platform {

#ifdef _WIN32
inline constexpr char kSep = '\\';
inline constexpr std::string_view kSeparators = "\\/";  // every character that separates folders
inline constexpr std::string_view kExeSuffix = ".exe";
#else
inline constexpr char kSep = '/';
inline constexpr std::string_view kSeparators = "/";
inline constexpr std::string_view kExeSuffix = "";
#endif
inline constexpr bool IsSeparator(char c) { return kSeparators.find(c) != std::string_view::npos; }

// UTF-8 text <-> file-system path.
std::filesystem::path ToPath(std::string_view utf8);
std::string FromPath(const std::filesystem::path& p);
// std::fopen for a UTF-8 path.
std::FILE* OpenFile(const std::string& path, const char* mode);

// Writes UTF-8 text to a standard stream: a Windows console window receives it as UTF-16 (it
// would show UTF-8 bytes in its own code page); a pipe, a file or a terminal here gets the bytes.
void WriteText(std::FILE* stream, std::string_view utf8);

// The program's arguments after its name, as UTF-8. Windows hands main() its arguments in the
// ANSI code page, so there they are read from the UTF-16 command line instead.
std::vector<std::string> ProgramArguments(int argc, char** argv);

// Quotes one path or word for the command interpreter so that it reaches the tool as one
// argument and nothing in it is interpreted: single quotes for sh, double quotes for cmd.exe.
std::string Quote(std::string_view arg);

// The tool part of a command line: a path with a blank or a shell character must stay one word.
std::string ToolForCommand(std::string_view tool);

// Redirections the interpreter understands.
std::string_view NullOutput();  // " > nul" / " > /dev/null" without the leading blank
std::string_view NullError();   // "2>nul" / "2>/dev/null"

// The command that removes a folder tree ("rmdir /s /q" on Windows, "rm -rf --" here).
struct ToolCommand {
  std::string tool;
  std::string args;
};
ToolCommand RemoveTreeCommand(const std::string& folder);

// Receives a running tool's output as raw byte pieces, in the order they were read.
class OutputSink {
 public:
  virtual ~OutputSink() = default;
  virtual void OnStdout(std::string_view bytes) = 0;
  virtual void OnStderr(std::string_view bytes) = 0;
  // Called when the tool has written nothing for a moment (about 200 ms) while it still runs.
  virtual void OnIdle() {}
};
inline constexpr int kIdleMilliseconds = 200;

// Runs commandText through the command interpreter (sh -c / cmd.exe /c) with standard output and
// standard error piped, no standard input, in workdir (inherited when empty). Output reaches the
// sink while the tool runs. Returns the exit code, or -300 when the interpreter cannot start.
// Each tool starts in a process group (a job object on Windows) of its own, so that stopping it
// reaches every process it started and a Ctrl+C in the terminal reaches the program only.
inline constexpr int kCannotStart = -300;
int RunInterpreter(const std::string& commandText, const std::string& workdir, OutputSink& sink);

// Ends every running tool with all its children (a polite request first, then by force after
// about two seconds) and makes every later RunInterpreter call fail as "cannot start". Returns
// once the running tools have ended or the grace time is over.
void StopAllTools();
// For a process that goes on after StopAllTools() (a test): tools may start again.
void AllowToolsAgain();

// Runs onInterrupt(exitStatus) on a thread of its own when the user interrupts the console
// program: SIGINT gives 130, SIGTERM 143 (Ctrl+C / Ctrl+Break 130 and closing the console 143 on
// Windows). onInterrupt is expected to end the process. A closed standard output (SIGPIPE) is
// ignored, so that it ends the printing, not the job. Call it before any other thread starts.
void OnInterrupt(std::function<void(int exitStatus)> onInterrupt);

// Decodes bytes a console tool wrote. On Windows `oem` selects the OEM code page, else ANSI;
// here tool output is UTF-8 and invalid bytes become U+FFFD. `carry` keeps an incomplete
// trailing UTF-8 sequence for the next piece of the same stream.
std::string DecodeToolOutput(std::string_view bytes, bool oem, std::string* carry = nullptr);

// Host facts.
bool Is64BitHost();
// True when the program runs as root, who may give files other owners, make device nodes and set
// any extended attribute. Always false on Windows, whose trees keep none of them.
bool RunsAsRoot();
std::string ProgramFile();  // full path of the running executable
std::string TempFolder();   // with no trailing separator
std::string CurrentFolder();
// Where an installed program keeps its writable state: the XDG configuration and data folders
// ($XDG_CONFIG_HOME or ~/.config, $XDG_DATA_HOME or ~/.local/share) followed by "orvex", without
// a trailing separator. Empty where the system has no such folders (Windows keeps everything in
// the program folder) or the home folder is unknown.
std::string UserConfigFolder();
std::string UserDataFolder();
// True when files can be created in the folder (it exists and the user may write there).
bool IsWritableFolder(const std::string& folder);
int UserUiLanguage();  // a Windows language identifier (1033, 1049, ...), 0 when unknown
std::string HostDescription();  // processor, memory, system name, host and user (saved-log header)
// The same facts one by one.
struct HostFacts {
  std::string cpuName;
  int cores = 0;             // processors available to the program
  int64_t totalMemory = 0;   // physical memory in bytes
  int64_t freeMemory = 0;    // physical memory available now, in bytes
  std::string systemName;    // the distribution's name (os-release) or the Windows version
  std::string computerName;
  std::string userName;
};
HostFacts GetHostFacts();
// The local wall-clock time with its fields read as if they were UTC, in seconds since 1970.
int64_t LocalClockSeconds();

// Moves a file or folder tree to the recycle bin / freedesktop trash. True on success.
bool MoveToTrash(const std::string& path);

// Opens a folder or address with the desktop's default handler (GUI front end only).
bool OpenWithDefault(const std::string& pathOrUrl);

// Starts a program with one argument and does not wait for it (a burning tool handed an image).
bool StartProgram(const std::string& program, const std::string& argument);

// File size in bytes; -1 when missing, -2 for a folder.
int64_t FileSizeOrMarker(const std::string& path);

// True when the path names an existing file or folder (a dangling link counts as missing).
bool Exists(const std::string& path);
bool IsDirectory(const std::string& path);
// True when the path itself is a symbolic link or junction (never followed).
bool IsLink(const std::string& path);

}  // namespace orvex::platform
