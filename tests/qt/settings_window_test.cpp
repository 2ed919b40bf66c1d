// The settings window: every control edits its setting, the enabling rules, the requesters,
// .apk drops on the build tab, position and tab, and the language change.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSlider>
#include <QTest>
#include <QToolBar>

#include "gui_fixture.h"
#include "log_view.h"
#include "platform.h"
#include "settings_window.h"
#include "workspace.h"

using namespace orvex;
using namespace orvex::gui;
using namespace orvex::gui::test;

namespace {

SettingsWindow* Open(GuiFixture& f, int tab = -1) {
  f.window->OpenSettingsWindow(tab);
  f.Deliver();
  return f.window->SettingsWin();
}

}  // namespace

class SettingsWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void checkBoxesEditTheirSettings();
  void optionsListsFieldsAndSliders();
  void enablingRules();
  void requestersForFrameworkAndUsbTool();
  void apkDropsOnTheBuildTabOnly();
  void positionTabAndReopening();
  void languageChangeRebuildsTheTexts();
  void languageChangeWhileJobsRun();
  void coloursFontAndSound();
};

void SettingsWindowTest::checkBoxesEditTheirSettings() {
  GuiFixture f;
  SettingsWindow* w = Open(f);
  QVERIFY(w);
  const std::pair<int, const char*> boxes[] = {
      {118, "Unpack_Super"}, {119, "Unpack_System"}, {120, "Unpack_Vendor"}, {121, "Unpack_Product"},
      {122, "Unpack_Odm"},   {123, "Open_Folder"},   {162, "Subfolder"},    {161, "Seven_UnPack"},
      {163, "Delete_Archive"}, {133, "Not_Delete"},  {127, "Pack_System"},  {128, "Pack_Vendor"},
      {129, "Pack_Product"}, {130, "Pack_Odm"},      {126, "Pack_Super"},   {140, "Index_Add"},
      {159, "Get_Hash"},     {160, "Seven_Pack"},    {166, "Delete_Image"}, {143, "Transfer"},
      {148, "Signature"},    {149, "Expand_Size"},   {152, "Resize"},       {153, "No_Backup"},
      {154, "No_Org"},       {157, "SignatureApk"},  {158, "Alignment"},    {103, "Main_Top"},
      {116, "Auto_Exit"},    {135, "Finish_Sound"},
  };
  for (const auto& [id, key] : boxes) {
    auto* box = w->ControlAs<QCheckBox>(id);
    QVERIFY2(box, qPrintable(QString("check box %1").arg(id)));
    box->setEnabled(true);  // the enabling rules are tested on their own
    const int before = f.app.settings.Int(key);
    QCOMPARE(box->isChecked(), before == 1);
    box->click();
    QCOMPARE(f.app.settings.Int(key), before == 1 ? 0 : 1);
    box->click();
    QCOMPARE(f.app.settings.Int(key), before);
  }
  // The texts carry the messages and the fixed words.
  QCOMPARE(w->ControlAs<QCheckBox>(118)->text(), f.M(53) + " SUPER (Win x86/x64)");
  QCOMPARE(w->ControlAs<QCheckBox>(126)->text(), f.M(56) + " SUPER (Win x64 Only!)");
  QCOMPARE(w->ControlAs<QCheckBox>(159)->text(), f.M(140) + ": *.md5");
  QCOMPARE(w->ControlAs<QCheckBox>(153)->text(), f.M(146) + " (*.bak)");
  QVERIFY(w->ControlAs<QCheckBox>(118)->font().italic());
  QCOMPARE(w->ControlAs<QCheckBox>(118)->geometry(), QRect(20, 30, 285, 20));
  QCOMPARE(w->Tabs()->count(), 7);
  const int titles[7] = {50, 51, 82, 127, 43, 60, 85};
  for (int t = 0; t < 7; ++t) QCOMPARE(w->Tabs()->tabText(t), f.M(titles[t]));

  // Main_Top from the window also moves the View menu's check.
  w->ControlAs<QCheckBox>(103)->click();
  QVERIFY(f.window->MenuAction(20)->isChecked());
  QVERIFY(f.window->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
  // And the other way round.
  f.window->RunCommand(cmd::kTopmost);
  QVERIFY(!w->ControlAs<QCheckBox>(103)->isChecked());
}

void SettingsWindowTest::optionsListsFieldsAndSliders() {
  GuiFixture f([](Settings& s) {
    s.SetInt("Seven_Pack", 1);
    s.SetInt("Expand_Size", 0);
    s.SetInt("Auto_Exit", 1);
  });
  SettingsWindow* w = Open(f);
  Settings& s = f.app.settings;

  QVERIFY(w->ControlAs<QRadioButton>(124)->isChecked());
  w->ControlAs<QRadioButton>(125)->click();
  QCOMPARE(s.Text("Ver"), std::string("107"));
  w->ControlAs<QRadioButton>(124)->click();
  QCOMPARE(s.Text("Ver"), std::string("106"));

  QCOMPARE(w->ControlAs<QComboBox>(164)->count(), 6);
  w->ControlAs<QComboBox>(164)->setCurrentText("7");
  QCOMPARE(s.Text("Seven_Level"), std::string("7"));
  w->ControlAs<QComboBox>(146)->setCurrentText("9");
  QCOMPARE(s.Text("Compress_Level"), std::string("9"));
  QCOMPARE(w->ControlAs<QComboBox>(117)->count(), 11);
  w->ControlAs<QComboBox>(117)->setCurrentText("4");
  QCOMPARE(s.Int("AutoExit_Time"), 4);

  QTest::keyClicks(w->ControlAs<QLineEdit>(165), "12x3");  // digits only
  QCOMPARE(s.Text("Size_Part"), std::string("123"));
  w->ControlAs<QLineEdit>(151)->setText("250");
  QCOMPARE(s.Int("Free_Space"), 250);
  w->ControlAs<QLineEdit>(145)->setText("--quality 5");
  QCOMPARE(s.Text("Compress"), std::string("--quality 5"));
  QCOMPARE(w->ControlAs<QLineEdit>(144)->text(), QStringLiteral("--verbose"));

  // Toolbar options change the main window at once.
  w->ControlAs<QRadioButton>(115)->click();
  QCOMPARE(s.Int("Toolbar_Set"), 0);
  QVERIFY(f.window->ToolBar() == nullptr);
  QVERIFY(!f.window->MenuAction(21)->isChecked());
  w->ControlAs<QRadioButton>(114)->click();
  QCOMPARE(s.Int("Toolbar_Set"), 2);
  QCOMPARE(f.window->Log()->x(), 25);
  f.window->RunCommand(cmd::kVerticalToolbar);  // back to 1 through the menu
  QVERIFY(w->ControlAs<QRadioButton>(113)->isChecked());

  auto* transparency = w->ControlAs<QSlider>(105);
  QCOMPARE(transparency->minimum(), 100);
  QCOMPARE(transparency->maximum(), 255);
  transparency->setValue(200);
  QCOMPARE(s.Int("Window_Transparency"), 200);
  QCOMPARE(w->ControlAs<QLabel>(106)->text(), QStringLiteral("200"));
  QCOMPARE(qRound(f.window->windowOpacity() * 255), 200);

  auto* size = w->ControlAs<QSlider>(110);
  QCOMPARE(size->minimum(), 8);
  QCOMPARE(size->maximum(), 72);
  size->setValue(20);
  QCOMPARE(s.Int("Editor_FontSize"), 20);
  QCOMPARE(w->ControlAs<QLabel>(112)->text(), QStringLiteral("20"));
  QCOMPARE(f.window->Log()->font().pointSize(), 20);

  w->ControlAs<QSlider>(137)->setValue(55);
  QCOMPARE(s.Int("Volume_Level"), 55);
  QCOMPARE(w->ControlAs<QLabel>(138)->text(), QStringLiteral("55"));
}

void SettingsWindowTest::enablingRules() {
  GuiFixture f([](Settings& s) {
    s.SetInt("Subfolder", 0);
    s.SetInt("Seven_Pack", 0);
    s.SetInt("Auto_Exit", 0);
    s.SetInt("Expand_Size", 1);
  });
  SettingsWindow* w = Open(f);
  auto enabled = [&](int id) { return w->Control(id)->isEnabled(); };
  QVERIFY(!enabled(161));
  QVERIFY(!enabled(164) && !enabled(165) && !enabled(166));
  QVERIFY(!enabled(117));
  QVERIFY(!enabled(151) && !enabled(152));

  w->ControlAs<QCheckBox>(160)->click();  // all three at once
  QVERIFY(enabled(164) && enabled(165) && enabled(166));
  w->ControlAs<QCheckBox>(162)->click();
  QVERIFY(enabled(161));
  w->ControlAs<QCheckBox>(116)->click();
  QVERIFY(enabled(117));
  w->ControlAs<QCheckBox>(149)->click();  // Expand_Size 0 frees the free-space controls
  QCOMPARE(f.app.settings.Int("Expand_Size"), 0);
  QVERIFY(enabled(151) && enabled(152));

  w->ControlAs<QCheckBox>(160)->click();
  QVERIFY(!enabled(164) && !enabled(165) && !enabled(166));
  w->ControlAs<QCheckBox>(149)->click();
  QVERIFY(!enabled(151) && !enabled(152));
}

void SettingsWindowTest::requestersForFrameworkAndUsbTool() {
  GuiFixture f([](Settings& s) {
    s.SetInt("Framework", 1);  // the file is missing: the window opens with it off
    s.SetInt("Open_UsbTool", 1);
    s.SetText("Path_UsbTool", "/no/such/USB_Burning_Tool.exe");
  });
  SettingsWindow* w = Open(f);
  FakeServices& s = *f.services;
  QCOMPARE(f.app.settings.Int("Framework"), 0);
  QVERIFY(!w->ControlAs<QCheckBox>(155)->isChecked());
  QVERIFY(!w->ControlAs<QCheckBox>(131)->isChecked());

  // Checking without the file asks for it; cancelling leaves the box off.
  w->ControlAs<QCheckBox>(155)->click();
  QCOMPARE(s.requests.back().title, f.M(78) + " framework-res.apk");
  QCOMPARE(s.requests.back().pattern, f.M(4) + " (framework-res.apk)|*.apk");
  QVERIFY(!w->ControlAs<QCheckBox>(155)->isChecked());
  QCOMPARE(f.app.settings.Int("Framework"), 0);

  const std::string apk = f.Temp("my framework.apk");
  f.WriteFile(apk, "PK apk bytes");
  s.fileAnswer = QString::fromStdString(apk);
  w->ControlAs<QCheckBox>(155)->click();
  QVERIFY(w->ControlAs<QCheckBox>(155)->isChecked());
  QCOMPARE(f.app.settings.Int("Framework"), 1);
  QCOMPARE(ReadWholeFile(f.Root() + "framework/framework-res.apk"), std::string("PK apk bytes"));

  s.fileAnswer.clear();
  w->ControlAs<QCheckBox>(131)->click();
  QCOMPARE(s.requests.back().title, f.M(78) + " USB_Burning_Tool.exe");
  QCOMPARE(s.requests.back().pattern, f.M(4) + " (*.exe)|*.exe");
  QVERIFY(!w->ControlAs<QCheckBox>(131)->isChecked());
  QCOMPARE(f.app.settings.Int("Open_UsbTool"), 0);

  const std::string tool = f.Temp("USB_Burning_Tool.exe");
  f.WriteFile(tool, "MZ");
  s.fileAnswer = QString::fromStdString(tool);
  w->ControlAs<QPushButton>(134)->click();
  QCOMPARE(f.app.settings.Text("Path_UsbTool"), tool);
  w->ControlAs<QCheckBox>(131)->click();
  QVERIFY(w->ControlAs<QCheckBox>(131)->isChecked());
  QCOMPARE(f.app.settings.Int("Open_UsbTool"), 1);
  QVERIFY(w->ControlAs<QPushButton>(134)->toolTip() == f.M(59) + " USB_Burning_Tool.exe");
}

void SettingsWindowTest::apkDropsOnTheBuildTabOnly() {
  GuiFixture f;
  SettingsWindow* w = Open(f, 0);
  const std::string upper = f.Temp("FRAMEWORK-RES.APK");
  f.WriteFile(upper, "upper");
  const std::string text = f.Temp("notes.txt");
  f.WriteFile(text, "text");
  const std::string target = f.Root() + "framework/framework-res.apk";

  GuiFixture::Drop(w->Tabs(), {QString::fromStdString(upper)});
  QVERIFY(!platform::Exists(target));  // not the build tab

  w->Tabs()->setCurrentIndex(SettingsWindow::kBuildTab);
  GuiFixture::Drop(w->Tabs(), {QString::fromStdString(text)});
  QVERIFY(!platform::Exists(target));
  QVERIFY(!w->ControlAs<QCheckBox>(155)->isChecked());

  GuiFixture::Drop(w->Tabs()->currentWidget(), {QString::fromStdString(text), QString::fromStdString(upper)});
  QCOMPARE(ReadWholeFile(target), std::string("upper"));
  QVERIFY(w->ControlAs<QCheckBox>(155)->isChecked());
  QCOMPARE(f.app.settings.Int("Framework"), 1);
}

void SettingsWindowTest::positionTabAndReopening() {
  GuiFixture f([](Settings& s) { s.SetInt("Setting_Stage", 2); });
  SettingsWindow* w = Open(f);
  QCOMPARE(w->CurrentTab(), 2);
  QCOMPARE(w->size(), QSize(395, 383));
  // Setting_X -65535: centred on the main window.
  QVERIFY((w->frameGeometry().center() - f.window->frameGeometry().center()).manhattanLength() <= 4);

  w->ControlAs<QRadioButton>(125)->click();
  w->Tabs()->setCurrentIndex(5);
  w->resize(420, 400);
  w->move(60, 70);
  QPointer<SettingsWindow> guard = w;
  w->close();
  f.Deliver();
  QVERIFY(guard.isNull());
  Settings& s = f.app.settings;
  QCOMPARE(s.Int("Setting_Stage"), 5);
  QCOMPARE(s.Int("Setting_X"), 60);
  QCOMPARE(s.Int("Setting_Width"), 420);
  QCOMPARE(s.Int("Setting_Height"), 400);

  // Reopened on the same screen: at the stored place, tab and option.
  const QSize screen = f.window->screen()->size();
  s.SetInt("Desktop_Width", screen.width());
  s.SetInt("Desktop_Height", screen.height());
  w = Open(f);
  QCOMPARE(w->CurrentTab(), 5);
  QCOMPARE(w->pos(), QPoint(60, 70));
  QCOMPARE(w->size(), QSize(420, 400));
  QVERIFY(w->ControlAs<QRadioButton>(125)->isChecked());
  f.window->OpenSettingsWindow();  // already open: the same window
  QCOMPARE(f.window->SettingsWin(), w);

  // The state at close goes into the settings file.
  WindowState state = f.window->CurrentWindowState();
  QVERIFY(state.settingsWindowOpen);
  QCOMPARE(state.settingsStage, 5);
}

void SettingsWindowTest::languageChangeRebuildsTheTexts() {
  GuiFixture f;
  // A small language file: a comment, an empty line, then messages 1 to 186.
  std::string lng = "; test language\r\n\r\n";
  for (int n = 1; n <= 186; ++n) lng += "T" + std::to_string(n) + "\r\n";
  f.WriteFile(f.Root() + "language/1033.lng", lng);
  f.app.log.LogLine("old log", false);
  SettingsWindow* before = Open(f, 0);
  auto* list = before->ControlAs<QComboBox>(142);
  QCOMPARE(list->count(), 11);
  QCOMPARE(list->itemText(1), QStringLiteral("English - United States "));
  QCOMPARE(list->currentIndex(), 2);  // Russian, 1049
  QVERIFY(before->ControlAs<QLabel>(141)->text().startsWith("LCID CODE: "));

  QPointer<SettingsWindow> old = before;
  list->setCurrentIndex(1);
  f.Deliver();
  QCOMPARE(f.app.settings.Int("Locale_ID"), 1033);
  QVERIFY(old.isNull());
  SettingsWindow* after = f.window->SettingsWin();
  QVERIFY(after && after->isVisible());
  QCOMPARE(after->CurrentTab(), SettingsWindow::kLanguageTab);
  QCOMPARE(after->windowTitle(), QStringLiteral("T8"));
  QCOMPARE(after->Tabs()->tabText(0), QStringLiteral("T50"));
  QCOMPARE(after->ControlAs<QComboBox>(142)->currentIndex(), 1);
  QCOMPARE(f.window->menuBar()->actions().at(0)->text(), QStringLiteral("T4"));
  QCOMPARE(f.window->MenuAction(cmd::kUnpack)->text(), QStringLiteral("T5"));
  QCOMPARE(f.window->ToolBar()->actions().at(0)->toolTip(), QStringLiteral("T11"));
  QCOMPARE(f.window->StatusText()->text(), QStringLiteral("T71"));
  // No jobs run: the log holds only the welcome text, in the new language.
  QCOMPARE(f.LogText(), QStringLiteral("T68 (*.img), T100 (*.zip), T66 (*.img, *.PARTITION, *.fex, *.new.dat, "
                                       "*.new.dat.br) T67\r\n"));
  QCOMPARE(f.window->Log()->toPlainText(), QString(f.LogText()).replace("\r\n", "\n"));

  // The entry that is already active changes nothing.
  after->ControlAs<QComboBox>(142)->setCurrentIndex(1);
  f.Deliver();
  QCOMPARE(f.window->SettingsWin(), after);

  // A language without its file falls back to the built-in table.
  after->ControlAs<QComboBox>(142)->setCurrentIndex(3);
  f.Deliver();
  QCOMPARE(f.app.settings.Int("Locale_ID"), 1049);
  QCOMPARE(f.window->MenuAction(cmd::kUnpack)->text(), QString::fromUtf8("Разобрать"));
}

void SettingsWindowTest::languageChangeWhileJobsRun() {
  GuiFixture f;
  std::string lng;
  for (int n = 1; n <= 186; ++n) lng += "E" + std::to_string(n) + "\n";
  f.WriteFile(f.Root() + "language/1033.lng", lng);
  const std::string release = f.Temp("release");
  f.WriteTool("imgextractor_", "exit 0");
  f.WriteTool("imgextractor", "while [ ! -e '" + release + "' ]; do sleep 0.02; done; exit 0");
  f.window->QueueAndStart({QString::fromStdString(f.MakeExt4Image("system.img"))});
  QVERIFY(f.app.dispatcher.Running());
  const QString logBefore = f.LogText();

  SettingsWindow* w = Open(f, 6);
  w->ControlAs<QComboBox>(142)->setCurrentIndex(1);
  f.Deliver();
  QCOMPARE(f.window->StatusText()->text(), QStringLiteral("E21"));
  QVERIFY(f.LogText().startsWith(logBefore));  // the log is left alone
  f.WriteFile(release, "");
  f.WaitForRun();
}

void SettingsWindowTest::coloursFontAndSound() {
  GuiFixture f;
  SettingsWindow* w = Open(f, 4);
  FakeServices& s = *f.services;
  Settings& st = f.app.settings;

  s.colourAnswer = QColor(0x11, 0x22, 0x33);
  w->ControlAs<QPushButton>(107)->click();
  QCOMPARE(st.Int("Editor_BackColor"), 0x332211);
  QCOMPARE(f.window->Log()->palette().color(QPalette::Base), QColor(0x11, 0x22, 0x33));
  s.colourAnswer = QColor(0xAA, 0xBB, 0xCC);
  w->ControlAs<QPushButton>(109)->click();
  QCOMPARE(st.Int("Editor_FontColor"), 0xCCBBAA);
  s.colourAnswer.reset();  // cancelled
  w->ControlAs<QPushButton>(109)->click();
  QCOMPARE(st.Int("Editor_FontColor"), 0xCCBBAA);

  QFont chosen(QStringLiteral("DejaVu Serif"), 17);
  chosen.setItalic(true);
  chosen.setUnderline(true);
  s.fontAnswer = chosen;
  w->ControlAs<QPushButton>(108)->click();
  QCOMPARE(st.Text("Editor_FontName"), std::string("DejaVu Serif"));
  QCOMPARE(st.Int("Editor_FontSize"), 17);
  QCOMPARE(st.Int("Editor_FontStyle"), 512 | 4);
  QCOMPARE(w->ControlAs<QSlider>(110)->value(), 17);
  QCOMPARE(f.window->Log()->font().pointSize(), 17);
  QVERIFY(f.window->Log()->font().italic());

  // The test playback plays while checked; another tab unchecks it.
  w->Tabs()->setCurrentIndex(5);
  const int before = f.window->Sound().PlayRequests();
  w->ControlAs<QCheckBox>(139)->click();
  QCOMPARE(f.window->Sound().PlayRequests(), before + 1);
  w->Tabs()->setCurrentIndex(0);
  QVERIFY(!w->ControlAs<QCheckBox>(139)->isChecked());
}

ORVEX_GUI_TEST_MAIN(SettingsWindowTest)
#include "settings_window_test.moc"
