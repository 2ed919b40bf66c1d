#include "error_box.h"

#include <QApplication>
#include <QMessageBox>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "platform.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace orvex::gui {

namespace {

const char kTitle[] = "OVX program error!";
char gProgram[4096];
char gText[2048];

#ifndef _WIN32
// Turns this process into the box: only calls that are safe inside a signal handler.
void ShowBox(const char* text) {
  char flag[] = "--error-box";
  char* const args[] = {gProgram, flag, const_cast<char*>(text), nullptr};
  execv(gProgram, args);
}
#else
void ShowBox(const char* text) {
  QMessageBox::critical(nullptr, QString::fromUtf8(kTitle), QString::fromUtf8(text));
}
#endif

// Appends to gText without allocating.
size_t Append(size_t at, const char* s) {
  while (*s && at + 1 < sizeof gText) gText[at++] = *s++;
  gText[at] = '\0';
  return at;
}

const char* SignalName(int sig) {
  switch (sig) {
    case SIGSEGV: return "Segmentation fault (SIGSEGV)";
    case SIGFPE: return "Arithmetic error (SIGFPE)";
    case SIGILL: return "Illegal instruction (SIGILL)";
    case SIGABRT: return "Aborted (SIGABRT)";
#ifndef _WIN32
    case SIGBUS: return "Bus error (SIGBUS)";
#endif
    default: return "Fatal signal";
  }
}

const char* BaseName(const char* path) {
  const char* b = path;
  for (const char* p = path; *p; ++p)
    if (*p == '/' || *p == '\\') b = p + 1;
  return b;
}

void OnSignal(int sig) {
  size_t at = Append(0, "String - 0\nFile: ");
  at = Append(at, BaseName(gProgram));
  at = Append(at, "\n\nType error: ");
  Append(at, SignalName(sig));
  ShowBox(gText);
  std::_Exit(128 + sig);
}

void ShowAndEnd(const std::string& text) {
  std::snprintf(gText, sizeof gText, "%s", text.c_str());
  ShowBox(gText);
  std::_Exit(1);
}

void OnTerminate() {
  std::string what = "Unhandled exception";
  if (auto e = std::current_exception()) {
    try {
      std::rethrow_exception(e);
    } catch (const std::exception& ex) {
      what = std::string("Unhandled exception: ") + ex.what();
    } catch (...) {
    }
  }
  ShowAndEnd(ErrorBoxText(0, BaseName(gProgram), what));
}

QtMessageHandler gPreviousHandler = nullptr;

void OnQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (type != QtFatalMsg) {
    if (gPreviousHandler) gPreviousHandler(type, context, message);
    return;
  }
  ShowAndEnd(ErrorBoxText(context.line, context.file ? BaseName(context.file) : "", message.toStdString()));
}

}  // namespace

std::string ErrorBoxText(int line, const std::string& file, const std::string& description) {
  return "String - " + std::to_string(line) + "\nFile: " + file + "\n\nType error: " + description;
}

void InstallErrorBox(const std::string& programFile) {
  std::snprintf(gProgram, sizeof gProgram, "%s", programFile.c_str());
  std::set_terminate(OnTerminate);
  gPreviousHandler = qInstallMessageHandler(OnQtMessage);
#ifndef _WIN32
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sa.sa_flags = SA_RESETHAND;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) sigaction(sig, &sa, nullptr);
#else
  for (int sig : {SIGSEGV, SIGFPE, SIGILL, SIGABRT}) std::signal(sig, OnSignal);
#endif
}

int RunErrorBox(int argc, char** argv) {
  QApplication app(argc, argv);
  QMessageBox box(QMessageBox::Critical, QString::fromUtf8(kTitle), argc > 2 ? QString::fromUtf8(argv[2]) : QString(),
                  QMessageBox::Ok);
  box.exec();
  return 1;
}

}  // namespace orvex::gui
