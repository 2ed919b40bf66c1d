#pragma once
// A desktop program over a temporary Workspace: its own settings, a fake tool folder and a
// main window whose requesters and message boxes answer from the test.
#include <QMimeData>
#include <QTemporaryDir>
#include <QTest>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app.h"
#include "finish_sound.h"
#include "icons.h"
#include "main_window.h"
#include "qt_job_ui.h"
#include "ui_services.h"

namespace orvex::gui::test {

// Requesters and boxes that record what they were asked and answer as the test says.
class FakeServices : public UiServices {
 public:
  using UiServices::UiServices;

  struct Box {
    QString title, text;
    Buttons buttons;
    BoxIcon icon;
  };
  struct Request {
    QString kind, title, folder, pattern;
  };

  int MessageBox(QWidget*, const QString& title, const QString& text, Buttons buttons, BoxIcon icon) override;
  QStringList OpenFiles(QWidget*, const QString& title, const QString& folder, const QString& pattern) override;
  QString OpenFile(QWidget*, const QString& title, const QString& pattern) override;
  QString OpenFolder(QWidget*, const QString& title, const QString& folder) override;
  QString SaveFile(QWidget*, const QString& title, const QString& defaultName, const QString& pattern) override;
  std::optional<QColor> ChooseColor(QWidget*, const QColor&) override { return colourAnswer; }
  std::optional<QFont> ChooseFont(QWidget*, const QFont&) override { return fontAnswer; }
  void OpenExternal(const QString& target) override { opened << target; }
  void Quit() override { ++quits; }

  std::vector<Box> boxes;
  std::deque<int> answers;  // next box answers; without one a box answers Cancel (OK for Ok-only)
  std::vector<Request> requests;
  QStringList filesAnswer;
  QString fileAnswer, folderAnswer, saveAnswer;
  std::optional<QColor> colourAnswer;
  std::optional<QFont> fontAnswer;
  QStringList opened;
  int quits = 0;
};

class GuiFixture {
 public:
  // `tweak` changes settings after they were read and before the window is built. Unless it
  // says otherwise the interface is Russian (the built-in table) and Auto_Exit is 0.
  explicit GuiFixture(const std::function<void(Settings&)>& tweak = {});
  ~GuiFixture();

  std::string Root() const { return app.ctx.root; }        // the Workspace root, with "/"
  std::string Temp(const std::string& rel) const;           // a path in the temporary folder
  void WriteFile(const std::string& path, const std::string& bytes) const;
  // A fake tool in the tool folder: a shell script body run by /bin/sh.
  void WriteTool(const std::string& name, const std::string& body) const;
  // A file that the image detection takes for a raw ext4 partition image.
  std::string MakeExt4Image(const std::string& name) const;

  // Delivers everything posted to the user-interface thread.
  void Deliver();
  // Waits until the job thread has ended and the window has taken its updates.
  void WaitForRun();
  // Drops paths on a widget as a file manager would.
  static void Drop(QWidget* target, const QStringList& paths);

  QString M(int n) const { return QString::fromStdString(app.messages.Get(n)); }
  QString LogText() const { return QString::fromStdString(app.log.Text()); }

  QTemporaryDir dir;
  QtJobUi ui;
  App app{ui};
  Icons icons;
  FinishSound sound;
  std::unique_ptr<FakeServices> services;
  std::unique_ptr<MainWindow> window;
};

// Runs a Qt Test class on the offscreen platform unless another platform was asked for.
#define ORVEX_GUI_TEST_MAIN(TestClass)                                        \
  int main(int argc, char** argv) {                                           \
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))                       \
      qputenv("QT_QPA_PLATFORM", "offscreen");                                \
    QApplication application(argc, argv);                                     \
    TestClass t;                                                              \
    return QTest::qExec(&t, argc, argv);                                      \
  }

}  // namespace orvex::gui::test
