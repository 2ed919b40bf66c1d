// orvex: the desktop program. Start-up builds the windows over the same engine as orvex-cli,
// queues the paths it was given and starts the job thread; the event loop runs until the main
// window closes.
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app.h"
#include "error_box.h"
#include "finish_sound.h"
#include "icons.h"
#include "main_window.h"
#include "platform.h"
#include "qt_job_ui.h"
#include "ui_services.h"

using namespace orvex;
using namespace orvex::gui;

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "--error-box") == 0) return RunErrorBox(argc, argv);

  QApplication qapp(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Orvex"));
  QApplication::setDesktopFileName(QStringLiteral("orvex"));
  const std::string programFile = platform::ProgramFile();
  InstallErrorBox(programFile);

  QtJobUi ui;
  App app(ui);
  app.LocateFolders(programFile);
  app.LoadSettings();

  Icons icons;
  icons.Load();
  FinishSound sound;
  sound.Init(QString::fromStdString(app.ctx.root + "Complete.wav"));

  UiServices services(app.messages);
  MainWindow window(app, ui, services, icons, sound);
  window.ShowAtStart();
  if (app.settings.Int("Open_Settings") == 1) window.OpenSettingsWindow();

  // Paths from the command line, a file manager's "open with" or a drop on the launcher.
  std::vector<std::string> paths;
  bool total = false;
  const QStringList args = QCoreApplication::arguments();  // UTF-8 on every system, Qt's options taken out
  for (qsizetype i = 1; i < args.size(); ++i) {
    const std::string a = args[i].toStdString();
    if (a == "-total") {
      total = true;
      paths.push_back(a);
      continue;
    }
    std::error_code ec;
    auto abs = std::filesystem::absolute(platform::ToPath(a), ec);
    paths.push_back(ec ? a : platform::FromPath(abs));
  }
  const bool ctrlDown = total && (QGuiApplication::queryKeyboardModifiers() & Qt::ControlModifier);
  app.QueueArguments(paths, ctrlDown);

  app.FinishStartUp();
  app.dispatcher.StartJobs();
  const int status = qapp.exec();

  // Closing while jobs run does not wait for them.
  if (app.dispatcher.Running()) {
    std::fflush(nullptr);
    std::_Exit(status);
  }
  return status;
}
