#pragma once
// The main window: menu bar, toolbar (across the top, in a column at the left, or none), the log
// view, the thin progress bar and the status bar; the commands of menus, toolbar and keys; the
// close sequence and the automatic close.
#include <QMainWindow>
#include <QPointer>
#include <QRect>
#include <map>
#include <memory>

#include "app.h"
#include "auto_close.h"

class QLabel;
class QMenu;
class QStatusBar;
class QToolBar;

namespace orvex::gui {

class FinishSound;
class Icons;
class LogView;
class ProgressBar;
class QtJobUi;
class SettingsWindow;
class UiServices;

// Where MainWindowLayout puts the toolbar container, the log view and the progress bar in a
// client area of W x H.
struct MainLayout {
  QRect container;  // control 4: 20 x 220 with the vertical toolbar, else 0 wide
  QRect toolbar;    // the horizontal toolbar; empty otherwise
  QRect log;
  QRect progress;
};
MainLayout ComputeMainLayout(int width, int height, int toolbarSet);

// Commands (menu items, toolbar buttons, keys) by number.
namespace cmd {
inline constexpr int kUnpack = 1, kPack = 2, kRecentPopup = 6, kClearRecent = 7, kSettings = 8, kExit = 9;
inline constexpr int kShowLog = 10, kClearLog = 11, kCopy = 12, kPaste = 13, kSelectAll = 14, kSaveAs = 15,
                     kHighlight = 16, kWebSearch = 17, kForumSearch = 18, kTranslate = 19;
inline constexpr int kTopmost = 20, kToolbar = 21, kVerticalToolbar = 22, kSettingsAtStart = 23, kShortcut = 24;
inline constexpr int kHelp = 25, kNothing = 26, kNews = 27, kDiscussion = 28, kChannel = 29, kDonate = 30,
                     kAbout = 31;
inline constexpr int kRecentFirst = 100, kRecentLast = 109;
}  // namespace cmd

class MainWindow : public QMainWindow {
  Q_OBJECT
 public:
  MainWindow(App& app, QtJobUi& jobUi, UiServices& services, const Icons& icons, FinishSound& sound,
             QWidget* parent = nullptr);
  ~MainWindow() override;

  // Shows the window as the settings say (maximised or not, above other windows or not).
  void ShowAtStart();

  void RunCommand(int command);
  // Queues the paths in order and starts the jobs.
  void QueueAndStart(const QStringList& paths);
  // 6 when the program may close (after the log mirror and the settings were written), else the
  // answer that kept it open.
  int ConfirmClose();

  // Hooks of the job thread, on this thread.
  void TakeLogNow();
  void OnPathStarted();
  void ShowStatus(const QString& text, bool busy);
  void BringToFront();
  void LeaveMarquee();
  void SetProgressDone();
  void HighlightResults();
  void PlayFinishSound();
  void StartAutoCloseTicket(int ticket);
  void StopAutoClose();
  void OpenExternal(const QString& pathOrAddress);

  void MainWindowLayout();
  void RebuildMenus();
  void RebuildToolbar();
  void SyncViewChecks();
  void ApplyOpacity();
  void ApplyTopmost();
  void ApplyLogLook();
  void SetVolume(int level);
  // A new interface language: texts, menus, toolbar and the settings window are rebuilt.
  void ChangeLanguage(int identifier);

  void OpenSettingsWindow(int tab = -1);
  void OpenAbout();
  void OpenDonation();
  // Writes the launcher file into the desktop folder; false when it could not be written.
  bool CreateDesktopShortcut();
  QString DesktopShortcutPath() const;
  void SaveLogAs();
  void ChooseRecent(int index);
  // The context menu of the log view as it would open now.
  QMenu* BuildContextMenu(QWidget* parent);
  QMenu* BuildRecentPopup(QWidget* parent);

  WindowState CurrentWindowState() const;
  QString M(int n) const;

  // Parts, for the settings window and tests.
  App& Application() { return app_; }
  LogView* Log() const { return log_; }
  ProgressBar* Progress() const { return progress_; }
  QWidget* Client() const { return client_; }
  QWidget* ToolbarContainer() const { return container_; }
  QToolBar* ToolBar() const { return toolbar_; }
  QLabel* StatusIcon() const { return statusIcon_; }
  QLabel* StatusText() const { return statusText_; }
  bool StatusBusy() const { return statusBusy_; }
  QStatusBar* Status() const { return status_; }
  SettingsWindow* SettingsWin() const;
  QWidget* AboutWin() const { return about_; }
  QWidget* DonationWin() const { return donation_; }
  AutoCloseCountdown& Countdown() { return countdown_; }
  // The main menu's item for a command, or null.
  QAction* MenuAction(int command) const;
  FinishSound& Sound() { return sound_; }
  const Icons& Images() const { return icons_; }
  UiServices& Services() { return services_; }

  // The header SaveLogAs writes before the log.
  static std::string SavedLogHeader(const std::string& programFile);

 protected:
  void closeEvent(QCloseEvent* e) override;
  void moveEvent(QMoveEvent* e) override;
  void resizeEvent(QResizeEvent* e) override;
  void dragEnterEvent(QDragEnterEvent* e) override;
  void dropEvent(QDropEvent* e) override;

 private:
  void PlaceAtStart();
  void RecordGeometry();
  void BuildShortcuts();
  QAction* AddCommand(QMenu* menu, int command, const QString& text, int icon);
  void FillEditMenu(QMenu* menu, bool contextRules);
  void FillRecentMenu(QMenu* menu, bool withClear);
  void StopCountdownAndShowLog();
  void ClearLog();
  void Paste();
  void OpenAddressForSelection(int command);
  void OpenFilesRequester();
  void OpenFolderRequester();
  void OnCountdownStart(int maximum);
  void OnCountdownShow(int n);
  void OnCountdownEnd();
  void RecentChanged();

  App& app_;
  QtJobUi& jobUi_;
  UiServices& services_;
  const Icons& icons_;
  FinishSound& sound_;

  QWidget* client_ = nullptr;
  QWidget* container_ = nullptr;
  QToolBar* toolbar_ = nullptr;
  LogView* log_ = nullptr;
  ProgressBar* progress_ = nullptr;
  QStatusBar* status_ = nullptr;
  QLabel* statusIcon_ = nullptr;
  QLabel* statusText_ = nullptr;
  bool statusBusy_ = false;
  std::map<int, QAction*> menuActions_;
  QPointer<SettingsWindow> settings_;
  QPointer<QWidget> about_;
  QPointer<QWidget> donation_;
  AutoCloseCountdown countdown_;
  int countdownTicket_ = 0;
  bool closeConfirmed_ = false;
  bool placed_ = false;
};

}  // namespace orvex::gui
