// The main window: layout in the three toolbar forms, menus and toolbar, geometry rules, drops,
// the automatic close, the close question, the recent entries and the requesters.
#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>
#include <QScreen>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTest>
#include <QToolBar>
#include <QToolButton>

#include "about_windows.h"
#include "backup_registry.h"
#include "platform.h"
#include "desktop_entry.h"
#include "gui_fixture.h"
#include "log_view.h"
#include "progress_bar.h"
#include "settings_window.h"
#include "workspace.h"
#include <filesystem>

using namespace orvex;
using namespace orvex::gui;
using namespace orvex::gui::test;

namespace {

// Commands of a menu's items in order, separators as 0.
QList<int> Commands(const QMenu* menu) {
  QList<int> out;
  for (QAction* a : menu->actions()) out << (a->isSeparator() ? 0 : a->menu() ? -1 : a->data().toInt());
  return out;
}

QMenu* TopMenu(MainWindow& w, int index) { return w.menuBar()->actions().at(index)->menu(); }

int Count(const QString& hay, const QString& needle) { return static_cast<int>(hay.count(needle)); }

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void layoutFollowsTheToolbarForm();
  void verticalToolbarIsOneColumn();
  void menusHaveTheirItemsInOrder();
  void viewCommandsSetTheirChecks();
  void toolbarButtonsInOrder();
  void storedGeometryNeedsHeight251AndTheSameScreen();
  void threeDroppedFilesQueueInOrderInOneRun();
  void countdownWithZeroSecondsShowsOneLineThenCloses();
  void countdownCountsDownAndAClickStopsIt();
  void countdownStoppedBeforeItBeganNeverStarts();
  void confirmCloseWhileJobsRunKeepsEverything();
  void confirmedCloseDuringAPackGivesTheImageBack();
  void recentEntriesAskTheirQuestions();
  void requestersQueueWhatWasChosen();
  void aboutAndDonationWindowsCloseWithEscape();
  void desktopShortcutIsALauncherFile();
};

void MainWindowTest::layoutFollowsTheToolbarForm() {
  GuiFixture f;
  MainWindow& w = *f.window;
  w.resize(640, 420);
  f.Deliver();
  const int W = w.Client()->width(), H = w.Client()->height();
  QVERIFY(W > 400 && H > 200);

  // Horizontal (the default).
  QCOMPARE(f.app.settings.Int("Toolbar_Set"), 1);
  QVERIFY(w.ToolBar() && w.ToolBar()->parentWidget() == w.Client());
  QCOMPARE(w.ToolBar()->geometry(), QRect(0, 0, W, 25));
  QCOMPARE(w.Log()->geometry(), QRect(0, 25, W, H - 74));
  QCOMPARE(w.Progress()->geometry(), QRect(0, H - 49, W, 4));
  QCOMPARE(w.ToolbarContainer()->width(), 0);

  // Command 22 from the horizontal form: the vertical toolbar in container 4.
  w.RunCommand(cmd::kVerticalToolbar);
  f.Deliver();
  QCOMPARE(f.app.settings.Int("Toolbar_Set"), 2);
  QCOMPARE(w.ToolbarContainer()->geometry(), QRect(0, 0, 20, 220));
  QVERIFY(w.ToolBar()->parentWidget() == w.ToolbarContainer());
  QCOMPARE(w.ToolBar()->orientation(), Qt::Vertical);
  QCOMPARE(w.Log()->geometry(), QRect(25, 0, W - 25, H - 49));
  QCOMPARE(w.Progress()->geometry(), QRect(25, H - 49, W - 25, 4));

  // Command 21 from the vertical form hides the toolbar.
  w.RunCommand(cmd::kToolbar);
  f.Deliver();
  QCOMPARE(f.app.settings.Int("Toolbar_Set"), 0);
  QVERIFY(w.ToolBar() == nullptr);
  QCOMPARE(w.ToolbarContainer()->width(), 0);
  QCOMPARE(w.Log()->geometry(), QRect(0, 0, W, H - 49));
  QCOMPARE(w.Progress()->geometry(), QRect(0, H - 49, W, 4));

  // Command 22 from none goes to the vertical form; a size change lays out again.
  w.RunCommand(cmd::kVerticalToolbar);
  w.resize(700, 500);
  f.Deliver();
  const int W2 = w.Client()->width(), H2 = w.Client()->height();
  QVERIFY(W2 != W && H2 != H);
  QCOMPARE(f.app.settings.Int("Toolbar_Set"), 2);
  QCOMPARE(w.Log()->geometry(), QRect(25, 0, W2 - 25, H2 - 49));
  QCOMPARE(w.Progress()->geometry(), QRect(25, H2 - 49, W2 - 25, 4));
  // The status bar keeps to the bottom edge under the progress bar.
  QCOMPARE(w.Status()->geometry().bottom(), H2 - 1);
  QVERIFY(w.Status()->geometry().top() >= H2 - 45);
}

void MainWindowTest::verticalToolbarIsOneColumn() {
  GuiFixture f([](Settings& s) { s.SetInt("Toolbar_Set", 2); });
  QToolBar* bar = f.window->ToolBar();
  QVERIFY(bar);
  int lastBottom = -1, buttons = 0;
  for (QAction* a : bar->actions()) {
    QWidget* b = bar->widgetForAction(a);
    if (a->isSeparator() || !b) continue;
    ++buttons;
    const QRect r = b->geometry();
    QVERIFY2(r.left() >= 0 && r.right() < 20, "every button inside the 20-pixel column");
    QVERIFY2(r.top() > lastBottom, "buttons stacked downwards");
    QVERIFY2(r.bottom() < 220, "the whole column fits the container's height");
    lastBottom = r.bottom();
  }
  QCOMPARE(buttons, 10);
}

void MainWindowTest::menusHaveTheirItemsInOrder() {
  GuiFixture f;
  f.app.recent.AddRecentFile(f.Temp("system.img"));
  f.app.recent.AddRecentFile(f.Temp("vendor"));
  f.Deliver();
  MainWindow& w = *f.window;

  QCOMPARE(w.menuBar()->actions().size(), 4);
  QCOMPARE(TopMenu(w, 0)->title(), f.M(4));
  QCOMPARE(TopMenu(w, 1)->title(), f.M(10));
  QCOMPARE(TopMenu(w, 2)->title(), f.M(118));
  QCOMPARE(TopMenu(w, 3)->title(), f.M(12));

  // File: 1, 2, the recent submenu, separator, 8, separator, 9.
  QCOMPARE(Commands(TopMenu(w, 0)), (QList<int>{1, 2, -1, 0, 8, 0, 9}));
  QMenu* recent = TopMenu(w, 0)->actions().at(2)->menu();
  QCOMPARE(recent->title(), f.M(7));
  QCOMPARE(Commands(recent), (QList<int>{100, 101, 0, 7}));
  QCOMPARE(recent->actions().at(0)->text(), QString::fromStdString(f.Temp("vendor")));
  QCOMPARE(recent->actions().at(3)->text(), f.M(109));
  QCOMPARE(w.MenuAction(cmd::kUnpack)->text(), f.M(5));
  QCOMPARE(w.MenuAction(cmd::kExit)->text(), f.M(9));

  // Edit: the log view's commands with their shortcut texts.
  QCOMPARE(Commands(TopMenu(w, 1)), (QList<int>{11, 0, 12, 13, 14, 16, 0, 17, 18, 0, 19, 0, 15}));
  QCOMPARE(w.MenuAction(cmd::kClearLog)->text(), f.M(11) + "\tDEL");
  QCOMPARE(w.MenuAction(cmd::kWebSearch)->text(), f.M(172) + " google\tCtrl+G");
  QCOMPARE(w.MenuAction(cmd::kTranslate)->text(), QStringLiteral("Translate Google\tCtrl+T"));
  QCOMPARE(w.MenuAction(cmd::kSaveAs)->text(), f.M(97) + "\tCtrl+S");

  // View: separators after 20, 22 and 23; Help: 25, 27 to 31.
  QCOMPARE(Commands(TopMenu(w, 2)), (QList<int>{20, 0, 21, 22, 0, 23, 0, 24}));
  QCOMPARE(Commands(TopMenu(w, 3)), (QList<int>{25, 27, 28, 29, 30, 31}));
  QCOMPARE(w.MenuAction(cmd::kShortcut)->text(), f.M(120));
  QCOMPARE(w.MenuAction(cmd::kAbout)->text(), f.M(18));

  // Items with a picture have one; the View toggles have none.
  for (int c : {1, 2, 8, 9, 11, 12, 13, 14, 15, 16, 17, 18, 19, 24, 25, 27, 28, 29, 30, 31, 100, 101, 7})
    QVERIFY2(!w.MenuAction(c)->icon().isNull(), qPrintable(QString("icon of item %1").arg(c)));
  for (int c : {20, 21, 22, 23}) QVERIFY(w.MenuAction(c)->icon().isNull());

  // Clearing the list leaves the submenu without entries and without its clear item.
  w.RunCommand(cmd::kClearRecent);
  f.Deliver();
  QVERIFY(f.app.recent.List().empty());
  QCOMPARE(Commands(TopMenu(w, 0)->actions().at(2)->menu()), QList<int>{});
}

void MainWindowTest::viewCommandsSetTheirChecks() {
  GuiFixture f;
  MainWindow& w = *f.window;
  auto checks = [&] {
    return QList<bool>{w.MenuAction(20)->isChecked(), w.MenuAction(21)->isChecked(), w.MenuAction(22)->isChecked(),
                       w.MenuAction(23)->isChecked()};
  };
  QCOMPARE(checks(), (QList<bool>{false, true, false, false}));

  w.RunCommand(cmd::kTopmost);
  QCOMPARE(f.app.settings.Int("Main_Top"), 1);
  QVERIFY(w.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
  QCOMPARE(checks(), (QList<bool>{true, true, false, false}));

  w.RunCommand(cmd::kVerticalToolbar);
  QCOMPARE(checks(), (QList<bool>{true, true, true, false}));
  w.RunCommand(cmd::kVerticalToolbar);  // from 2 back to 1
  QCOMPARE(f.app.settings.Int("Toolbar_Set"), 1);
  QCOMPARE(checks(), (QList<bool>{true, true, false, false}));
  w.RunCommand(cmd::kToolbar);
  QCOMPARE(checks(), (QList<bool>{true, false, false, false}));

  // Command 23 opens the settings window once and records the choice.
  w.RunCommand(cmd::kSettingsAtStart);
  QCOMPARE(f.app.settings.Int("Open_Settings"), 1);
  QVERIFY(w.SettingsWin() && w.SettingsWin()->isVisible());
  QCOMPARE(checks(), (QList<bool>{true, false, false, true}));
  w.RunCommand(cmd::kSettingsAtStart);
  QCOMPARE(f.app.settings.Int("Open_Settings"), 0);
  QCOMPARE(checks(), (QList<bool>{true, false, false, false}));

  w.RunCommand(cmd::kTopmost);
  QVERIFY(!w.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
  QCOMPARE(checks(), (QList<bool>{false, false, false, false}));
}

void MainWindowTest::toolbarButtonsInOrder() {
  GuiFixture f;
  QToolBar* bar = f.window->ToolBar();
  QList<int> commands;
  QStringList tips;
  for (QAction* a : bar->actions()) {
    commands << (a->isSeparator() ? 0 : a->data().toInt());
    if (!a->isSeparator()) {
      tips << a->toolTip();
      QVERIFY(!a->icon().isNull());
    }
  }
  QCOMPARE(commands, (QList<int>{11, 15, 1, 2, 6, 0, 8, 0, 27, 29, 30, 31}));
  QCOMPARE(tips, (QStringList{f.M(11), f.M(97), f.M(5), f.M(6), f.M(7), f.M(8), f.M(99), f.M(16), f.M(17), f.M(18)}));
}

void MainWindowTest::storedGeometryNeedsHeight251AndTheSameScreen() {
  const QSize screen = QGuiApplication::primaryScreen()->size();
  auto stored = [&](int height, int screenWidth) {
    return [=](Settings& s) {
      s.SetInt("Desktop_Width", screenWidth);
      s.SetInt("Desktop_Height", screen.height());
      s.SetInt("Main_X", 30);
      s.SetInt("Main_Y", 40);
      s.SetInt("Main_Width", 500);
      s.SetInt("Main_Height", height);
    };
  };
  {
    // 251 is taken (the minimum height then makes it 266), at the stored place.
    GuiFixture f(stored(251, screen.width()));
    QCOMPARE(f.window->pos(), QPoint(30, 40));
    QCOMPARE(f.window->size(), QSize(500, 266));
  }
  {
    GuiFixture f(stored(250, screen.width()));
    QCOMPARE(f.window->size(), QSize(473, 266));
    QVERIFY(f.window->pos() != QPoint(30, 40));
    const QPoint centre = QGuiApplication::primaryScreen()->availableGeometry().center();
    QVERIFY(qAbs(f.window->geometry().center().x() - centre.x()) <= 2);
  }
  {
    GuiFixture f(stored(300, screen.width() + 1));  // another screen size
    QCOMPARE(f.window->size(), QSize(473, 266));
  }
  {
    // A move records the position for the settings file.
    GuiFixture f;
    f.window->move(77, 88);
    f.Deliver();
    QCOMPARE(f.app.settings.Int("Main_X"), 77);
    QCOMPARE(f.app.settings.Int("Main_Y"), 88);
    QCOMPARE(f.window->minimumSize(), QSize(473, 266));
  }
}

void MainWindowTest::threeDroppedFilesQueueInOrderInOneRun() {
  GuiFixture f;
  QStringList files;
  for (const char* name : {"c_first.bin", "a_second.bin", "b_third.bin"}) {
    f.WriteFile(f.Temp(name), "not an image");
    files << QString::fromStdString(f.Temp(name));
  }
  GuiFixture::Drop(f.window->Log()->viewport(), files);
  f.WaitForRun();

  const QString log = f.LogText();
  // One run of three: the batch line names three, the end of the run comes once.
  QCOMPARE(Count(log, f.M(19) + " 3 " + f.M(20)), 1);
  QCOMPARE(Count(log, f.M(27)), 1);
  const qsizetype a = log.indexOf("c_first.bin"), b = log.indexOf("a_second.bin"), c = log.indexOf("b_third.bin");
  QVERIFY(a >= 0 && b > a && c > b);
  QCOMPARE(f.window->Log()->LogTextShown(), QString(log).replace("\r\n", "\n"));
  QCOMPARE(f.window->StatusText()->text(), f.M(27));
  QVERIFY(!f.window->StatusBusy());
  QVERIFY(!f.window->Progress()->Marquee());
  QCOMPARE(f.window->Sound().PlayRequests(), 1);  // Finish_Sound is 1 by default

  // A drop on the window itself queues as well.
  GuiFixture::Drop(f.window.get(), {files[0]});
  f.WaitForRun();
  QCOMPARE(Count(f.LogText(), f.M(27)), 2);
}

void MainWindowTest::countdownWithZeroSecondsShowsOneLineThenCloses() {
  GuiFixture f([](Settings& s) {
    s.SetInt("Auto_Exit", 1);
    s.SetInt("AutoExit_Time", 0);
  });
  MainWindow& w = *f.window;
  f.app.log.LogLine("done", false);
  // The end of a run without errors asks for the countdown from the job thread.
  f.ui.StartAutoClose();
  QVERIFY(f.ui.AutoCloseRunning());
  f.Deliver();
  AutoCloseCountdown& cd = w.Countdown();
  QVERIFY(cd.Running());
  QCOMPARE(cd.NextDelay(), 1000);

  cd.StepNow();
  const QString shown = w.Log()->toPlainText();
  QCOMPARE(Count(shown, f.M(168)), 1);
  QVERIFY(shown.endsWith(f.M(168) + ": 0"));
  QCOMPARE(f.LogText(), QStringLiteral("done\r\n"));  // the log itself is unchanged
  QCOMPARE(w.Progress()->CurrentState(), ProgressBar::State::Paused);
  QCOMPARE(w.Progress()->Maximum(), 0);
  QCOMPARE(cd.NextDelay(), 300);
  QCOMPARE(f.services->quits, 0);

  cd.StepNow();
  QVERIFY(!cd.Running());
  QVERIFY(!f.ui.AutoCloseRunning());
  QCOMPARE(f.services->quits, 1);
  QVERIFY(f.services->boxes.empty());  // nothing runs: no question
  QVERIFY(QFile::exists(QString::fromStdString(f.Root() + "config/lastAction.log")));
  QVERIFY(QFile::exists(QString::fromStdString(f.Root() + "config/settings.ini")));
}

void MainWindowTest::countdownCountsDownAndAClickStopsIt() {
  GuiFixture f([](Settings& s) {
    s.SetInt("Auto_Exit", 1);
    s.SetInt("AutoExit_Time", 3);
  });
  MainWindow& w = *f.window;
  f.app.log.LogLine("done", false);
  f.ui.StartAutoClose();
  f.Deliver();
  AutoCloseCountdown& cd = w.Countdown();
  QList<int> values, delays;
  for (int n = 3; n >= 2; --n) {
    cd.StepNow();
    QVERIFY(w.Log()->toPlainText().endsWith(f.M(168) + ": " + QString::number(n)));
    QCOMPARE(Count(w.Log()->toPlainText(), f.M(168)), 1);  // one line, replaced each second
    values << w.Progress()->Value();
    delays << cd.NextDelay();
  }
  QCOMPARE(values, (QList<int>{2, 1}));
  QCOMPARE(delays, (QList<int>{1000, 1000}));
  QCOMPARE(w.Progress()->Maximum(), 3);

  // A click into the log stops it: the log alone, the bar normal at 0.
  QTest::mouseClick(w.Log()->viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
  QVERIFY(!cd.Running());
  QVERIFY(!f.ui.AutoCloseRunning());
  QCOMPARE(w.Log()->toPlainText(), QStringLiteral("done\n"));
  QCOMPARE(w.Progress()->CurrentState(), ProgressBar::State::Normal);
  QCOMPARE(w.Progress()->Value(), 0);
  QCOMPARE(f.services->quits, 0);
}

void MainWindowTest::countdownStoppedBeforeItBeganNeverStarts() {
  GuiFixture f([](Settings& s) { s.SetInt("Auto_Exit", 1); });
  // A new run stops the countdown before the window has even taken the start.
  f.ui.StartAutoClose();
  f.ui.StopAutoClose();
  f.Deliver();
  QVERIFY(!f.window->Countdown().Running());
  QVERIFY(!f.ui.AutoCloseRunning());
}

void MainWindowTest::confirmCloseWhileJobsRunKeepsEverything() {
  GuiFixture f;
  const std::string release = f.Temp("release");
  const std::string started = f.Temp("started");
  f.WriteTool("imgextractor_", "exit 0");
  f.WriteTool("imgextractor", "touch '" + started + "'; while [ ! -e '" + release + "' ]; do sleep 0.02; done; exit 0");
  const std::string image = f.MakeExt4Image("system.img");
  f.window->QueueAndStart({QString::fromStdString(image)});
  for (int i = 0; i < 2000 && !QFile::exists(QString::fromStdString(started)); ++i) QTest::qWait(5);
  QVERIFY(f.app.dispatcher.Running());
  f.Deliver();
  // While a run lasts: the busy picture and text, the bar in marquee mode.
  QVERIFY(f.window->StatusBusy());
  QCOMPARE(f.window->StatusText()->text(), f.M(21));
  QVERIFY(f.window->Progress()->Marquee());

  const QString logPath = QString::fromStdString(f.Root() + "config/lastAction.log");
  const QString iniPath = QString::fromStdString(f.Root() + "config/settings.ini");
  f.services->answers = {kAnswerNo};
  QCOMPARE(f.window->ConfirmClose(), kAnswerNo);
  QCOMPARE(f.services->boxes.size(), size_t(1));
  QCOMPARE(f.services->boxes[0].title, f.M(74));
  QCOMPARE(f.services->boxes[0].text, f.M(75) + "\n" + f.M(79));
  QCOMPARE(f.services->boxes[0].buttons, Buttons::YesNoCancel);
  // Cancel through the window's close button: the window stays.
  f.services->answers = {kAnswerCancel};
  QVERIFY(!f.window->close());
  QVERIFY(f.window->isVisible());
  QVERIFY(!QFile::exists(logPath));
  QVERIFY(!QFile::exists(iniPath));
  QCOMPARE(f.services->quits, 0);
  QVERIFY(f.app.dispatcher.Running());

  f.WriteFile(release, "");
  f.WaitForRun();
  // With nothing running the window closes without a question and writes both files.
  QVERIFY(f.window->close());
  QCOMPARE(f.services->boxes.size(), size_t(2));
  QCOMPARE(f.services->quits, 1);
  QVERIFY(QFile::exists(logPath));
  QVERIFY(QFile::exists(iniPath));
}

void MainWindowTest::confirmedCloseDuringAPackGivesTheImageBack() {
  GuiFixture f;
  const std::string started = f.Temp("started");
  const std::string work = f.Temp("work");
  const std::string original = "the user's image";
  f.WriteFile(work + "/system/system/etc/a", "a");
  f.WriteFile(work + "/system/config/system_fs_config.txt", "system 0 0 0755\r\n");
  f.WriteFile(work + "/system/config/system_file_contexts.txt", "/system u:object_r:system_file:s0\r\n");
  f.WriteFile(work + "/system/config/system_fs_options.txt", "Size: 67108864\r\nFolderName: system\r\n");
  f.WriteFile(work + "/system.img", original);
  f.WriteTool("fspatch", "exit 0");
  // Half an image, then a wait that only the stop ends.
  f.WriteTool("make_ext4fs", "echo half > ../system.img; echo $$ > '" + started + "'; sleep 60");
  f.window->QueueAndStart({QString::fromStdString(work + "/system")});
  for (int i = 0; i < 2000 && !QFile::exists(QString::fromStdString(started)); ++i) QTest::qWait(5);
  QVERIFY(f.app.dispatcher.Running());

  f.services->answers = {kAnswerYes};
  QCOMPARE(f.window->ConfirmClose(), kAnswerYes);
  QVERIFY(ReadWholeFile(work + "/system.img") == original);
  QVERIFY(!QFile::exists(QString::fromStdString(work + "/system.bak")));
  QVERIFY(QFile::exists(QString::fromStdString(f.Root() + "config/lastAction.log")));
  // The program would end here; this test goes on, so backups and tools work again.
  ResetBackupsGivenBack();
  orvex::platform::AllowToolsAgain();
  f.WaitForRun();
  QVERIFY(ReadWholeFile(work + "/system.img") == original);
}

void MainWindowTest::recentEntriesAskTheirQuestions() {
  GuiFixture f;
  const std::string folder = f.Temp("vendor");
  std::filesystem::create_directories(folder);
  const std::string file = f.Temp("boot.img");
  f.WriteFile(file, "something");
  const std::string empty = f.Temp("empty.img");
  f.WriteFile(empty, "");
  const std::string goneFile = f.Temp("gone.img");
  const std::string goneFolder = f.Temp("gone_folder");
  for (const auto& p : {goneFolder, goneFile, empty, file, folder}) f.app.recent.AddRecentFile(p);
  f.Deliver();
  // The list, most recent first: vendor, boot.img, empty.img, gone.img, gone_folder.
  MainWindow& w = *f.window;
  FakeServices& s = *f.services;
  const QString q = QString::fromStdString(folder);

  s.answers = {kAnswerNo};
  w.RunCommand(100);
  QCOMPARE(s.boxes.back().title, QStringLiteral("OVX"));
  QCOMPARE(s.boxes.back().text, q + "\n\n" + f.M(173) + " [ " + f.M(177) + " ]\n" + f.M(174) + " [ " + f.M(178) +
                                    " ]\n" + f.M(175) + " [ " + f.M(179) + " ]");
  QCOMPARE(s.boxes.back().icon, BoxIcon::Question);
  QCOMPARE(s.opened, QStringList{q});
  QVERIFY(!f.app.dispatcher.Running());

  s.answers = {kAnswerCancel};
  w.RunCommand(100);
  QCOMPARE(s.opened.size(), 1);

  s.answers = {kAnswerYes};
  w.RunCommand(100);  // packs the folder: here it holds nothing to pack
  f.WaitForRun();
  QVERIFY(f.LogText().contains(f.M(26)));

  s.answers = {kAnswerYes};
  w.RunCommand(101);
  QCOMPARE(s.boxes.back().text, QString::fromStdString(file) + "\n\n" + f.M(176));
  f.WaitForRun();
  QVERIFY(f.LogText().contains("boot.img"));

  const size_t before = s.boxes.size();
  w.RunCommand(102);  // a file of 0 bytes
  QCOMPARE(s.boxes.back().text, f.M(110) + " \"" + QString::fromStdString(empty) + "\" (" + f.M(112) + ")");
  QCOMPARE(s.boxes.back().buttons, Buttons::Ok);
  QCOMPARE(s.boxes.back().icon, BoxIcon::Information);
  w.RunCommand(104);  // a missing path without an extension reads as a folder
  QCOMPARE(s.boxes.back().text, f.M(111) + " \"" + QString::fromStdString(goneFolder) + "\" (" + f.M(113) + ")");
  QCOMPARE(s.boxes.size(), before + 2);
  QCOMPARE(f.app.recent.List().size(), size_t(5));  // missing entries stay

  // The toolbar's pop-up holds the same entries, without the clear item.
  std::unique_ptr<QMenu> popup(w.BuildRecentPopup(nullptr));
  QCOMPARE(Commands(popup.get()), (QList<int>{100, 101, 102, 103, 104}));
  QVERIFY(popup->actions().at(0)->icon().cacheKey() != popup->actions().at(1)->icon().cacheKey());
}

void MainWindowTest::requestersQueueWhatWasChosen() {
  GuiFixture f([](Settings& s) { s.SetText("Unpack_Folder", "/nowhere"); });
  FakeServices& s = *f.services;
  f.WriteFile(f.Temp("in/one.bin"), "1");
  f.WriteFile(f.Temp("in/two.bin"), "2");
  s.filesAnswer = {QString::fromStdString(f.Temp("in/one.bin")), QString::fromStdString(f.Temp("in/two.bin"))};
  f.window->RunCommand(cmd::kUnpack);
  f.WaitForRun();
  QCOMPARE(s.requests.back().kind, QStringLiteral("files"));
  QCOMPARE(s.requests.back().title, f.M(1));
  QCOMPARE(s.requests.back().folder, QStringLiteral("/nowhere"));
  QCOMPARE(s.requests.back().pattern,
           f.M(2) + "(*.img,*.partition,*.fex,*.zip,*.dat,*.br,*.apk)|*.img;*.partition;*.fex;*.zip;*.dat;*.br;"
                    "*.apk|All files (*.*)|*.*");
  QCOMPARE(f.app.settings.Text("Unpack_Folder"), f.Temp("in"));
  const QString log = f.LogText();
  QVERIFY(log.indexOf("one.bin") >= 0 && log.indexOf("two.bin") > log.indexOf("one.bin"));

  // Cancelled: nothing changes.
  s.filesAnswer.clear();
  f.window->RunCommand(cmd::kUnpack);
  QCOMPARE(f.app.settings.Text("Unpack_Folder"), f.Temp("in"));

  // The folder requester takes an existing folder only.
  s.folderAnswer = QString::fromStdString(f.Temp("missing"));
  f.window->RunCommand(cmd::kPack);
  QCOMPARE(s.requests.back().title, f.M(3));
  QCOMPARE(f.app.settings.Text("Pack_Folder"), std::string());
  s.folderAnswer = QString::fromStdString(f.Temp("in"));
  f.window->RunCommand(cmd::kPack);
  f.WaitForRun();
  QCOMPARE(f.app.settings.Text("Pack_Folder"), f.Temp("in"));
  QVERIFY(f.LogText().contains(f.M(26)));
}

void MainWindowTest::aboutAndDonationWindowsCloseWithEscape() {
  GuiFixture f;
  MainWindow& w = *f.window;
  w.RunCommand(cmd::kAbout);
  QPointer<QWidget> about = w.AboutWin();
  QVERIFY(about && about->isVisible());
  QCOMPARE(about->windowTitle(), f.M(18));
  QCOMPARE(about->size(), QSize(340, 119));
  QVERIFY(about->findChild<QLabel*>("build")->text() == QStringLiteral("Build: 3105"));
  w.RunCommand(cmd::kAbout);  // already open: still the one window
  QCOMPARE(w.AboutWin(), about.data());
  QTest::keyClick(about, Qt::Key_Escape);
  f.Deliver();
  QVERIFY(about.isNull());

  w.RunCommand(cmd::kDonate);
  auto* donation = qobject_cast<DonationWindow*>(w.DonationWin());
  QVERIFY(donation);
  QCOMPARE(donation->windowTitle(), f.M(72));
  QCOMPARE(donation->Account()->text(), QString::fromStdString(DecodeBase64Text(kDonationAccountB64)));
  emit donation->Link()->linkActivated(QStringLiteral("page"));
  QCOMPARE(f.services->opened, QStringList{QString::fromStdString(DecodeBase64Text(kDonationPageB64))});
  QPointer<QWidget> guard = donation;
  QTest::keyClick(donation, Qt::Key_Escape);
  f.Deliver();
  QVERIFY(guard.isNull());
}

void MainWindowTest::desktopShortcutIsALauncherFile() {
  GuiFixture f;
  // The desktop folder comes from the XDG user folders of this test's own configuration.
  const std::string config = f.Temp("xdg-config");
  const std::string desktop = f.Temp("My Desktop");
  std::filesystem::create_directories(desktop);
  f.WriteFile(config + "/user-dirs.dirs", "XDG_DESKTOP_DIR=\"" + desktop + "\"\n");
  const QByteArray oldConfig = qgetenv("XDG_CONFIG_HOME");
  qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(config));
  f.app.programFile = f.Temp("odd $dir/orvex");
  f.window->RunCommand(cmd::kShortcut);
  qputenv("XDG_CONFIG_HOME", oldConfig);

  QFile file(QString::fromStdString(desktop + "/orvex.desktop"));
  QVERIFY(file.open(QIODevice::ReadOnly));
  const QString text = QString::fromUtf8(file.readAll());
  QVERIFY(text.startsWith("[Desktop Entry]\n"));
  QVERIFY(text.contains("\nType=Application\n"));
  QVERIFY(text.contains(QStringLiteral("\nExec=\"") + QString::fromStdString(f.Temp("odd \\\\$dir/orvex")) +
                        "\" %F\n"));
  QVERIFY(text.contains("\nMimeType=") && text.contains("inode/directory;"));
  QVERIFY(file.permissions() & QFileDevice::ExeOwner);
  // Where the freedesktop checker is installed, the file passes it.
  const QString validator = QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
  if (!validator.isEmpty()) {
    QProcess check;
    check.start(validator, {file.fileName()});
    QVERIFY(check.waitForFinished(30000));
    const QByteArray said = check.readAllStandardOutput() + check.readAllStandardError();
    QVERIFY2(check.exitCode() == 0 && said.isEmpty(), said.constData());  // no hints either
  }
  QCOMPARE(LauncherExec(QStringLiteral("/a\"b`c\\d%e")), QStringLiteral("\"/a\\\\\"b\\\\`c\\\\\\\\d%%e\" %F"));
}

ORVEX_GUI_TEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
