#include "settings_window.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QSlider>
#include <QUrl>
#include <QVBoxLayout>
#include <filesystem>

#include "finish_sound.h"
#include "icons.h"
#include "log_view.h"
#include "main_window.h"
#include "platform.h"
#include "text.h"
#include "ui_services.h"
#include "workspace.h"

namespace orvex::gui {

const LanguageEntry kLanguages[11] = {
    {"Auto", 0},
    {"English - United States ", 1033},
    {"Russian", 1049},
    {"Chinese Traditional", 1028},
    {"Chinese Simplified", 2052},
    {"Belarusian", 1059},
    {"Ukrainian ", 1058},
    {"Portuguese - Brazil", 1046},
    {"Vietnamese", 1066},
    {"Turkish", 1055},
    {"German - Germany", 1031},
};

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

int ToColourRef(const QColor& c) { return c.red() | (c.green() << 8) | (c.blue() << 16); }
QColor FromColourRef(int bgr) { return QColor(bgr & 0xFF, (bgr >> 8) & 0xFF, (bgr >> 16) & 0xFF); }

const QStringList kLevels = {QStringLiteral("0"), QStringLiteral("1"), QStringLiteral("3"),
                             QStringLiteral("5"), QStringLiteral("7"), QStringLiteral("9")};

}  // namespace

void SettingsTabs::dragEnterEvent(QDragEnterEvent* e) {
  if (e->mimeData()->hasUrls()) e->acceptProposedAction();
  else e->ignore();
}

void SettingsTabs::dragMoveEvent(QDragMoveEvent* e) {
  if (e->mimeData()->hasUrls()) e->acceptProposedAction();
  else e->ignore();
}

void SettingsTabs::dropEvent(QDropEvent* e) {
  QStringList paths;
  for (const QUrl& u : e->mimeData()->urls())
    if (u.isLocalFile()) paths << u.toLocalFile();
  e->acceptProposedAction();
  emit filesDropped(paths);
}

SettingsWindow::SettingsWindow(MainWindow& main) : QWidget(&main, Qt::Window), main_(main) {
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle(main_.M(8));
  setWindowIcon(main_.Images().Icon(9));
  setMinimumSize(395, 383);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  tabs_ = new SettingsTabs(this);
  tabs_->setProperty("control", 102);
  tabs_->setAcceptDrops(true);
  layout->addWidget(tabs_);
  connect(tabs_, &SettingsTabs::filesDropped, this, &SettingsWindow::TakeApkFiles);
  Build();
  connect(tabs_, &QTabWidget::currentChanged, this, [this] { StopTestSound(); });
}

SettingsWindow::~SettingsWindow() { main_.Sound().Stop(); }

QWidget* SettingsWindow::Control(int id) const {
  auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : it->second;
}

QWidget* SettingsWindow::Page(int tab) const { return tabs_->widget(tab); }

int SettingsWindow::CurrentTab() const { return tabs_->currentIndex(); }

std::string SettingsWindow::FrameworkPath() const {
  return main_.Application().ctx.FrameworkFolder() + "framework-res.apk";
}

void SettingsWindow::Build() {
  App& app = main_.Application();
  Settings& s = app.settings;
  auto M = [this](int n) { return main_.M(n); };

  // Before the controls show it: an external framework that is gone is not in use.
  if (!platform::Exists(FrameworkPath())) s.SetInt("Framework", 0);

  const int titles[7] = {50, 51, 82, 127, 43, 60, 85};
  for (int t = 0; t < 7; ++t) {
    auto* page = new QWidget;
    tabs_->addTab(page, M(titles[t]));
  }

  auto keep = [this](int id, QWidget* w) {
    if (id > 0) {
      controls_[id] = w;
      w->setProperty("control", id);
      w->setObjectName(QStringLiteral("control%1").arg(id));
    }
    return w;
  };
  auto place = [](QWidget* w, int x, int y, int width, int height) { w->setGeometry(x, y, width, height); };

  auto frame = [&](int tab, const QString& title, int x, int y, int w, int h) {
    auto* g = new QGroupBox(title, Page(tab));
    place(g, x, y, w, h);
    g->lower();
    return g;
  };
  auto label = [&](int tab, int id, const QString& text, int x, int y, int w, int h) {
    auto* l = new QLabel(text, Page(tab));
    place(l, x, y, w, h);
    keep(id, l);
    return l;
  };
  // A check box bound to an 0/1 setting; `after` runs after the setting changed.
  auto check = [&](int tab, int id, const QString& text, const char* key, int x, int y, int w, int h,
                   std::function<void(bool)> after = nullptr) {
    auto* c = new QCheckBox(text, Page(tab));
    place(c, x, y, w, h);
    keep(id, c);
    if (key) c->setChecked(s.Int(key) == 1);
    connect(c, &QCheckBox::toggled, this, [this, key, after, &s](bool on) {
      if (building_) return;
      if (key) s.SetInt(key, on ? 1 : 0);
      if (after) after(on);
    });
    return c;
  };
  auto option = [&](int tab, int id, const QString& text, int x, int y, int w, int h, bool selected,
                    std::function<void()> chosen) {
    auto* r = new QRadioButton(text, Page(tab));
    place(r, x, y, w, h);
    keep(id, r);
    r->setChecked(selected);
    connect(r, &QRadioButton::toggled, this, [this, chosen](bool on) {
      if (!building_ && on) chosen();
    });
    return r;
  };
  auto combo = [&](int tab, int id, const QStringList& items, const QString& current, int x, int y, int w, int h,
                   std::function<void(const QString&)> changed) {
    auto* c = new QComboBox(Page(tab));
    c->addItems(items);
    c->setCurrentIndex(std::max(0, static_cast<int>(items.indexOf(current))));
    place(c, x, y, w, h);
    keep(id, c);
    connect(c, &QComboBox::currentTextChanged, this, [this, changed](const QString& t) {
      if (!building_) changed(t);
    });
    return c;
  };
  auto field = [&](int tab, int id, const QString& value, bool digitsOnly, int x, int y, int w, int h,
                   std::function<void(const QString&)> changed) {
    auto* f = new QLineEdit(value, Page(tab));
    if (digitsOnly)
      f->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), f));
    place(f, x, y, w, h);
    keep(id, f);
    connect(f, &QLineEdit::textChanged, this, [this, changed](const QString& t) {
      if (!building_) changed(t);
    });
    return f;
  };
  auto slider = [&](int tab, int id, int valueLabelId, int minimum, int maximum, const char* key, int x, int y, int w,
                    int h, int lx, std::function<void(int)> changed) {
    auto* sl = new QSlider(Qt::Horizontal, Page(tab));
    sl->setRange(minimum, maximum);
    sl->setValue(std::clamp(s.Int(key), minimum, maximum));
    place(sl, x, y, w, h);
    keep(id, sl);
    QLabel* value = label(tab, valueLabelId, QString::number(sl->value()), lx, y, 30, 20);
    connect(sl, &QSlider::valueChanged, this, [this, key, value, changed, &s](int v) {
      if (building_) return;
      s.SetInt(key, v);
      value->setText(QString::number(v));
      if (changed) changed(v);
    });
    return sl;
  };
  auto button = [&](int tab, int id, const QString& text, const QString& tip, int x, int y, int w, int h,
                    std::function<void()> pressed) {
    auto* b = new QPushButton(text, Page(tab));
    if (!tip.isEmpty()) b->setToolTip(tip);
    place(b, x, y, w, h);
    keep(id, b);
    connect(b, &QPushButton::clicked, this, [pressed] { pressed(); });
    return b;
  };

  // Tab 0: unpacking.
  frame(0, M(52) + ' ', 10, 10, 364, 172);
  superFont_ = QFont(QStringLiteral("Segoe UI"), 10);
  superFont_.setItalic(true);
  check(0, 118, M(53) + QStringLiteral(" SUPER (Win x86/x64)"), "Unpack_Super", 20, 30, 285, 20)->setFont(superFont_);
  check(0, 119, M(53) + QStringLiteral(" SYSTEM"), "Unpack_System", 20, 55, 265, 20);
  check(0, 120, M(53) + QStringLiteral(" VENDOR"), "Unpack_Vendor", 20, 80, 265, 20);
  check(0, 121, M(53) + QStringLiteral(" PRODUCT"), "Unpack_Product", 20, 105, 265, 20);
  check(0, 122, M(53) + QStringLiteral(" ODM"), "Unpack_Odm", 20, 130, 265, 20);
  check(0, 123, M(54), "Open_Folder", 20, 155, 265, 20);
  frame(0, QStringLiteral("RockChip "), 10, 185, 364, 45);
  label(0, 0, QStringLiteral("imgRePackerRK"), 20, 205, 97, 20);
  const bool ver107 = s.Text("Ver") == "107";
  option(0, 124, QStringLiteral("v 1.06"), 120, 203, 60, 20, !ver107, [&s] { s.SetText("Ver", "106"); });
  option(0, 125, QStringLiteral("v 1.07 h_test"), 180, 203, 100, 20, ver107, [&s] { s.SetText("Ver", "107"); });
  check(0, 162, M(137), "Subfolder", 20, 245, 345, 20, [this](bool) { ApplyEnablingRules(); });
  check(0, 161, M(138), "Seven_UnPack", 20, 270, 345, 20);
  check(0, 163, M(139), "Delete_Archive", 20, 295, 345, 20);
  check(0, 133, M(81), "Not_Delete", 20, 320, 345, 20);

  // Tab 1: packing.
  frame(1, M(55) + ' ', 10, 10, 364, 150);
  check(1, 127, M(56) + QStringLiteral(" SYSTEM"), "Pack_System", 20, 30, 345, 20);
  check(1, 128, M(56) + QStringLiteral(" VENDOR"), "Pack_Vendor", 20, 55, 345, 20);
  check(1, 129, M(56) + QStringLiteral(" PRODUCT"), "Pack_Product", 20, 80, 345, 20);
  check(1, 130, M(56) + QStringLiteral(" ODM"), "Pack_Odm", 20, 105, 345, 20);
  check(1, 126, M(56) + QStringLiteral(" SUPER (Win x64 Only!)"), "Pack_Super", 20, 130, 345, 20)->setFont(superFont_);
  frame(1, QStringLiteral("Amlogic "), 10, 168, 364, 70);
  check(1, 140, M(57), "Index_Add", 20, 185, 345, 20);
  auto* usb = check(1, 131, M(58) + QStringLiteral(" Amlogic USB Burning Tool"), "Open_UsbTool", 20, 210, 300, 20,
                    [this, &s](bool on) {
                      if (on && !platform::Exists(s.Text("Path_UsbTool"))) {
                        ChooseUsbTool();
                        if (!platform::Exists(s.Text("Path_UsbTool"))) {
                          QSignalBlocker block(Control(131));
                          ControlAs<QCheckBox>(131)->setChecked(false);
                          s.SetInt("Open_UsbTool", 0);
                        }
                      }
                    });
  usb->setChecked(s.Int("Open_UsbTool") == 1 && platform::Exists(s.Text("Path_UsbTool")));
  button(1, 134, QStringLiteral("..."), M(59) + QStringLiteral(" USB_Burning_Tool.exe"), 344, 211, 20, 20,
         [this] { ChooseUsbTool(); });
  check(1, 159, M(140) + QStringLiteral(": *.md5"), "Get_Hash", 20, 245, 345, 20);
  check(1, 160, M(141) + QStringLiteral(": *.7z"), "Seven_Pack", 20, 270, 345, 20, [this](bool) { ApplyEnablingRules(); });
  label(1, 0, M(105), 20, 297, 110, 20);
  combo(1, 164, kLevels, Q(s.Text("Seven_Level")), 130, 294, 40, 20,
        [&s](const QString& t) { s.SetText("Seven_Level", t.toStdString()); });
  label(1, 0, M(143) + QStringLiteral(": "), 205, 297, 90, 20);
  field(1, 165, Q(s.Text("Size_Part")), true, 295, 294, 40, 20,
        [&s](const QString& t) { s.SetText("Size_Part", t.toStdString()); });
  label(1, 0, QStringLiteral("Mb"), 340, 297, 50, 20);
  check(1, 166, M(142), "Delete_Image", 20, 320, 345, 20);

  // Tab 2: other options.
  check(2, 143, M(106) + QStringLiteral(" 4"), "Transfer", 10, 10, 240, 20);
  frame(2, QStringLiteral("Brotli keys: "), 10, 37, 364, 70);
  label(2, 0, M(108), 20, 56, 250, 20);
  field(2, 144, Q(s.Text("Decompress")), false, 120, 52, 243, 20,
        [&s](const QString& t) { s.SetText("Decompress", t.toStdString()); });
  label(2, 0, M(107), 20, 80, 250, 20);
  field(2, 145, Q(s.Text("Compress")), false, 120, 78, 243, 20,
        [&s](const QString& t) { s.SetText("Compress", t.toStdString()); });
  frame(2, QStringLiteral("Update.zip: "), 10, 111, 364, 70);
  label(2, 147, M(105), 20, 133, 120, 20);
  combo(2, 146, kLevels, Q(s.Text("Compress_Level")), 140, 129, 40, 20,
        [&s](const QString& t) { s.SetText("Compress_Level", t.toStdString()); });
  check(2, 148, M(104), "Signature", 20, 152, 220, 20);
  frame(2, QStringLiteral("Make ext4: "), 10, 186, 364, 100);
  check(2, 149, M(144), "Expand_Size", 20, 209, 300, 20, [this](bool) { ApplyEnablingRules(); });
  label(2, 150, M(145) + ':', 20, 235, 214, 20);
  field(2, 151, QString::number(s.Int("Free_Space")), true, 235, 232, 50, 20,
        [&s](const QString& t) { s.SetInt("Free_Space", static_cast<int>(LeadingInt(t.toStdString()))); });
  label(2, 0, QStringLiteral("Mb"), 290, 235, 50, 20);
  check(2, 152, M(171), "Resize", 20, 257, 290, 20);
  check(2, 153, M(146) + QStringLiteral(" (*.bak)"), "No_Backup", 10, 295, 290, 20);
  check(2, 154, M(147) + QStringLiteral(" (*.org)"), "No_Org", 10, 320, 290, 20);

  // Tab 3: building packages.
  check(3, 155, M(128) + QStringLiteral(" framework-res.apk"), "Framework", 10, 10, 270, 20, [this, &s](bool on) {
    if (on && !platform::Exists(FrameworkPath())) {
      ChooseFramework();
      if (!platform::Exists(FrameworkPath())) {
        QSignalBlocker block(Control(155));
        ControlAs<QCheckBox>(155)->setChecked(false);
        s.SetInt("Framework", 0);
      }
    }
  });
  button(3, 156, QStringLiteral("..."), M(129) + QStringLiteral(" framework-res.apk"), 330, 10, 20, 20,
         [this] { ChooseFramework(); });
  check(3, 157, M(104), "SignatureApk", 10, 35, 270, 20);
  check(3, 158, M(130), "Alignment", 10, 60, 270, 20);

  // Tab 4: the window.
  check(4, 103, M(44), "Main_Top", 10, 10, 140, 20, [this](bool) {
    main_.SyncViewChecks();
    main_.ApplyTopmost();
  });
  button(4, 107, M(45), QString(), 219, 12, 100, 20, [this, &s] {
    if (auto c = main_.Services().ChooseColor(this, FromColourRef(s.Int("Editor_BackColor")))) {
      s.SetInt("Editor_BackColor", ToColourRef(*c));
      main_.ApplyLogLook();
    }
  });
  label(4, 104, M(46), 10, 35, 250, 20);
  slider(4, 105, 106, 100, 255, "Window_Transparency", 10, 55, 315, 20, 340, [this](int) { main_.ApplyOpacity(); });
  button(4, 108, M(47), QString(), 14, 85, 100, 20, [this, &s] {
    if (auto f = main_.Services().ChooseFont(this, LogView::FontFromSettings(s))) {
      int style = s.Int("Editor_FontStyle") & 16;
      if (f->bold()) style |= 256;
      if (f->italic()) style |= 512;
      if (f->underline()) style |= 4;
      if (f->strikeOut()) style |= 8;
      s.SetText("Editor_FontName", f->family().toStdString());
      if (f->pointSize() > 0) s.SetInt("Editor_FontSize", f->pointSize());
      s.SetInt("Editor_FontStyle", style);
      if (auto* sl = ControlAs<QSlider>(110)) {
        QSignalBlocker block(sl);
        sl->setValue(s.Int("Editor_FontSize"));
        if (auto* v = ControlAs<QLabel>(112)) v->setText(QString::number(sl->value()));
      }
      main_.ApplyLogLook();
    }
  });
  button(4, 109, M(48), QString(), 219, 85, 100, 20, [this, &s] {
    if (auto c = main_.Services().ChooseColor(this, FromColourRef(s.Int("Editor_FontColor")))) {
      s.SetInt("Editor_FontColor", ToColourRef(*c));
      main_.ApplyLogLook();
    }
  });
  label(4, 111, M(49), 10, 115, 250, 20);
  slider(4, 110, 112, 8, 72, "Editor_FontSize", 10, 135, 315, 20, 340, [this](int) { main_.ApplyLogLook(); });
  frame(4, M(114) + ' ', 10, 165, 364, 45);
  auto setToolbar = [this, &s](int value) {
    s.SetInt("Toolbar_Set", value);
    main_.SyncViewChecks();
    main_.RebuildToolbar();
    main_.MainWindowLayout();
  };
  const int ts = s.Int("Toolbar_Set");
  option(4, 113, M(115), 20, 182, 110, 20, ts == 1, [setToolbar] { setToolbar(1); });
  option(4, 114, M(116), 173, 182, 100, 20, ts == 2, [setToolbar] { setToolbar(2); });
  option(4, 115, M(117), 303, 182, 60, 20, ts == 0, [setToolbar] { setToolbar(0); });
  check(4, 116, M(168) + ':', "Auto_Exit", 10, 222, 150, 20, [this](bool) { ApplyEnablingRules(); });
  QStringList seconds;
  for (int i = 0; i <= 10; ++i) seconds << QString::number(i);
  combo(4, 117, seconds, QString::number(s.Int("AutoExit_Time")), 160, 221, 50, 23,
        [&s](const QString& t) { s.SetInt("AutoExit_Time", static_cast<int>(LeadingInt(t.toStdString()))); });

  // Tab 5: sound.
  check(5, 135, M(62), "Finish_Sound", 10, 10, 260, 20);
  label(5, 136, M(61), 10, 35, 250, 20);
  slider(5, 137, 138, 0, 100, "Volume_Level", 10, 55, 328, 20, 353, [this](int v) { main_.SetVolume(v); });
  check(5, 139, M(63), nullptr, 10, 85, 250, 20, [this, &s](bool on) {
    if (on) {
      main_.Sound().SetVolume(s.Int("Volume_Level"));
      main_.Sound().PlayLooped();
    } else {
      main_.Sound().Stop();
    }
  });

  // Tab 6: language.
  frame(6, M(86) + ' ', 10, 10, 364, 220);
  QStringList names;
  int selected = 0;
  for (int i = 0; i < 11; ++i) {
    names << QString::fromUtf8(kLanguages[i].text);
    if (kLanguages[i].identifier == s.Int("Locale_ID")) selected = i;
  }
  auto* languages = combo(6, 142, names, names[selected], 20, 30, 343, 23, [](const QString&) {});
  connect(static_cast<QComboBox*>(languages), &QComboBox::currentIndexChanged, this, [this](int index) {
    if (building_ || index < 0 || index >= 11) return;
    main_.ChangeLanguage(kLanguages[index].identifier);
  });
  auto* lcid = label(6, 141, QStringLiteral("LCID CODE: ") + QString::number(platform::UserUiLanguage()), 233, 250,
                     135, 25);
  lcid->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  lcid->setStyleSheet(QStringLiteral("color: #808080;"));

  ApplyEnablingRules();
  FitTexts();
  building_ = false;
}

bool SettingsWindow::TextsFit() const {
  if (tabs_->tabBar()->sizeHint().width() > std::max(width(), minimumWidth()) - 4) return false;
  for (const auto& [id, w] : controls_) {
    if (qobject_cast<const QCheckBox*>(w) || qobject_cast<const QRadioButton*>(w)) {
      if (w->sizeHint().width() > w->width()) return false;
    } else if (auto* l = qobject_cast<const QLabel*>(w)) {
      if (!l->wordWrap() && l->sizeHint().width() > l->width()) return false;
    }
  }
  for (const QGroupBox* g : findChildren<QGroupBox*>())
    if (g->fontMetrics().horizontalAdvance(g->title()) + 16 > g->width()) return false;
  return true;
}

void SettingsWindow::FitTexts() {
  // Positions and sizes are fixed. A face wider than the one they were laid out for is first
  // narrowed, then set smaller, until every text and the seven tab titles fit.
  const QFont base = font();
  const qreal full = base.pointSizeF() > 0 ? base.pointSizeF() : 9;
  auto apply = [&](qreal size, int stretch) {
    QFont f = base;
    f.setPointSizeF(size);
    f.setStretch(stretch);
    setFont(f);
    QFont super = superFont_;
    super.setPointSizeF(superFont_.pointSizeF() * size / full);
    super.setStretch(stretch);
    for (int id : {118, 126})
      if (QWidget* w = Control(id)) w->setFont(super);
  };
  for (int stretch : {100, 92, 85, 80}) {
    apply(full, stretch);
    if (TextsFit()) return;
  }
  for (qreal size = full - 0.5; size >= 7; size -= 0.5) {
    apply(size, 80);
    if (TextsFit()) return;
  }
  apply(full, 80);
}

void SettingsWindow::ApplyEnablingRules() {
  const Settings& s = main_.Application().settings;
  auto enable = [this](int id, bool on) {
    if (QWidget* w = Control(id)) w->setEnabled(on);
  };
  enable(161, s.Int("Subfolder") == 1);
  for (int id : {164, 165, 166}) enable(id, s.Int("Seven_Pack") == 1);
  enable(117, s.Int("Auto_Exit") == 1);
  for (int id : {151, 152}) enable(id, s.Int("Expand_Size") != 1);
}

void SettingsWindow::SyncViewControls() {
  const Settings& s = main_.Application().settings;
  const bool was = building_;
  building_ = true;
  if (auto* c = ControlAs<QCheckBox>(103)) c->setChecked(s.Int("Main_Top") == 1);
  const int ts = s.Int("Toolbar_Set");
  if (auto* r = ControlAs<QRadioButton>(ts == 2 ? 114 : ts == 0 ? 115 : 113)) r->setChecked(true);
  building_ = was;
}

void SettingsWindow::ShowOnTab(int tab) {
  const Settings& s = main_.Application().settings;
  resize(std::max(s.Int("Setting_Width"), 1), std::max(s.Int("Setting_Height"), 1));
  QScreen* scr = main_.screen();
  const QSize screenSize = scr ? scr->size() : QSize();
  const int sx = s.Int("Setting_X"), sy = s.Int("Setting_Y");
  if (screenSize.width() == s.Int("Desktop_Width") && screenSize.height() == s.Int("Desktop_Height") &&
      sx != kNoValue && sy != kNoValue && sx > 0 && sy > 0) {
    move(sx, sy);
  } else {
    const QRect m = main_.frameGeometry();
    move(m.center() - QPoint(width() / 2, height() / 2));
  }
  building_ = true;
  tabs_->setCurrentIndex(std::clamp(tab, 0, 6));
  building_ = false;
  show();
  raise();
  activateWindow();
}

void SettingsWindow::RecordGeometry() {
  Settings& s = main_.Application().settings;
  s.SetInt("Setting_Stage", CurrentTab());
  s.SetInt("Setting_X", x());
  s.SetInt("Setting_Y", y());
  s.SetInt("Setting_Width", width());
  s.SetInt("Setting_Height", height());
}

void SettingsWindow::StopTestSound() {
  if (auto* c = ControlAs<QCheckBox>(139)) {
    QSignalBlocker block(c);
    c->setChecked(false);
  }
  main_.Sound().Stop();
}

void SettingsWindow::closeEvent(QCloseEvent* e) {
  RecordGeometry();
  StopTestSound();
  e->accept();
}

void SettingsWindow::ChooseFramework() {
  const QString file = main_.Services().OpenFile(this, main_.M(78) + QStringLiteral(" framework-res.apk"),
                                                 main_.M(4) + QStringLiteral(" (framework-res.apk)|*.apk"));
  if (file.isEmpty()) return;
  std::error_code ec;
  std::filesystem::create_directories(platform::ToPath(main_.Application().ctx.FrameworkFolder()), ec);
  std::filesystem::copy_file(platform::ToPath(file.toStdString()), platform::ToPath(FrameworkPath()),
                             std::filesystem::copy_options::overwrite_existing, ec);
}

void SettingsWindow::ChooseUsbTool() {
  const QString file = main_.Services().OpenFile(this, main_.M(78) + QStringLiteral(" USB_Burning_Tool.exe"),
                                                 main_.M(4) + QStringLiteral(" (*.exe)|*.exe"));
  if (file.isEmpty()) return;
  main_.Application().settings.SetText("Path_UsbTool", file.toStdString());
}

void SettingsWindow::TakeApkFiles(const QStringList& paths) {
  if (CurrentTab() != kBuildTab) return;
  for (const QString& p : paths) {
    if (QFileInfo(p).suffix().toLower() != QLatin1String("apk")) continue;
    std::error_code ec;
    std::filesystem::create_directories(platform::ToPath(main_.Application().ctx.FrameworkFolder()), ec);
    const bool copied = std::filesystem::copy_file(platform::ToPath(p.toStdString()), platform::ToPath(FrameworkPath()),
                                                   std::filesystem::copy_options::overwrite_existing, ec);
    if (copied && !ec) {
      const bool was = building_;
      building_ = true;
      ControlAs<QCheckBox>(155)->setChecked(true);
      building_ = was;
      main_.Application().settings.SetInt("Framework", 1);
    }
  }
}

}  // namespace orvex::gui
