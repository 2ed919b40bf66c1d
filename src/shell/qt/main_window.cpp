#include "main_window.h"

#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QCursor>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QScreen>
#include <QShortcut>
#include <QStandardPaths>
#include <QStatusBar>
#include <QThread>
#include <QToolBar>
#include <QToolButton>
#include <QUrl>

#include "about_windows.h"
#include "backup_registry.h"
#include "desktop_entry.h"
#include "finish_sound.h"
#include "icons.h"
#include "log_view.h"
#include "platform.h"
#include "progress_bar.h"
#include "qt_job_ui.h"
#include "settings_window.h"
#include "ui_services.h"
#include "web_addresses.h"
#include "workspace.h"

namespace orvex::gui {

namespace {

// The project's own pages behind the Help menu.
const char kNewsPage[] = "https://orvex.example.org/news";
const char kDiscussionPage[] = "https://orvex.example.org/discussion";
const char kChannelPage[] = "https://orvex.example.org/channel";

const char kUnpackPattern[] =
    "(*.img,*.partition,*.fex,*.zip,*.dat,*.br,*.apk)|*.img;*.partition;*.fex;*.zip;*.dat;*.br;*.apk|"
    "All files (*.*)|*.*";

QString Q(const std::string& s) { return QString::fromStdString(s); }

// The area under the menu bar; MainWindowLayout places everything inside it.
class ClientArea : public QWidget {
 public:
  using QWidget::QWidget;
  std::function<void()> onResize;

 protected:
  void resizeEvent(QResizeEvent*) override {
    if (onResize) onResize();
  }
};

}  // namespace

MainLayout ComputeMainLayout(int w, int h, int toolbarSet) {
  MainLayout l;
  if (toolbarSet == 2) {
    l.container = QRect(0, 0, 20, 220);
    l.log = QRect(25, 0, w - 25, h - 49);
    l.progress = QRect(25, h - 49, w - 25, 4);
  } else if (toolbarSet == 1) {
    l.container = QRect(0, 0, 0, 220);
    l.toolbar = QRect(0, 0, w, 25);
    l.log = QRect(0, 25, w, h - 74);
    l.progress = QRect(0, h - 49, w, 4);
  } else {
    l.container = QRect(0, 0, 0, 220);
    l.log = QRect(0, 0, w, h - 49);
    l.progress = QRect(0, h - 49, w, 4);
  }
  return l;
}

MainWindow::MainWindow(App& app, QtJobUi& jobUi, UiServices& services, const Icons& icons, FinishSound& sound,
                       QWidget* parent)
    : QMainWindow(parent),
      app_(app),
      jobUi_(jobUi),
      services_(services),
      icons_(icons),
      sound_(sound),
      countdown_({[this](int max) { OnCountdownStart(max); }, [this](int n) { OnCountdownShow(n); },
                  [this] { OnCountdownEnd(); }},
                 this) {
  setWindowTitle(QStringLiteral("Orvex v") + Q(ShortVersion()) + QStringLiteral("β"));
  setWindowIcon(icons_.AppIcon());
  setMinimumSize(473, 266);
  setAcceptDrops(true);
  jobUi_.AttachWindow(this);

  auto* client = new ClientArea(this);
  client->onResize = [this] { MainWindowLayout(); };
  client_ = client;
  setCentralWidget(client_);

  PlaceAtStart();
  ApplyOpacity();

  // The language and the recent list; the recent list builds the main menu.
  app_.recent.SetOnChange([this] { RecentChanged(); });
  app_.PrepareWorkspace();
  RebuildMenus();

  container_ = new QWidget(client_);
  log_ = new LogView(client_);
  progress_ = new ProgressBar(client_);
  RebuildToolbar();

  ApplyLogLook();
  log_->Attach(app_.log);
  connect(log_, &LogView::pathsDropped, this, &MainWindow::QueueAndStart);
  connect(log_, &LogView::addressClicked, this, &MainWindow::OpenExternal);
  connect(log_, &LogView::userClicked, this, [this] {
    if (countdown_.Running()) StopAutoClose();
  });
  connect(log_, &LogView::contextMenuWanted, this, [this](const QPoint& at) {
    QMenu* menu = BuildContextMenu(this);
    menu->exec(at);
    menu->deleteLater();
  });

  status_ = new QStatusBar(client_);
  status_->setSizeGripEnabled(false);
  statusIcon_ = new QLabel(status_);
  statusIcon_->setFixedWidth(23);
  statusIcon_->setAlignment(Qt::AlignCenter);
  statusText_ = new QLabel(status_);
  status_->addWidget(statusIcon_);
  status_->addWidget(statusText_, 1);
  ShowStatus(M(71), false);

  BuildShortcuts();
  MainWindowLayout();
}

MainWindow::~MainWindow() {
  app_.recent.SetOnChange(nullptr);
  jobUi_.AttachWindow(nullptr);
  if (log_) log_->Detach();
}

QString MainWindow::M(int n) const { return Q(app_.messages.Get(n)); }

SettingsWindow* MainWindow::SettingsWin() const { return settings_.data(); }

// ---- geometry ----

void MainWindow::PlaceAtStart() {
  Settings& s = app_.settings;
  QScreen* scr = screen() ? screen() : QGuiApplication::primaryScreen();
  const QSize screenSize = scr ? scr->size() : QSize();
  if (screenSize.width() == s.Int("Desktop_Width") && screenSize.height() == s.Int("Desktop_Height") &&
      s.Int("Main_X") >= 1 && s.Int("Main_Y") >= 1 && s.Int("Main_Width") >= 473 && s.Int("Main_Height") >= 251) {
    resize(s.Int("Main_Width"), s.Int("Main_Height"));
    move(s.Int("Main_X"), s.Int("Main_Y"));
  } else {
    resize(473, 266);
    if (scr) {
      const QRect avail = scr->availableGeometry();
      move(avail.center() - QPoint(473 / 2, 266 / 2));
    }
  }
  placed_ = true;
}

void MainWindow::ShowAtStart() {
  ApplyTopmost();
  if (app_.settings.Int("Main_Maximize") == 1) showMaximized();
  else show();
  raise();
  activateWindow();
}

void MainWindow::RecordGeometry() {
  if (!placed_ || !isVisible() || isMaximized() || isMinimized() || isFullScreen()) return;
  Settings& s = app_.settings;
  s.SetInt("Main_X", x());
  s.SetInt("Main_Y", y());
  s.SetInt("Main_Width", width());
  s.SetInt("Main_Height", height());
}

void MainWindow::moveEvent(QMoveEvent* e) {
  QMainWindow::moveEvent(e);
  RecordGeometry();
}

void MainWindow::resizeEvent(QResizeEvent* e) {
  QMainWindow::resizeEvent(e);
  RecordGeometry();
}

void MainWindow::ApplyOpacity() { setWindowOpacity(app_.settings.Int("Window_Transparency") / 255.0); }

void MainWindow::ApplyTopmost() {
  const bool on = app_.settings.Int("Main_Top") == 1;
  if (windowFlags().testFlag(Qt::WindowStaysOnTopHint) == on) return;
  const bool visible = isVisible();
  setWindowFlag(Qt::WindowStaysOnTopHint, on);
  if (visible) show();
}

void MainWindow::ApplyLogLook() { log_->ApplyLook(app_.settings); }

void MainWindow::SetVolume(int level) { sound_.SetVolume(level); }

void MainWindow::MainWindowLayout() {
  if (!log_ || !progress_ || !status_) return;
  const int w = client_->width(), h = client_->height();
  const int ts = toolbar_ ? app_.settings.Int("Toolbar_Set") : 0;
  const MainLayout l = ComputeMainLayout(w, h, ts);
  container_->setGeometry(l.container);
  container_->setVisible(l.container.width() > 0);
  if (toolbar_) {
    if (ts == 2) toolbar_->setGeometry(0, 0, 20, 220);
    else toolbar_->setGeometry(l.toolbar);
  }
  log_->setGeometry(l.log);
  progress_->setGeometry(l.progress);
  const int sh = status_->sizeHint().height();
  status_->setGeometry(0, h - sh, w, sh);
}

// ---- menus and toolbar ----

QAction* MainWindow::AddCommand(QMenu* menu, int command, const QString& text, int icon) {
  QAction* a = menu->addAction(text);
  if (icon >= 0) a->setIcon(icons_.Icon(icon));
  a->setData(command);
  connect(a, &QAction::triggered, this, [this, command] { RunCommand(command); });
  return a;
}

void MainWindow::FillEditMenu(QMenu* menu, bool contextRules) {
  const bool selection = log_ && log_->textCursor().hasSelection();
  const bool clipboardText = !QApplication::clipboard()->text().isEmpty();
  auto add = [&](int command, const QString& text, int icon, bool enabled) {
    QAction* a = AddCommand(menu, command, text, icon);
    if (contextRules) a->setEnabled(enabled);
    return a;
  };
  add(cmd::kClearLog, M(11) + QStringLiteral("\tDEL"), 5, true);
  menu->addSeparator();
  add(cmd::kCopy, M(95) + QStringLiteral("\tCtrl+C"), 17, selection);
  add(cmd::kPaste, M(169) + QStringLiteral("\tCtrl+V"), 21, clipboardText);
  add(cmd::kSelectAll, M(96) + QStringLiteral("\tCtrl+A"), 17, true);
  add(cmd::kHighlight, M(134) + QStringLiteral("\tCtrl+H"), 20, true);
  menu->addSeparator();
  add(cmd::kWebSearch, M(172) + QStringLiteral(" google\tCtrl+G"), 22, selection);
  add(cmd::kForumSearch, M(172) + QLatin1Char(' ') + QLatin1String(kForumName) + QStringLiteral("\tCtrl+P"), 12,
      selection);
  menu->addSeparator();
  add(cmd::kTranslate, QStringLiteral("Translate Google\tCtrl+T"), 23, selection);
  menu->addSeparator();
  add(cmd::kSaveAs, M(97) + QStringLiteral("\tCtrl+S"), 18, true);
}

void MainWindow::FillRecentMenu(QMenu* menu, bool withClear) {
  const auto list = app_.recent.List();
  for (size_t k = 0; k < list.size(); ++k) {
    const int icon = platform::IsDirectory(list[k]) ? 4 : 3;
    QAction* a = AddCommand(menu, cmd::kRecentFirst + static_cast<int>(k), Q(list[k]), icon);
    a->setIconVisibleInMenu(true);
  }
  if (withClear && !list.empty()) {
    menu->addSeparator();
    AddCommand(menu, cmd::kClearRecent, M(109), 5);
  }
}

QMenu* MainWindow::BuildContextMenu(QWidget* parent) {
  auto* menu = new QMenu(parent);
  FillEditMenu(menu, true);
  return menu;
}

QMenu* MainWindow::BuildRecentPopup(QWidget* parent) {
  auto* menu = new QMenu(parent);
  FillRecentMenu(menu, false);
  return menu;
}

void MainWindow::RebuildMenus() {
  // The old menus may be the ones whose item asked for this rebuild: they go after it returns.
  QMenuBar* bar = menuBar();
  for (QAction* a : bar->actions()) {
    if (QMenu* m = a->menu()) m->deleteLater();
  }
  bar->clear();
  menuActions_.clear();
  auto keep = [this](QAction* a) {
    menuActions_[a->data().toInt()] = a;
    return a;
  };

  QMenu* file = bar->addMenu(M(4));
  keep(AddCommand(file, cmd::kUnpack, M(5), 3));
  keep(AddCommand(file, cmd::kPack, M(6), 4));
  QMenu* recent = file->addMenu(icons_.Icon(11), M(7));
  FillRecentMenu(recent, true);
  for (QAction* a : recent->actions())
    if (!a->isSeparator()) keep(a);
  file->addSeparator();
  keep(AddCommand(file, cmd::kSettings, M(8), 9));
  file->addSeparator();
  keep(AddCommand(file, cmd::kExit, M(9), 2));

  QMenu* edit = bar->addMenu(M(10));
  FillEditMenu(edit, false);
  for (QAction* a : edit->actions())
    if (!a->isSeparator()) keep(a);

  QMenu* view = bar->addMenu(M(118));
  keep(AddCommand(view, cmd::kTopmost, M(44), -1))->setCheckable(true);
  view->addSeparator();
  keep(AddCommand(view, cmd::kToolbar, M(114), -1))->setCheckable(true);
  keep(AddCommand(view, cmd::kVerticalToolbar, M(119), -1))->setCheckable(true);
  view->addSeparator();
  keep(AddCommand(view, cmd::kSettingsAtStart, M(170), -1))->setCheckable(true);
  view->addSeparator();
  keep(AddCommand(view, cmd::kShortcut, M(120), 19));

  // Help, with the two items that a system menu would carry where the platform has none.
  QMenu* help = bar->addMenu(M(12));
  keep(AddCommand(help, cmd::kHelp, M(13), 6));
  keep(AddCommand(help, cmd::kNews, M(99), 8));
  keep(AddCommand(help, cmd::kDiscussion, M(15), 8));
  keep(AddCommand(help, cmd::kChannel, M(16), 10));
  keep(AddCommand(help, cmd::kDonate, M(17), 14));
  keep(AddCommand(help, cmd::kAbout, M(18), 7));

  SyncViewChecks();
}

QAction* MainWindow::MenuAction(int command) const {
  auto it = menuActions_.find(command);
  return it == menuActions_.end() ? nullptr : it->second;
}

void MainWindow::RebuildToolbar() {
  if (toolbar_) {
    toolbar_->hide();
    toolbar_->deleteLater();
    toolbar_ = nullptr;
  }
  const int ts = app_.settings.Int("Toolbar_Set");
  if (ts == 1 || ts == 2) {
    const bool vertical = ts == 2;
    toolbar_ = new QToolBar(vertical ? container_ : client_);
    toolbar_->setObjectName(QStringLiteral("toolbar"));
    toolbar_->setMovable(false);
    toolbar_->setFloatable(false);
    toolbar_->setOrientation(vertical ? Qt::Vertical : Qt::Horizontal);
    toolbar_->setIconSize(QSize(16, 16));
    toolbar_->setContentsMargins(0, 0, 0, 0);
    toolbar_->setStyleSheet(vertical ? QStringLiteral("QToolBar{border:0;padding:0;spacing:0;}"
                                                      "QToolButton{padding:0;margin:0;}")
                                     : QStringLiteral("QToolBar{border:0;padding:0 1px;spacing:1px;}"
                                                      "QToolButton{padding:1px;margin:0;}"));
    const QSize buttonSize = vertical ? QSize(20, 18) : QSize(23, 23);
    auto button = [&](int command, int icon, const QString& tip) {
      QAction* a = toolbar_->addAction(icons_.Icon(icon), tip);
      a->setToolTip(tip);
      a->setData(command);
      connect(a, &QAction::triggered, this, [this, command] { RunCommand(command); });
      if (QWidget* w = toolbar_->widgetForAction(a)) w->setFixedSize(buttonSize);
    };
    button(cmd::kClearLog, 5, M(11));
    button(cmd::kSaveAs, 18, M(97));
    button(cmd::kUnpack, 3, M(5));
    button(cmd::kPack, 4, M(6));
    button(cmd::kRecentPopup, 11, M(7));
    toolbar_->addSeparator();
    button(cmd::kSettings, 9, M(8));
    toolbar_->addSeparator();
    button(cmd::kNews, 8, M(99));
    button(cmd::kChannel, 10, M(16));
    button(cmd::kDonate, 14, M(17));
    button(cmd::kAbout, 7, M(18));
    toolbar_->show();
  }
  MainWindowLayout();
}

void MainWindow::SyncViewChecks() {
  const Settings& s = app_.settings;
  auto check = [this](int command, bool on) {
    if (QAction* a = MenuAction(command)) a->setChecked(on);
  };
  check(cmd::kTopmost, s.Int("Main_Top") == 1);
  check(cmd::kToolbar, s.Int("Toolbar_Set") != 0);
  check(cmd::kVerticalToolbar, s.Int("Toolbar_Set") == 2);
  check(cmd::kSettingsAtStart, s.Int("Open_Settings") == 1);
  if (settings_) settings_->SyncViewControls();
}

void MainWindow::BuildShortcuts() {
  const std::pair<QKeySequence, int> keys[] = {
      {QKeySequence(Qt::CTRL | Qt::Key_Z), cmd::kShowLog},   {QKeySequence(Qt::Key_Delete), cmd::kClearLog},
      {QKeySequence(Qt::CTRL | Qt::Key_C), cmd::kCopy},      {QKeySequence(Qt::CTRL | Qt::Key_V), cmd::kPaste},
      {QKeySequence(Qt::CTRL | Qt::Key_A), cmd::kSelectAll}, {QKeySequence(Qt::CTRL | Qt::Key_H), cmd::kHighlight},
      {QKeySequence(Qt::CTRL | Qt::Key_G), cmd::kWebSearch}, {QKeySequence(Qt::CTRL | Qt::Key_P), cmd::kForumSearch},
      {QKeySequence(Qt::CTRL | Qt::Key_T), cmd::kTranslate}, {QKeySequence(Qt::CTRL | Qt::Key_S), cmd::kSaveAs},
  };
  for (const auto& [seq, command] : keys) {
    auto* sc = new QShortcut(seq, this);
    sc->setContext(Qt::WindowShortcut);
    sc->setObjectName(QStringLiteral("shortcut%1").arg(command));
    connect(sc, &QShortcut::activated, this, [this, command = command] { RunCommand(command); });
  }
}

void MainWindow::RecentChanged() {
  if (QThread::currentThread() == thread()) RebuildMenus();
  else QMetaObject::invokeMethod(this, &MainWindow::RebuildMenus, Qt::QueuedConnection);
}

// ---- commands ----

void MainWindow::RunCommand(int command) {
  Settings& s = app_.settings;
  switch (command) {
    case cmd::kUnpack: OpenFilesRequester(); break;
    case cmd::kPack: OpenFolderRequester(); break;
    case cmd::kRecentPopup: {
      QMenu* menu = BuildRecentPopup(this);
      menu->exec(QCursor::pos());
      menu->deleteLater();
      break;
    }
    case cmd::kClearRecent: app_.recent.Clear(); break;
    case cmd::kSettings: OpenSettingsWindow(); break;
    case cmd::kExit:
      if (ConfirmClose() == kAnswerYes) {
        closeConfirmed_ = true;
        services_.Quit();
      }
      break;
    case cmd::kShowLog: log_->ShowLogAgain(); break;
    case cmd::kClearLog: ClearLog(); break;
    case cmd::kCopy: log_->CopyAndDeselect(); break;
    case cmd::kPaste: Paste(); break;
    case cmd::kSelectAll: log_->selectAll(); break;
    case cmd::kSaveAs: SaveLogAs(); break;
    case cmd::kHighlight: HighlightResults(); break;
    case cmd::kWebSearch:
    case cmd::kForumSearch:
    case cmd::kTranslate: OpenAddressForSelection(command); break;
    case cmd::kTopmost:
      s.SetInt("Main_Top", s.Int("Main_Top") == 1 ? 0 : 1);
      SyncViewChecks();
      ApplyTopmost();
      break;
    case cmd::kToolbar:
    case cmd::kVerticalToolbar: {
      const int ts = s.Int("Toolbar_Set");
      if (command == cmd::kToolbar) s.SetInt("Toolbar_Set", ts != 0 ? 0 : 1);
      else s.SetInt("Toolbar_Set", ts == 0 || ts == 1 ? 2 : 1);
      SyncViewChecks();
      RebuildToolbar();
      MainWindowLayout();
      break;
    }
    case cmd::kSettingsAtStart:
      if (s.Int("Open_Settings") == 0) {
        OpenSettingsWindow();
        s.SetInt("Open_Settings", 1);
      } else {
        s.SetInt("Open_Settings", 0);
      }
      SyncViewChecks();
      break;
    case cmd::kShortcut: CreateDesktopShortcut(); break;
    case cmd::kHelp: OpenExternal(Q(app_.ctx.root + "Help.chm")); break;
    case cmd::kNews: OpenExternal(QLatin1String(kNewsPage)); break;
    case cmd::kDiscussion: OpenExternal(QLatin1String(kDiscussionPage)); break;
    case cmd::kChannel: OpenExternal(QLatin1String(kChannelPage)); break;
    case cmd::kDonate: OpenDonation(); break;
    case cmd::kAbout: OpenAbout(); break;
    default:
      if (command >= cmd::kRecentFirst && command <= cmd::kRecentLast) ChooseRecent(command - cmd::kRecentFirst);
      break;
  }
}

void MainWindow::QueueAndStart(const QStringList& paths) {
  if (paths.isEmpty()) return;
  for (const QString& p : paths) app_.dispatcher.QueueJobPath(p.toStdString());
  app_.dispatcher.StartJobs();
}

void MainWindow::OpenFilesRequester() {
  Settings& s = app_.settings;
  const QStringList files =
      services_.OpenFiles(this, M(1), Q(s.Text("Unpack_Folder")), M(2) + QLatin1String(kUnpackPattern));
  if (files.isEmpty()) return;
  s.SetText("Unpack_Folder", QFileInfo(files.first()).absolutePath().toStdString());
  QueueAndStart(files);
}

void MainWindow::OpenFolderRequester() {
  Settings& s = app_.settings;
  const QString folder = services_.OpenFolder(this, M(3), Q(s.Text("Pack_Folder")));
  if (folder.isEmpty() || !platform::IsDirectory(folder.toStdString())) return;
  s.SetText("Pack_Folder", folder.toStdString());
  QueueAndStart({folder});
}

void MainWindow::ChooseRecent(int index) {
  const auto list = app_.recent.List();
  if (index < 0 || static_cast<size_t>(index) >= list.size()) return;
  const std::string path = list[index];
  const QString p = Q(path);
  const QString title = QStringLiteral("OVX");
  if (platform::IsDirectory(path)) {
    const QString text = p + QStringLiteral("\n\n") + M(173) + QStringLiteral(" [ ") + M(177) + QStringLiteral(" ]\n") +
                         M(174) + QStringLiteral(" [ ") + M(178) + QStringLiteral(" ]\n") + M(175) +
                         QStringLiteral(" [ ") + M(179) + QStringLiteral(" ]");
    const int answer = services_.MessageBox(this, title, text, Buttons::YesNoCancel, BoxIcon::Question);
    if (answer == kAnswerYes) QueueAndStart({p});
    else if (answer == kAnswerNo) OpenExternal(p);
  } else if (FileSize(path) <= 0) {
    const bool noExtension = DeriveNames(path).rawExt.empty();
    const QString text = noExtension ? M(111) + QStringLiteral(" \"") + p + QStringLiteral("\" (") + M(113) + ')'
                                     : M(110) + QStringLiteral(" \"") + p + QStringLiteral("\" (") + M(112) + ')';
    services_.MessageBox(this, title, text, Buttons::Ok, BoxIcon::Information);
  } else {
    const QString text = p + QStringLiteral("\n\n") + M(176);
    if (services_.MessageBox(this, title, text, Buttons::YesNoCancel, BoxIcon::Question) == kAnswerYes)
      QueueAndStart({p});
  }
}

void MainWindow::ClearLog() {
  if (countdown_.Running()) StopAutoClose();
  progress_->SetMarquee(false);
  progress_->SetState(ProgressBar::State::Normal);
  progress_->SetRange(100);
  progress_->SetValue(0);
  app_.log.Replace("");
  TakeLogNow();
}

void MainWindow::Paste() {
  const QString clip = QApplication::clipboard()->text();
  if (clip.isEmpty()) return;
  app_.log.AppendRaw("\n --->> Get Clipboard Text <<---\n" + clip.toStdString() +
                     "\n --->> End Clipboard Text <<---\n\n");
  TakeLogNow();
}

void MainWindow::OpenAddressForSelection(int command) {
  const std::string selection = log_->SelectedText().toStdString();
  std::string address;
  if (command == cmd::kWebSearch) address = WebSearchAddress(selection);
  else if (command == cmd::kForumSearch) address = ForumSearchAddress(selection);
  else address = TranslateAddress(selection);
  OpenExternal(Q(address));
}

void MainWindow::OpenExternal(const QString& pathOrAddress) { services_.OpenExternal(pathOrAddress); }

std::string MainWindow::SavedLogHeader(const std::string& programFile) {
  const platform::HostFacts f = platform::GetHostFacts();
  std::string h;
  h += "OVX version: " + ShortVersion() + " build: " + BuildNumber() + "\r\n";
  h += "Path: " + programFile + "\r\n";
  h += "\r\n";
  h += "CPU Name: " + f.cpuName + " (" + std::to_string(f.cores) + " core)\r\n";
  h += "Full Memory: " + FormatSize(f.totalMemory) + "     Free Memory: " + FormatSize(f.freeMemory) + "\r\n";
  h += "OS Version: " + f.systemName + "\r\n";
  h += "Computer Name: " + f.computerName + "\r\n";
  h += "User Name: " + f.userName + "\r\n";
  h += "\r\n";
  return h;
}

void MainWindow::SaveLogAs() {
  const QString chosen = services_.SaveFile(this, M(98), QStringLiteral("LogFile.txt"), QStringLiteral("(*.txt)|*.txt"));
  if (chosen.isEmpty()) return;
  const std::string path = chosen.toStdString();
  const int64_t size = platform::FileSizeOrMarker(path);
  if (size == -2 || size == 0) return;  // a folder of that name, or an empty file: refused silently
  if (size > 0) {
    const QString text = QStringLiteral("Файл: ") + chosen + QStringLiteral(" существует, перезаписать?");
    if (services_.MessageBox(this, QString(), text, Buttons::OkCancel, BoxIcon::Question) != kAnswerOk) return;
  }
  WriteWholeFile(path, SavedLogHeader(app_.programFile) + app_.log.Text());
}

// ---- the job thread's hooks ----

void MainWindow::TakeLogNow() { log_->FlushPending(); }

void MainWindow::OnPathStarted() {
  progress_->SetState(ProgressBar::State::Normal);
  progress_->SetMarquee(true);
}

void MainWindow::ShowStatus(const QString& text, bool busy) {
  statusBusy_ = busy;
  statusIcon_->setPixmap(icons_.Picture(busy ? 0 : 1));
  statusText_->setText(text);
}

void MainWindow::BringToFront() {
  if (isMinimized()) showNormal();
  raise();
  activateWindow();
}

void MainWindow::LeaveMarquee() { progress_->SetMarquee(false); }

void MainWindow::SetProgressDone() {
  progress_->SetMarquee(false);
  progress_->SetRange(100);
  progress_->SetValue(100);
}

void MainWindow::HighlightResults() {
  const int found = log_->HighlightResults(M(77) + '!', M(76) + '!', M(133));
  if (found == 0) return;
  progress_->SetMarquee(false);
  progress_->SetRange(100);
  progress_->SetValue(100);
  progress_->SetState(found == 1 ? ProgressBar::State::Error : ProgressBar::State::Normal);
}

void MainWindow::PlayFinishSound() {
  sound_.SetVolume(app_.settings.Int("Volume_Level"));
  sound_.PlayOnce();
}

// ---- the automatic close ----

void MainWindow::StartAutoCloseTicket(int ticket) {
  if (jobUi_.AutoCloseTicket() != ticket) return;  // stopped before it began
  countdownTicket_ = ticket;
  countdown_.Start(app_.settings.Int("AutoExit_Time"));
}

void MainWindow::StopAutoClose() {
  jobUi_.AutoCloseEnded(countdownTicket_);
  if (!countdown_.Running()) return;
  countdown_.Stop();
  log_->ClearTail();
  progress_->SetState(ProgressBar::State::Normal);
  progress_->SetRange(100);
  progress_->SetValue(0);
}

void MainWindow::OnCountdownStart(int maximum) {
  progress_->SetMarquee(false);
  progress_->SetState(ProgressBar::State::Paused);
  progress_->SetRange(maximum);
}

void MainWindow::OnCountdownShow(int n) {
  log_->ShowTail(M(168) + QStringLiteral(": ") + QString::number(n));
  progress_->SetValue(n - 1);
}

void MainWindow::OnCountdownEnd() {
  jobUi_.AutoCloseEnded(countdownTicket_);
  if (ConfirmClose() == kAnswerYes) {
    closeConfirmed_ = true;
    services_.Quit();
  }
}

// ---- closing ----

WindowState MainWindow::CurrentWindowState() const {
  WindowState w;
  if (QScreen* scr = screen()) {
    w.screenWidth = scr->size().width();
    w.screenHeight = scr->size().height();
  }
  w.mainMaximized = isMaximized();
  if (settings_) {
    w.settingsWindowOpen = true;
    w.settingsStage = settings_->CurrentTab();
    w.settingsX = settings_->x();
    w.settingsY = settings_->y();
    w.settingsWidth = settings_->width();
    w.settingsHeight = settings_->height();
  }
  return w;
}

int MainWindow::ConfirmClose() {
  int answer = kAnswerYes;
  if (app_.dispatcher.Running())
    answer = services_.MessageBox(this, M(74), M(75) + '\n' + M(79), Buttons::YesNoCancel, BoxIcon::Question);
  if (answer != kAnswerYes) return answer;
  if (app_.dispatcher.Running()) {
    // The program ends without waiting for the job: its tool stops first, and an image a pack
    // had put aside comes back under its own name before the log is written.
    platform::StopAllTools();
    GiveBackupsBack();
  }
  TakeLogNow();
  app_.Close(CurrentWindowState());
  if (settings_) settings_->StopTestSound();
  sound_.Release();
  return answer;
}

void MainWindow::closeEvent(QCloseEvent* e) {
  if (closeConfirmed_) {
    e->accept();
    return;
  }
  if (ConfirmClose() == kAnswerYes) {
    closeConfirmed_ = true;
    e->accept();
    services_.Quit();
  } else {
    e->ignore();
  }
}

void MainWindow::dragEnterEvent(QDragEnterEvent* e) {
  if (e->mimeData()->hasUrls()) e->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent* e) {
  QStringList paths;
  for (const QUrl& u : e->mimeData()->urls())
    if (u.isLocalFile()) paths << u.toLocalFile();
  e->acceptProposedAction();
  QueueAndStart(paths);
}

// ---- other windows ----

void MainWindow::OpenSettingsWindow(int tab) {
  if (settings_) {
    settings_->raise();
    settings_->activateWindow();
    return;
  }
  settings_ = new SettingsWindow(*this);
  settings_->ShowOnTab(tab < 0 ? app_.settings.Int("Setting_Stage") : tab);
}

void MainWindow::OpenAbout() {
  if (about_) return;
  auto* w = new AboutWindow(*this);
  about_ = w;
  w->show();
}

void MainWindow::OpenDonation() {
  if (donation_) return;
  auto* w = new DonationWindow(*this);
  donation_ = w;
  w->show();
}

void MainWindow::ChangeLanguage(int identifier) {
  Settings& s = app_.settings;
  const int before = s.Int("Locale_ID");
  s.SetInt("Locale_ID", identifier);
  if (before == identifier) return;
  app_.messages.LoadLanguage(identifier, app_.LanguageFolder(), s);

  // The settings window is built anew in the new language, on its language tab.
  if (settings_) {
    SettingsWindow* old = settings_;
    old->RecordGeometry();
    old->StopTestSound();
    old->hide();
    old->deleteLater();
    settings_ = nullptr;
  }
  OpenSettingsWindow(6);

  if (!app_.dispatcher.Running()) {
    app_.log.Replace("");
    app_.log.LogLine(WelcomeHint(app_.ctx), false);
    TakeLogNow();
    ShowStatus(M(71), false);
  } else {
    statusText_->setText(M(21));
  }
  RebuildMenus();
  RebuildToolbar();
}

QString MainWindow::DesktopShortcutPath() const {
  const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
  if (desktop.isEmpty()) return {};
  return desktop + QLatin1Char('/') + QFileInfo(Q(app_.programFile)).completeBaseName() +
         QStringLiteral(".desktop");
}

bool MainWindow::CreateDesktopShortcut() {
  const QString path = DesktopShortcutPath();
  if (path.isEmpty()) return false;
  const QString icon = Q(app_.ctx.root + "orvex.svg");
  return WriteLauncher(path, Q(app_.programFile), QFileInfo::exists(icon) ? icon : QString());
}

}  // namespace orvex::gui
