#include "tool_runner.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform.h"
#include "text.h"

namespace orvex {

std::string Context::Tool(const std::string& relName) const {
  std::string rel = relName;
  for (char& c : rel)
    if (c == '/' || c == '\\') c = platform::kSep;
  return root + rel + std::string(platform::kExeSuffix);
}

std::string Context::ConfigFolder() const {
  return configRoot.empty() ? root + "config" + platform::kSep : configRoot;
}

std::string Context::FrameworkFolder() const {
  return frameworkRoot.empty() ? root + "framework" + platform::kSep : frameworkRoot;
}

std::string ToolKey(std::string_view tool) {
  size_t slash = tool.find_last_of("/\\");
  std::string_view file = slash == std::string_view::npos ? tool : tool.substr(slash + 1);
  size_t dot = file.rfind('.');
  if (dot != std::string_view::npos && dot > 0) file = file.substr(0, dot);
  return ToLower(file);
}

std::string ApplyCarriageReturns(std::string_view text) {
  // Text whose every CR starts a CR LF pair comes out as it went in.
  bool plain = text.find('\f') == std::string_view::npos;
  for (size_t cr = text.find('\r'); plain && cr != std::string_view::npos; cr = text.find('\r', cr + 1))
    if (cr + 1 >= text.size() || text[cr + 1] != '\n') plain = false;
  if (plain) return std::string(text);
  std::string in = ReplaceAll(text, "\r\n", "\f");
  std::string out, line;
  out.reserve(in.size() + 16);
  bool restart = false;
  for (char c : in) {
    if (c == '\f') {
      out += line;
      out += "\r\n";
      line.clear();
    } else if (c == '\r') {
      restart = true;
    } else {
      if (restart) {
        line.clear();
        restart = false;
      }
      line += c;
    }
  }
  out += line;
  return out;
}

namespace {

// Removes from every occurrence of `marker` to the end of its line (the line break stays).
std::string RemoveToLineEnd(std::string_view text, std::string_view marker) {
  std::string out;
  size_t pos = 0;
  for (;;) {
    size_t hit = FindNoCase(text, marker, pos);
    if (hit == std::string::npos) break;
    out.append(text.substr(pos, hit - pos));
    size_t end = text.find_first_of("\r\n", hit);
    pos = end == std::string::npos ? text.size() : end;
  }
  out.append(text.substr(pos));
  return out;
}

// Removes whole lines that begin with `start` and hold `contains`, with their line break.
std::string RemoveBannerLines(std::string_view text, std::string_view start, std::string_view contains) {
  std::string out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    size_t next = end == std::string::npos ? text.size() : end + 1;
    std::string_view line = text.substr(pos, next - pos);
    std::string_view trimmed = line;
    while (!trimmed.empty() && (trimmed.front() == ' ' || trimmed.front() == '\r' || trimmed.front() == '\n'))
      trimmed.remove_prefix(1);
    bool banner = FindNoCase(trimmed, start) == 0 && FindNoCase(line, contains) != std::string::npos;
    if (!banner) out.append(line);
    pos = next;
  }
  return out;
}

}  // namespace

std::string StripToolBanner(std::string_view key, std::string_view piece) {
  std::string s(piece);
  if (key == "imgextractor") s = RemoveToLineEnd(s, "imgextractor: edition");
  if (key == "7z") s = RemoveBannerLines(s, "7-Zip", "Igor Pavlov");
  return RemoveToLineEnd(s, "| modded by ");
}

std::string ScanMakeExt4fsLine(std::string_view key, std::string_view line, ActivityLog& log) {
  if (key != "make_ext4fs") return std::string(line);
  std::string s = RemoveToLineEnd(line, "make_ext4fs.exe edition");
  const std::string_view marker = "failed to allocate";
  size_t p = FindNoCase(s, marker);
  if (p == std::string::npos) return s;
  size_t numStart = p + marker.size() + 1;
  size_t q = FindNoCase(s, "block", numStart);
  if (q == std::string::npos || q < numStart + 1) return s;
  int64_t n = LeadingInt(std::string_view(s).substr(numStart, q - 1 - numStart));
  if (n > 0 && n <= INT32_MAX) log.allocFailBlocks = static_cast<int32_t>(n);
  return s;
}

namespace {

class LogSink : public platform::OutputSink {
 public:
  LogSink(Context& ctx, std::string key) : ctx_(ctx), key_(std::move(key)) {
    // make_ext4fs and imgextractor write their errors in the ANSI code page, every other tool in
    // the console code page.
    errOem_ = key_ != "make_ext4fs" && key_ != "imgextractor";
  }

  // A piece is logged up to its last line break; the unfinished line waits for the rest of it
  // (or for the tool to fall silent for a moment), so no line is ever cut in two entries.
  void OnStdout(std::string_view bytes) override {
    std::string text = outHeld_ + platform::DecodeToolOutput(bytes, true, &outCarry_);
    outHeld_.clear();
    size_t lf = text.rfind('\n');
    if (lf == std::string::npos) {
      outHeld_ = std::move(text);
      return;
    }
    outHeld_ = text.substr(lf + 1);
    text.resize(lf + 1);
    EmitOut(std::move(text));
  }

  void OnIdle() override {
    if (!outHeld_.empty()) {
      std::string text = std::move(outHeld_);
      outHeld_.clear();
      EmitOut(std::move(text));
    }
  }

  void OnStderr(std::string_view bytes) override {
    errPending_.append(bytes);
    size_t start = 0;
    for (;;) {
      size_t lf = errPending_.find('\n', start);
      if (lf == std::string::npos) break;
      EmitErrLine(std::string_view(errPending_).substr(start, lf - start));
      start = lf + 1;
    }
    errPending_.erase(0, start);
  }

  void Finish() {
    if (!errPending_.empty()) EmitErrLine(errPending_);
    errPending_.clear();
    if (!outCarry_.empty()) {
      outHeld_ += platform::DecodeToolOutput(outCarry_, true, nullptr);
      outCarry_.clear();
    }
    OnIdle();
  }

 private:
  static std::string LfToCrLf(const std::string& s) {
    std::string out;
    out.reserve(s.size() + s.size() / 8);
    size_t pos = 0;
    for (size_t lf = s.find('\n'); lf != std::string::npos; lf = s.find('\n', lf + 1)) {
      out.append(s, pos, lf - pos);
      if (lf == 0 || s[lf - 1] != '\r') out += '\r';
      out += '\n';
      pos = lf + 1;
    }
    out.append(s, pos, std::string::npos);
    return out;
  }

  void EmitOut(std::string&& text) {
    if (platform::kSep == '/') text = LfToCrLf(text);
    text = ApplyCarriageReturns(text);
    text = StripToolBanner(key_, text);
    ctx_.log.LogLine(text, false);
  }

  void EmitErrLine(std::string_view raw) {
    std::string bytes;
    bytes.reserve(raw.size());
    for (char c : raw)
      if (c != '\r') bytes += c;
    if (bytes.empty()) return;  // an empty line on the error output is dropped
    std::string line = platform::DecodeToolOutput(bytes, errOem_, nullptr);
    line = ApplyCarriageReturns(line);
    line = ScanMakeExt4fsLine(key_, line, ctx_.log);
    ctx_.log.LogLine(line, false);
  }

  Context& ctx_;
  std::string key_;
  bool errOem_ = true;
  std::string errPending_;
  std::string outCarry_;
  std::string outHeld_;
};

}  // namespace

int RunTool(Context& ctx, const std::string& tool, const std::string& args, const std::string& workdir) {
  LogSink sink(ctx, ToolKey(tool));
  std::string command = platform::ToolForCommand(tool) + " " + args;
  int code = platform::RunInterpreter(command, workdir, sink);
  sink.Finish();
  return code;
}

namespace {

class CaptureSink : public platform::OutputSink {
 public:
  explicit CaptureSink(std::string* out) : out_(out) {}
  void OnStdout(std::string_view bytes) override { Add(bytes); }
  void OnStderr(std::string_view bytes) override { Add(bytes); }

 private:
  void Add(std::string_view bytes) {
    // A listing of a hostile archive may be huge: keep a bounded amount.
    if (out_ && out_->size() < (256u << 20)) out_->append(bytes);
  }
  std::string* out_;
};

}  // namespace

int CaptureTool(Context& ctx, const std::string& tool, const std::string& args, const std::string& workdir,
                std::string* output) {
  if (output) output->clear();
  CaptureSink sink(output);
  int code = platform::RunInterpreter(platform::ToolForCommand(tool) + " " + args, workdir, sink);
  if (output) *output = platform::DecodeToolOutput(*output, true);
  return code;
}

std::string LogStepResult(Context& ctx, int exitCode) {
  if (exitCode != 0) {
    ++ctx.log.errorCount;
    return "  (" + ctx.M(77) + "!)";
  }
  return "  (" + ctx.M(76) + "!)";
}

void LogStep(Context& ctx, std::string_view label, int exitCode, bool blankLine) {
  std::string suffix = LogStepResult(ctx, exitCode);
  ctx.log.LogLine(ctx.M(42) + " " + std::string(label) + ": " + std::to_string(exitCode) + suffix, blankLine);
}

int CheckJava(Context& ctx) {
  int code = RunTool(ctx, "java", " -version", "");
  if (code != 0)
    ctx.log.LogLine(">< !!! " + ctx.M(149) + ": https://www.java.com/download/  " + ctx.M(150), true);
  return code;
}

void AppendFileToLog(Context& ctx, const std::string& path) {
  auto p = platform::ToPath(path);
  std::ifstream f(p, std::ios::binary);
  if (!f) return;
  std::stringstream ss;
  ss << f.rdbuf();
  std::string name = platform::FromPath(p.stem());
  std::string ext = platform::FromPath(p.extension());
  if (!ext.empty()) ext.erase(0, 1);
  ctx.log.AppendSilently("--->> Read " + name + "." + ext + " <<--- \n" + SanitizeUtf8(ss.str()) + " --->> End " + name +
                         "." + ext + " <<--- \n\n");
}

int LogPathCheck(Context& ctx, const std::string& path) {
  ctx.log.LogLine(ctx.M(154) + ": " + path, false);
  size_t length = 0, latin = 0, other = 0, blanks = 0;
  for (char32_t cp : CodePoints(path)) {
    size_t units = cp >= 0x10000 ? 2 : 1;
    length += units;
    if (cp == 32) ++blanks;
    else if (cp < 128) ++latin;
    else other += units;
  }
  ctx.log.LogLine(ctx.M(159) + ": " + std::to_string(length) + "  " + ctx.M(156) + ": " + std::to_string(latin) + "  " +
                      ctx.M(157) + ": " + std::to_string(other) + "  " + ctx.M(158) + ": " + std::to_string(blanks),
                  false);
  if (blanks + other > 0) ctx.log.LogLine(">< !!! " + ctx.M(151) + ": " + std::to_string(blanks + other), false);
  if (length > 120)
    ctx.log.LogLine(">< !!! " + ctx.M(152) + " " + std::to_string(length) + " " + ctx.M(153), false);
  return static_cast<int>(blanks + other);
}

}  // namespace orvex
