#pragma once
// Runs one console tool through the command interpreter and streams its output into the log.
#include <string>
#include <string_view>

#include "context.h"

namespace orvex {

// The file name of the tool without folder and extension, lower-cased.
std::string ToolKey(std::string_view tool);

// Runs tool + " " + args through the interpreter in workdir (the program's current folder when
// empty). Output reaches the log while the tool runs. Returns the exit code, -300 when the
// interpreter cannot be started.
int RunTool(Context& ctx, const std::string& tool, const std::string& args, const std::string& workdir);

// Runs a tool like RunTool but keeps its output (standard output and error, as UTF-8) out of the
// log, for jobs that read what a tool prints (an archive listing). Returns the exit code.
int CaptureTool(Context& ctx, const std::string& tool, const std::string& args, const std::string& workdir,
                std::string* output);

// What a console shows for output that rewrites its current line with CR.
std::string ApplyCarriageReturns(std::string_view text);
// Removes the banner and credit texts tool builds print.
std::string StripToolBanner(std::string_view key, std::string_view piece);
// For make_ext4fs: removes its edition banner and records "failed to allocate N blocks".
std::string ScanMakeExt4fsLine(std::string_view key, std::string_view line, ActivityLog& log);

// "  (" + message 76 or 77 + "!)"; a nonzero code raises the error count.
std::string LogStepResult(Context& ctx, int exitCode);
// The step line: message 42, " ", label, ": ", exit code and the result suffix.
void LogStep(Context& ctx, std::string_view label, int exitCode, bool blankLine = false);
// java -version; warns with the download hint when java cannot run.
int CheckJava(Context& ctx);
// Shows a text file in the log between marker lines.
void AppendFileToLog(Context& ctx, const std::string& path);
// Logs the analysis of a path; returns blanks plus non-Latin characters.
int LogPathCheck(Context& ctx, const std::string& path);

}  // namespace orvex
