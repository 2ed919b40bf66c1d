// Windows side of the platform layer. Every call into the system uses the UTF-16 ("W") entry
// points; text crosses from and to UTF-8 here and nowhere else.
#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <shellapi.h>

#include <io.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform.h"

namespace orvex::platform {

namespace fs = std::filesystem;

namespace {

std::wstring Wide(std::string_view utf8) {
  if (utf8.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

std::string Utf8(std::wstring_view w) {
  if (w.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), out.data(), n, nullptr, nullptr);
  return out;
}

// Calls fill(buffer, size) until the buffer was large enough; fill returns the length written,
// or a number >= size when it needs more room (the way GetModuleFileNameW and friends report it).
template <typename Fill>
std::wstring GrowingBuffer(Fill fill) {
  std::wstring buf(MAX_PATH, L'\0');
  for (int tries = 0; tries < 8; ++tries) {
    DWORD n = fill(buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return {};
    if (n < buf.size()) {
      buf.resize(n);
      return buf;
    }
    buf.resize(std::max<size_t>(buf.size() * 2, n + 1));
  }
  return {};
}

std::wstring SystemFolder() {
  return GrowingBuffer([](wchar_t* b, DWORD size) { return GetSystemDirectoryW(b, size); });
}

// Characters that make cmd.exe split or interpret an unquoted word.
bool NeedsQuotesForCmd(std::string_view word) {
  return word.empty() || word.find_first_of(" \t&|<>()^%!,;=@\"") != std::string_view::npos;
}

}  // namespace

fs::path ToPath(std::string_view utf8) { return fs::path(Wide(utf8)); }
std::string FromPath(const fs::path& p) { return Utf8(p.native()); }
std::FILE* OpenFile(const std::string& path, const char* mode) { return _wfopen(Wide(path).c_str(), Wide(mode).c_str()); }

void WriteText(std::FILE* stream, std::string_view utf8) {
  std::fflush(stream);
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  DWORD mode = 0;
  if (h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode)) {
    std::wstring w = Wide(utf8);
    DWORD written = 0;
    WriteConsoleW(h, w.data(), static_cast<DWORD>(w.size()), &written, nullptr);
    return;
  }
  std::fwrite(utf8.data(), 1, utf8.size(), stream);
  std::fflush(stream);
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  std::vector<std::string> args;
  int n = 0;
  wchar_t** w = CommandLineToArgvW(GetCommandLineW(), &n);
  if (!w) {
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    return args;
  }
  for (int i = 1; i < n; ++i) args.push_back(Utf8(w[i]));
  LocalFree(w);
  return args;
}

// cmd.exe has no escape for a double quote inside double quotes, and it expands %NAME% even there,
// before it looks at quotes at all. So:
// - the word goes inside double quotes, where & | < > ( ) ^ ! , ; = and blanks are plain text
//   (the interpreter runs with delayed expansion off, so ! is never special);
// - every % stands between a closing and an opening quote ("a"%"PATH"%"b"). The interpreter then
//   can only see names that begin and end with a quote character, which no variable has, and
//   leaves the text as it is; the tool's own argument parser joins the pieces back into a%PATH%b;
// - a double quote, CR, LF or NUL cannot be part of a Windows file name and would end the quoted
//   text or the command, so they are left out;
// - backslashes in front of a quote that we write are doubled, because the C runtime's argument
//   parser reads \" as a literal quote ("C:\dir\\" reaches the tool as C:\dir\).
std::string Quote(std::string_view arg) {
  std::string out;
  out.reserve(arg.size() + 2);
  out += '"';
  size_t backslashes = 0;
  auto closeQuote = [&] {
    out.append(backslashes, '\\');
    out += '"';
    backslashes = 0;
  };
  for (char c : arg) {
    if (c == '"' || c == '\r' || c == '\n' || c == '\0') continue;
    if (c == '%') {
      closeQuote();
      out += "%\"";
      continue;
    }
    out += c;
    backslashes = c == '\\' ? backslashes + 1 : 0;
  }
  closeQuote();
  return out;
}

std::string ToolForCommand(std::string_view tool) {
  // "rmdir", "java" and plain paths stay as they are; any other path goes in one pair of quotes.
  // Unlike an argument, a % is not split out: the tool finds its own name (argv[0]) by reading
  // up to the first quote only, so its command line must start with the whole path in one pair
  // of quotes. A lone % there is safe, since the text up to the next % holds a quote and names
  // no variable. Only a folder whose name holds %NAME% of an existing variable would still be
  // expanded, and there is no way to write that for cmd.exe.
  if (!NeedsQuotesForCmd(tool)) return std::string(tool);
  std::string out = "\"";
  for (char c : tool)
    if (c != '"' && c != '\r' && c != '\n' && c != '\0') out += c;
  return out + "\"";
}

std::string_view NullOutput() { return "> nul"; }
std::string_view NullError() { return "2>nul"; }

ToolCommand RemoveTreeCommand(const std::string& folder) { return {"rmdir", "/s /q " + Quote(folder)}; }

namespace {

// Owns a handle for the length of a scope.
class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE h) : h_(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
  ~Handle() { Reset(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return h_; }
  HANDLE* out() {
    Reset();
    return &h_;
  }
  explicit operator bool() const { return h_ != nullptr; }
  void Reset() {
    if (h_) CloseHandle(h_);
    h_ = nullptr;
  }

 private:
  HANDLE h_ = nullptr;
};

// A pipe whose write end the child inherits and whose read end stays ours alone.
bool MakeOutputPipe(Handle& readEnd, Handle& writeEnd) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  if (!CreatePipe(readEnd.out(), writeEnd.out(), &sa, 1 << 16)) return false;
  return SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0) != 0;
}

// Reads what is waiting in the pipe (never blocks); false when nothing was there.
bool ReadWaiting(HANDLE pipe, std::vector<char>& buf, std::string_view& piece) {
  DWORD avail = 0;
  if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &avail, nullptr) || avail == 0) return false;
  DWORD got = 0;
  DWORD want = std::min<DWORD>(avail, static_cast<DWORD>(buf.size()));
  if (!ReadFile(pipe, buf.data(), want, &got, nullptr) || got == 0) return false;
  piece = std::string_view(buf.data(), got);
  return true;
}

}  // namespace

namespace {

// The job objects of the tools that run now: ending one ends every process the tool started.
std::mutex runningMu;
std::set<HANDLE> running;
std::atomic<bool> refuseTools{false};

}  // namespace

int RunInterpreter(const std::string& commandText, const std::string& workdir, OutputSink& sink) {
  if (refuseTools) return kCannotStart;
  const std::wstring cmdExe = SystemFolder() + L"\\cmd.exe";
  // /s with the command in one pair of quotes: the interpreter removes exactly that pair and
  // takes everything between literally, whatever quotes the command itself holds. /v:off keeps
  // ! plain text; /d skips AutoRun commands from the registry, which would run before every tool.
  std::wstring line = L"\"" + cmdExe + L"\" /d /v:off /s /c \"" + Wide(commandText) + L"\"";

  Handle outRead, outWrite, errRead, errWrite;
  if (!MakeOutputPipe(outRead, outWrite) || !MakeOutputPipe(errRead, errWrite)) return kCannotStart;
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  Handle nul(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING, 0,
                         nullptr));
  if (!nul) return kCannotStart;

  STARTUPINFOEXW si{};
  si.StartupInfo.cb = sizeof si;
  si.StartupInfo.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
  si.StartupInfo.wShowWindow = SW_HIDE;
  si.StartupInfo.hStdInput = nul.get();
  si.StartupInfo.hStdOutput = outWrite.get();
  si.StartupInfo.hStdError = errWrite.get();

  // Only these three handles go to the child, even when another thread of ours holds other
  // inheritable handles at the same moment.
  HANDLE inherit[3] = {nul.get(), outWrite.get(), errWrite.get()};
  std::vector<char> attrStore;
  DWORD flags = CREATE_NO_WINDOW | CREATE_SUSPENDED;
  SIZE_T attrSize = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &attrSize);
  if (attrSize > 0) {
    attrStore.resize(attrSize);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attrStore.data());
    if (InitializeProcThreadAttributeList(list, 1, 0, &attrSize)) {
      if (UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherit, sizeof inherit, nullptr,
                                    nullptr)) {
        si.lpAttributeList = list;
        flags |= EXTENDED_STARTUPINFO_PRESENT;
      } else {
        DeleteProcThreadAttributeList(list);
      }
    }
  }

  const std::wstring wdir = Wide(workdir);
  PROCESS_INFORMATION pi{};
  const wchar_t* cwd = workdir.empty() ? nullptr : wdir.c_str();
  BOOL created = CreateProcessW(cmdExe.c_str(), line.data(), nullptr, nullptr, TRUE, flags, nullptr, cwd,
                                &si.StartupInfo, &pi);
  if (si.lpAttributeList) {
    DeleteProcThreadAttributeList(si.lpAttributeList);
    // A system that refuses the handle list still starts the interpreter with plain inheritance.
    if (!created && GetLastError() == ERROR_INVALID_PARAMETER) {
      si.lpAttributeList = nullptr;
      si.StartupInfo.cb = sizeof si.StartupInfo;
      created = CreateProcessW(cmdExe.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW | CREATE_SUSPENDED,
                               nullptr, cwd,
                               &si.StartupInfo, &pi);
    }
  }
  // Our copies of the child's ends must go, or the pipes never report their end.
  outWrite.Reset();
  errWrite.Reset();
  nul.Reset();
  if (!created) return kCannotStart;
  Handle process(pi.hProcess);
  // The interpreter joins a job object before it runs, so that its children are in it too.
  Handle job(CreateJobObjectW(nullptr, nullptr));
  bool inJob = job && AssignProcessToJobObject(job.get(), process.get());
  {
    std::lock_guard<std::mutex> l(runningMu);
    if (refuseTools) {
      TerminateProcess(process.get(), 1);
    } else if (inJob) {
      running.insert(job.get());
    }
  }
  ResumeThread(pi.hThread);
  CloseHandle(pi.hThread);
  struct Unlist {
    HANDLE h;
    ~Unlist() {
      std::lock_guard<std::mutex> l(runningMu);
      running.erase(h);
    }
  } unlist{job.get()};

  // Each pass reads what waits on the error output, then what waits on standard output, and
  // hands it on from this thread. When a pass finds nothing, it waits a few milliseconds for
  // the process instead of spinning. Everything the interpreter wrote before it ended is in the
  // pipes by the time its handle is signalled, so a pass that saw it ended and read nothing
  // was the last.
  std::vector<char> buf(1 << 16);
  std::string_view piece;
  ULONGLONG lastHeard = GetTickCount64();
  for (;;) {
    const bool ended = WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0;
    bool any = false;
    if (ReadWaiting(errRead.get(), buf, piece)) {
      sink.OnStderr(piece);
      any = true;
    }
    if (ReadWaiting(outRead.get(), buf, piece)) {
      sink.OnStdout(piece);
      any = true;
    }
    if (ended && !any) break;
    if (any) {
      lastHeard = GetTickCount64();
      continue;
    }
    if (GetTickCount64() - lastHeard >= static_cast<ULONGLONG>(kIdleMilliseconds)) {
      sink.OnIdle();
      lastHeard = GetTickCount64();
    }
    WaitForSingleObject(process.get(), 5);
  }
  while (ReadWaiting(errRead.get(), buf, piece)) sink.OnStderr(piece);

  DWORD code = 0;
  if (!GetExitCodeProcess(process.get(), &code)) return kCannotStart;
  return static_cast<int>(code);
}

namespace {

// How many leading bytes form whole characters in code page cp; the rest may be the first part
// of a character whose other bytes come with the next piece.
size_t WholeCharacters(UINT cp, std::string_view bytes) {
  const size_t n = bytes.size();
  if (cp == CP_UTF8) {
    // Look back for the lead byte of the last sequence.
    size_t back = 0;
    while (back < 3 && back < n && (static_cast<unsigned char>(bytes[n - 1 - back]) & 0xC0) == 0x80) ++back;
    if (back == n) return n;
    unsigned char lead = static_cast<unsigned char>(bytes[n - 1 - back]);
    size_t len = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    if (len > 1 && back + 1 < len) return n - 1 - back;
    return n;
  }
  CPINFO info{};
  if (!GetCPInfo(cp, &info) || info.MaxCharSize != 2) return n;
  // A byte in the lead range may also be the second byte of a pair, so walk from the start.
  size_t i = 0;
  while (i < n) {
    if (IsDBCSLeadByteEx(cp, static_cast<BYTE>(bytes[i]))) {
      if (i + 1 == n) return i;
      i += 2;
    } else {
      ++i;
    }
  }
  return n;
}

}  // namespace

void AllowToolsAgain() { refuseTools = false; }

void StopAllTools() {
  {
    std::lock_guard<std::mutex> l(runningMu);
    refuseTools = true;
    for (HANDLE j : running) TerminateJobObject(j, 1);
  }
  for (int i = 0; i < 40; ++i) {
    {
      std::lock_guard<std::mutex> l(runningMu);
      if (running.empty()) return;
    }
    Sleep(50);
  }
}

namespace {

std::function<void(int)>& InterruptCallback() {
  static std::function<void(int)> f;
  return f;
}

BOOL WINAPI ConsoleCtrl(DWORD type) {
  if (!InterruptCallback()) return FALSE;
  InterruptCallback()(type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT ? 130 : 143);
  return TRUE;
}

}  // namespace

void OnInterrupt(std::function<void(int exitStatus)> onInterrupt) {
  InterruptCallback() = std::move(onInterrupt);
  SetConsoleCtrlHandler(ConsoleCtrl, TRUE);
}

std::string DecodeToolOutput(std::string_view bytes, bool oem, std::string* carry) {
  const UINT cp = oem ? GetOEMCP() : GetACP();
  std::string joined;
  if (carry && !carry->empty()) {
    joined = *carry + std::string(bytes);
    carry->clear();
    bytes = joined;
  }
  if (carry) {
    size_t whole = WholeCharacters(cp, bytes);
    if (whole < bytes.size()) {
      *carry = std::string(bytes.substr(whole));
      bytes = bytes.substr(0, whole);
    }
  }
  if (bytes.empty()) return {};
  int n = MultiByteToWideChar(cp, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  if (n <= 0) return std::string(bytes.size(), '?');
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(cp, 0, bytes.data(), static_cast<int>(bytes.size()), w.data(), n);
  return Utf8(w);
}

bool RunsAsRoot() { return false; }

bool Is64BitHost() {
  SYSTEM_INFO si{};
  GetNativeSystemInfo(&si);
  return si.wProcessorArchitecture != PROCESSOR_ARCHITECTURE_INTEL;
}

std::string ProgramFile() {
  return Utf8(GrowingBuffer([](wchar_t* b, DWORD size) {
    DWORD n = GetModuleFileNameW(nullptr, b, size);
    return n == size ? size : n;  // a cut name fills the whole buffer
  }));
}

std::string TempFolder() {
  std::wstring t = GrowingBuffer([](wchar_t* b, DWORD size) { return GetTempPathW(size, b); });
  // "C:\Temp\" -> "C:\Temp"; a drive root keeps its separator.
  while (t.size() > 3 && (t.back() == L'\\' || t.back() == L'/')) t.pop_back();
  return Utf8(t);
}

std::string CurrentFolder() {
  return Utf8(GrowingBuffer([](wchar_t* b, DWORD size) { return GetCurrentDirectoryW(size, b); }));
}

// Windows keeps settings, the log mirror and the framework in the program folder.
std::string UserConfigFolder() { return ""; }
std::string UserDataFolder() { return ""; }

bool IsWritableFolder(const std::string& folder) {
  // A probe file tells more than the attributes (ACLs, read-only media).
  std::wstring probe = Wide(folder) + L"\\.orvex-write-probe";
  HANDLE h = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  CloseHandle(h);
  return true;
}

int UserUiLanguage() { return static_cast<int>(GetUserDefaultUILanguage()); }

namespace {

std::wstring RegistryText(HKEY root, const wchar_t* key, const wchar_t* value) {
  DWORD bytes = 0;
  if (RegGetValueW(root, key, value, RRF_RT_REG_SZ, nullptr, nullptr, &bytes) != ERROR_SUCCESS || bytes == 0) return {};
  std::wstring out(bytes / sizeof(wchar_t) + 1, L'\0');
  bytes = static_cast<DWORD>(out.size() * sizeof(wchar_t));
  if (RegGetValueW(root, key, value, RRF_RT_REG_SZ, nullptr, out.data(), &bytes) != ERROR_SUCCESS) return {};
  out.resize(wcsnlen(out.c_str(), out.size()));
  return out;
}

std::string Trimmed(std::string s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  size_t start = s.find_first_not_of(' ');
  return start == std::string::npos ? std::string() : s.substr(start);
}

// The real version numbers: GetVersionExW reports what the program's manifest allows it to see.
std::string WindowsVersion() {
  using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
  OSVERSIONINFOW v{};
  v.dwOSVersionInfoSize = sizeof v;
  bool have = false;
  if (HMODULE ntdll = GetModuleHandleW(L"ntdll.dll")) {
    auto fn = reinterpret_cast<RtlGetVersionFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
    have = fn && fn(&v) == 0;
  }
  std::string product = Utf8(RegistryText(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
                                          L"ProductName"));
  if (product.empty()) product = "Windows";
  if (!have) return product;
  return product + " " + std::to_string(v.dwMajorVersion) + "." + std::to_string(v.dwMinorVersion) + " (build " +
         std::to_string(v.dwBuildNumber) + ")";
}

}  // namespace

HostFacts GetHostFacts() {
  HostFacts f;
  f.cpuName = Trimmed(Utf8(
      RegistryText(HKEY_LOCAL_MACHINE, L"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0", L"ProcessorNameString")));
  SYSTEM_INFO si{};
  GetNativeSystemInfo(&si);
  f.cores = static_cast<int>(si.dwNumberOfProcessors);
  MEMORYSTATUSEX mem{};
  mem.dwLength = sizeof mem;
  if (GlobalMemoryStatusEx(&mem)) {
    f.totalMemory = static_cast<int64_t>(mem.ullTotalPhys);
    f.freeMemory = static_cast<int64_t>(mem.ullAvailPhys);
  }
  f.systemName = WindowsVersion();
  wchar_t host[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD hostLen = MAX_COMPUTERNAME_LENGTH + 1;
  if (GetComputerNameW(host, &hostLen)) f.computerName = Utf8(std::wstring_view(host, hostLen));
  wchar_t user[257] = {};
  DWORD userLen = 257;  // counts the closing NUL on success
  if (GetUserNameW(user, &userLen) && userLen > 0) f.userName = Utf8(std::wstring_view(user, userLen - 1));
  return f;
}

int64_t LocalClockSeconds() {
  // The local time's fields as a FILETIME, counted from 1601 in 100 ns steps.
  SYSTEMTIME local{};
  GetLocalTime(&local);
  FILETIME ft{};
  SystemTimeToFileTime(&local, &ft);
  uint64_t ticks = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return static_cast<int64_t>(ticks / 10000000ULL) - 11644473600LL;
}

namespace {

// The full path of an existing file or folder, as the shell wants it.
std::wstring FullPath(const std::string& path) {
  std::wstring w = Wide(path);
  return GrowingBuffer([&](wchar_t* b, DWORD size) { return GetFullPathNameW(w.c_str(), size, b, nullptr); });
}

}  // namespace

bool MoveToTrash(const std::string& path) {
  std::wstring full = FullPath(path);
  if (full.empty() || GetFileAttributesW(full.c_str()) == INVALID_FILE_ATTRIBUTES) return false;
  while (full.size() > 3 && full.back() == L'\\') full.pop_back();
  full.push_back(L'\0');  // the shell reads a list of names ended by an empty one
  full.push_back(L'\0');
  SHFILEOPSTRUCTW op{};
  op.wFunc = FO_DELETE;
  op.pFrom = full.c_str();
  op.fFlags = FOF_ALLOWUNDO | FOF_NOCONFIRMATION | FOF_SILENT | FOF_NOERRORUI;
  return SHFileOperationW(&op) == 0 && !op.fAnyOperationsAborted;
}

bool OpenWithDefault(const std::string& pathOrUrl) {
  std::wstring w = Wide(pathOrUrl);
  auto rc = reinterpret_cast<INT_PTR>(ShellExecuteW(nullptr, L"open", w.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
  return rc > 32;
}

bool StartProgram(const std::string& program, const std::string& argument) {
  std::wstring w = Wide(program), a = Wide(Quote(argument));
  auto rc = reinterpret_cast<INT_PTR>(ShellExecuteW(nullptr, L"open", w.c_str(), a.c_str(), nullptr, SW_SHOWNORMAL));
  return rc > 32;
}

namespace {

struct FileFacts {
  bool exists = false;
  bool directory = false;
  int64_t size = 0;
};

// What the path names, following a link to its target as stat() does.
FileFacts Facts(const std::string& path) {
  FileFacts f;
  std::wstring w = Wide(path);
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (w.empty() || !GetFileAttributesExW(w.c_str(), GetFileExInfoStandard, &data)) return f;
  if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    Handle h(CreateFileW(w.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!h || !GetFileInformationByHandle(h.get(), &info)) return f;  // a dangling link
    data.dwFileAttributes = info.dwFileAttributes;
    data.nFileSizeHigh = info.nFileSizeHigh;
    data.nFileSizeLow = info.nFileSizeLow;
  }
  f.exists = true;
  f.directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  f.size = static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
  return f;
}

}  // namespace

int64_t FileSizeOrMarker(const std::string& path) {
  FileFacts f = Facts(path);
  if (!f.exists) return -1;
  if (f.directory) return -2;
  return f.size;
}

bool Exists(const std::string& path) { return Facts(path).exists; }

bool IsDirectory(const std::string& path) {
  FileFacts f = Facts(path);
  return f.exists && f.directory;
}

bool IsLink(const std::string& path) {
  std::wstring w = Wide(path);
  while (w.size() > 3 && (w.back() == L'\\' || w.back() == L'/')) w.pop_back();
  WIN32_FIND_DATAW fd{};
  HANDLE h = w.empty() ? INVALID_HANDLE_VALUE : FindFirstFileW(w.c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return false;
  FindClose(h);
  // Other reparse points (deduplicated or cloud files) are ordinary files to us.
  return (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
         (fd.dwReserved0 == IO_REPARSE_TAG_SYMLINK || fd.dwReserved0 == IO_REPARSE_TAG_MOUNT_POINT);
}

}  // namespace orvex::platform
#endif
