// The log view: streaming a long run in order, its commands and context menu, the search and
// translate addresses, the result colours, saving with the system header, web addresses.
#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QMenu>
#include <QTest>
#include <QTextBlock>
#include <QTimer>

#include "gui_fixture.h"
#include "log_view.h"
#include "platform.h"
#include "progress_bar.h"
#include "web_addresses.h"
#include "text.h"
#include "workspace.h"

using namespace orvex;
using namespace orvex::gui;
using namespace orvex::gui::test;

namespace {

QColor ColourAt(LogView* view, const QString& text) {
  const int at = static_cast<int>(view->toPlainText().indexOf(text));
  if (at < 0) return {};
  QTextCursor c(view->document());
  c.setPosition(at + 1);
  const QBrush b = c.charFormat().foreground();
  // No brush of its own: the view's text colour.
  return b.style() == Qt::NoBrush ? view->palette().color(QPalette::Text) : b.color();
}

void Select(LogView* view, const QString& text) {
  const int at = static_cast<int>(view->toPlainText().indexOf(text));
  QVERIFY(at >= 0);
  QTextCursor c(view->document());
  c.setPosition(at);
  c.setPosition(at + static_cast<int>(text.size()), QTextCursor::KeepAnchor);
  view->setTextCursor(c);
}

std::string Line(const std::string& text, int index) {
  auto lines = Split(text, '\n');
  return index < static_cast<int>(lines.size()) ? lines[index] : std::string();
}

}  // namespace

class LogViewTest : public QObject {
  Q_OBJECT

 private slots:
  void longRunStreamsInOrderWithoutResetting();
  void failedStepTurnsTheBarRedAndColoursTheResults();
  void successOnlyColoursGreen();
  void contextMenuFollowsSelectionAndClipboard();
  void commandsThroughTheKeyboard();
  void pasteAddsMarkersAndClearEmptiesTheView();
  void searchAndTranslateAddresses();
  void percentEncodingKeepsOnlyItsSet();
  void webAddressesAreFoundAndOpenOnClick();
  void saveLogAsWritesTheHeaderThenTheLog();
  void saveLogAsRefusals();
  void lookFollowsTheSettings();
};

void LogViewTest::longRunStreamsInOrderWithoutResetting() {
  GuiFixture f;
  constexpr int kLines = 200000;
  f.WriteTool("imgextractor_", "exit 0");
  // Every line arrives as its own entry (the error output is taken line by line).
  f.WriteTool("imgextractor", "seq 1 " + std::to_string(kLines) + " | sed 's/^/line /' >&2; exit 0");
  const std::string image = f.MakeExt4Image("system.img");
  LogView* view = f.window->Log();
  view->Attach(f.app.log);  // counts from here

  // While the run goes on, the window keeps taking events; what it shows only ever grows.
  int ticks = 0, shrinks = 0, lastLength = 0, growthsSeen = 0;
  QTimer probe;
  probe.setInterval(0);
  QObject::connect(&probe, &QTimer::timeout, [&] {
    ++ticks;
    const int length = view->document()->characterCount();
    if (length < lastLength) ++shrinks;
    if (length > lastLength) ++growthsSeen;
    lastLength = length;
  });
  probe.start();
  // Appending only adds at the end; re-setting the text would first remove what was there.
  int removals = 0, changes = 0;
  QObject::connect(view->document(), &QTextDocument::contentsChange, [&](int, int removed, int) {
    ++changes;
    if (removed > 0) ++removals;
  });
  f.window->QueueAndStart({QString::fromStdString(image)});
  while (f.app.dispatcher.Running()) QTest::qWait(2);
  f.Deliver();
  probe.stop();

  const QString log = f.LogText();
  QCOMPARE(view->LogTextShown(), QString(log).replace("\r\n", "\n"));
  QCOMPARE(view->ResetCount(), 0);
  QCOMPARE(removals, 0);
  QVERIFY(changes > 1);
  QVERIFY2(view->AppendCount() > 1, "the text arrived in several pieces while the run went on");
  QVERIFY2(view->AppendCount() < kLines, "pieces that arrive together are appended together");
  QCOMPARE(shrinks, 0);
  QVERIFY(growthsSeen > 1);
  QVERIFY(ticks > growthsSeen);

  // Every line once, in order.
  int expected = 1;
  for (QString l : log.split("\r\n")) {
    while (l.startsWith('\n')) l.remove(0, 1);  // the blank line after an entry
    if (!l.startsWith("line ")) continue;
    QCOMPARE(l, QStringLiteral("line %1").arg(expected));
    ++expected;
  }
  QCOMPARE(expected, kLines + 1);
}

void LogViewTest::failedStepTurnsTheBarRedAndColoursTheResults() {
  GuiFixture f([](Settings& s) { s.SetInt("Auto_Exit", 1); });
  f.WriteTool("imgextractor_", "exit 0");
  f.WriteTool("imgextractor", "echo 'cannot read the image' >&2; exit 3");
  const std::string image = f.MakeExt4Image("system.img");
  f.window->QueueAndStart({QString::fromStdString(image)});
  f.WaitForRun();

  MainWindow& w = *f.window;
  const QString fail = f.M(77) + "!";
  QVERIFY(f.LogText().contains("ImgExtractor: 3  (" + fail + ")"));
  QCOMPARE(w.Progress()->CurrentState(), ProgressBar::State::Error);
  QCOMPARE(w.Progress()->Value(), 100);
  QVERIFY(!w.Progress()->Marquee());
  QCOMPARE(ColourAt(w.Log(), fail), kFailColour);
  QCOMPARE(ColourAt(w.Log(), f.M(133)), kSummaryColour);
  QCOMPARE(ColourAt(w.Log(), f.M(27)), w.Log()->palette().color(QPalette::Text));
  QVERIFY2(!w.Countdown().Running(), "a run with errors never closes by itself");
  QVERIFY(!f.ui.AutoCloseRunning());

  // Both results in one log: red wins, and the success text is green.
  f.app.log.LogLine("Exit code tool: 0  (" + f.app.messages.Get(76) + "!)", false);
  w.RunCommand(cmd::kHighlight);
  QCOMPARE(ColourAt(w.Log(), f.M(76) + "!"), kSuccessColour);
  QCOMPARE(w.Progress()->CurrentState(), ProgressBar::State::Error);

  // Command 10 shows the plain log again.
  w.RunCommand(cmd::kShowLog);
  QCOMPARE(ColourAt(w.Log(), fail), w.Log()->palette().color(QPalette::Text));
}

void LogViewTest::successOnlyColoursGreen() {
  GuiFixture f;
  MainWindow& w = *f.window;
  f.app.log.LogLine("step: 0  (" + f.app.messages.Get(76) + "!)", false);
  f.app.log.LogLine("later", false);
  w.Progress()->SetValue(30);
  w.Progress()->SetState(ProgressBar::State::Paused);
  w.RunCommand(cmd::kHighlight);
  QCOMPARE(ColourAt(w.Log(), f.M(76)), kSuccessColour);
  QCOMPARE(w.Progress()->CurrentState(), ProgressBar::State::Normal);
  QCOMPARE(w.Progress()->Value(), 100);
  // Text appended after the colouring comes in the normal colour.
  f.app.log.LogLine("next", false);
  f.Deliver();
  QCOMPARE(ColourAt(w.Log(), "next"), w.Log()->palette().color(QPalette::Text));

  // Nothing to colour: the bar stays as it is.
  f.app.log.Replace("plain");
  f.Deliver();
  w.Progress()->SetValue(40);
  w.RunCommand(cmd::kHighlight);
  QCOMPARE(w.Progress()->Value(), 40);
}

void LogViewTest::contextMenuFollowsSelectionAndClipboard() {
  GuiFixture f;
  MainWindow& w = *f.window;
  f.app.log.LogLine("some text to select", false);
  f.Deliver();
  QApplication::clipboard()->clear();

  auto state = [&](QMenu* m) {
    QMap<int, bool> enabled;
    for (QAction* a : m->actions())
      if (!a->isSeparator()) enabled[a->data().toInt()] = a->isEnabled();
    return enabled;
  };
  std::unique_ptr<QMenu> menu(w.BuildContextMenu(nullptr));
  QList<int> order;
  for (QAction* a : menu->actions()) order << (a->isSeparator() ? 0 : a->data().toInt());
  QCOMPARE(order, (QList<int>{11, 0, 12, 13, 14, 16, 0, 17, 18, 0, 19, 0, 15}));
  auto none = state(menu.get());
  for (int c : {12, 13, 17, 18, 19}) QVERIFY2(!none[c], qPrintable(QString("item %1 disabled").arg(c)));
  for (int c : {11, 14, 15, 16}) QVERIFY(none[c]);

  Select(w.Log(), "text");
  QApplication::clipboard()->setText("clip");
  menu.reset(w.BuildContextMenu(nullptr));
  auto some = state(menu.get());
  for (int c : {11, 12, 13, 14, 15, 16, 17, 18, 19}) QVERIFY(some[c]);
  QCOMPARE(menu->actions().at(8)->text(), f.M(172) + " " + kForumName + "\tCtrl+P");
}

void LogViewTest::commandsThroughTheKeyboard() {
  GuiFixture f;
  MainWindow& w = *f.window;
  f.app.log.LogLine("alpha beta", false);
  f.Deliver();
  w.Log()->setFocus();
  QApplication::setActiveWindow(&w);

  QTest::keyClick(w.Log(), Qt::Key_A, Qt::ControlModifier);
  QCOMPARE(w.Log()->SelectedText(), QStringLiteral("alpha beta\n"));
  QTest::keyClick(w.Log(), Qt::Key_C, Qt::ControlModifier);
  QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("alpha beta\n"));
  QVERIFY2(!w.Log()->textCursor().hasSelection(), "copying drops the selection");

  Select(w.Log(), "beta");
  QTest::keyClick(w.Log(), Qt::Key_G, Qt::ControlModifier);
  QCOMPARE(f.services->opened.last(), QStringLiteral("https://www.google.com/search?q=beta"));

  QTest::keyClick(w.Log(), Qt::Key_Delete);
  QCOMPARE(f.LogText(), QString());
  QCOMPARE(w.Log()->toPlainText(), QString());
}

void LogViewTest::pasteAddsMarkersAndClearEmptiesTheView() {
  GuiFixture f;
  MainWindow& w = *f.window;
  f.app.log.LogLine("before", false);
  QApplication::clipboard()->clear();
  w.RunCommand(cmd::kPaste);
  QCOMPARE(f.LogText(), QStringLiteral("before\r\n"));

  QApplication::clipboard()->setText("копия");
  w.RunCommand(cmd::kPaste);
  const QString expected =
      "before\r\n\n --->> Get Clipboard Text <<---\nкопия\n --->> End Clipboard Text <<---\n\n";
  QCOMPARE(f.LogText(), expected);
  QCOMPARE(w.Log()->toPlainText(), QString(expected).replace("\r\n", "\n"));

  f.app.log.errorCount = 2;
  w.Progress()->SetState(ProgressBar::State::Error);
  w.Progress()->SetValue(100);
  w.RunCommand(cmd::kClearLog);
  QCOMPARE(f.LogText(), QString());
  QCOMPARE(w.Log()->toPlainText(), QString());
  QCOMPARE(w.Progress()->CurrentState(), ProgressBar::State::Normal);
  QCOMPARE(w.Progress()->Value(), 0);
  QCOMPARE(f.app.log.errorCount.load(), 2);
}

void LogViewTest::searchAndTranslateAddresses() {
  GuiFixture f;
  MainWindow& w = *f.window;
  f.app.log.LogLine("ошибка чтения: bad magic", false);
  f.Deliver();
  Select(w.Log(), "ошибка чтения");
  w.RunCommand(cmd::kWebSearch);
  w.RunCommand(cmd::kForumSearch);
  w.RunCommand(cmd::kTranslate);
  const QString q = "%D0%BE%D1%88%D0%B8%D0%B1%D0%BA%D0%B0%20%D1%87%D1%82%D0%B5%D0%BD%D0%B8%D1%8F";
  QCOMPARE(f.services->opened.at(0), "https://www.google.com/search?q=" + q);
  QCOMPARE(f.services->opened.at(1), "https://forum.orvex.example.org/index.php?act=search&query=" + q +
                                         "&username=&forums%5B%5D=all&subforums=1&source=all&sort=rel&result=posts");
  QCOMPARE(f.services->opened.at(2), "https://translate.google.com/?sl=auto&tl=auto&text=" + q + "&op=translate");
  QCOMPARE(f.LogText(), QStringLiteral("ошибка чтения: bad magic\r\n"));

  // Without a selection: an empty query, and the forum's plain search page.
  QTextCursor c = w.Log()->textCursor();
  c.clearSelection();
  w.Log()->setTextCursor(c);
  w.RunCommand(cmd::kWebSearch);
  w.RunCommand(cmd::kForumSearch);
  QCOMPARE(f.services->opened.at(3), QStringLiteral("https://www.google.com/search?q="));
  QCOMPARE(f.services->opened.at(4), QStringLiteral("https://forum.orvex.example.org/index.php?act=search"));
}

void LogViewTest::percentEncodingKeepsOnlyItsSet() {
  QCOMPARE(PercentEncode("AZaz09-._~!'()*:;/?&=#$,@"), std::string("AZaz09-._~!'()*:;/?&=#$,@"));
  QCOMPARE(PercentEncode("a b+c%d\"e<f>\\g^h`i{j}|k[l]"),
           std::string("a%20b%2Bc%25d%22e%3Cf%3E%5Cg%5Eh%60i%7Bj%7D%7Ck%5Bl%5D"));
  QCOMPARE(PercentEncode("\r\n\t"), std::string("%0D%0A%09"));
  QCOMPARE(PercentEncode("€"), std::string("%E2%82%AC"));
  QCOMPARE(PercentEncode(""), std::string());
}

void LogViewTest::webAddressesAreFoundAndOpenOnClick() {
  auto found = [](const QString& line) {
    QStringList out;
    for (const FoundAddress& a : FindWebAddresses(line)) out << line.mid(a.start, a.length);
    return out;
  };
  QCOMPARE(found("see https://example.org/a?b=1, then www.example.com."),
           (QStringList{"https://example.org/a?b=1", "www.example.com"}));
  QCOMPARE(found("(ftp://host/file)"), QStringList{"ftp://host/file"});
  QCOMPARE(found("no address: system.img, a://b"), QStringList{});

  GuiFixture f;
  MainWindow& w = *f.window;
  f.app.log.LogLine("Page: https://example.org/page here", false);
  f.Deliver();
  LogView* v = w.Log();
  QTextCursor c(v->document());
  c.setPosition(static_cast<int>(v->toPlainText().indexOf("example.org")) + 2);
  const QPoint onLink = v->cursorRect(c).center();
  QCOMPARE(v->AddressAt(onLink), QStringLiteral("https://example.org/page"));
  QTest::mouseClick(v->viewport(), Qt::LeftButton, Qt::NoModifier, onLink);
  QCOMPARE(f.services->opened, QStringList{"https://example.org/page"});
  c.setPosition(2);
  QTest::mouseClick(v->viewport(), Qt::LeftButton, Qt::NoModifier, v->cursorRect(c).center());
  QCOMPARE(f.services->opened.size(), 1);
}

void LogViewTest::saveLogAsWritesTheHeaderThenTheLog() {
  GuiFixture f;
  f.app.log.LogLine("first line", false);
  f.app.log.LogLine("second line", true);
  const std::string target = f.Temp("saved/LogFile.txt");
  std::filesystem::create_directories(f.Temp("saved"));
  f.services->saveAnswer = QString::fromStdString(target);
  f.window->RunCommand(cmd::kSaveAs);

  const auto& r = f.services->requests.back();
  QCOMPARE(r.kind, QStringLiteral("save"));
  QCOMPARE(r.title, f.M(98));
  QCOMPARE(r.folder, QStringLiteral("LogFile.txt"));
  QCOMPARE(r.pattern, QStringLiteral("(*.txt)|*.txt"));

  const std::string saved = ReadWholeFile(target);
  QCOMPARE(Line(saved, 0), std::string("OVX version: 4.3 build: 3105\r"));
  QCOMPARE(Line(saved, 1), "Path: " + f.app.programFile + "\r");
  QCOMPARE(Line(saved, 2), std::string("\r"));
  const platform::HostFacts facts = platform::GetHostFacts();
  QCOMPARE(Line(saved, 3), "CPU Name: " + facts.cpuName + " (" + std::to_string(facts.cores) + " core)\r");
  QVERIFY(StartsWith(Line(saved, 4), "Full Memory: " + FormatSize(facts.totalMemory) + "     Free Memory: "));
  QCOMPARE(Line(saved, 5), "OS Version: " + facts.systemName + "\r");
  QCOMPARE(Line(saved, 6), "Computer Name: " + facts.computerName + "\r");
  QCOMPARE(Line(saved, 7), "User Name: " + facts.userName + "\r");
  QCOMPARE(Line(saved, 8), std::string("\r"));
  QVERIFY(!facts.systemName.empty() && facts.cores > 0 && facts.totalMemory > 0);
  QVERIFY(EndsWith(saved, "\r\n\r\nfirst line\r\nsecond line\r\n\n"));
}

void LogViewTest::saveLogAsRefusals() {
  GuiFixture f;
  f.app.log.LogLine("log", false);
  FakeServices& s = *f.services;

  s.saveAnswer.clear();  // cancelled
  f.window->RunCommand(cmd::kSaveAs);
  QVERIFY(s.boxes.empty());

  const std::string full = f.Temp("full.txt");
  f.WriteFile(full, "old");
  s.saveAnswer = QString::fromStdString(full);
  s.answers = {kAnswerCancel};
  f.window->RunCommand(cmd::kSaveAs);
  QCOMPARE(s.boxes.back().title, QString());
  QCOMPARE(s.boxes.back().text, "Файл: " + s.saveAnswer + " существует, перезаписать?");
  QCOMPARE(s.boxes.back().buttons, Buttons::OkCancel);
  QCOMPARE(ReadWholeFile(full), std::string("old"));
  s.answers = {kAnswerOk};
  f.window->RunCommand(cmd::kSaveAs);
  QVERIFY(EndsWith(ReadWholeFile(full), "\r\n\r\nlog\r\n"));

  const size_t boxes = s.boxes.size();
  const std::string empty = f.Temp("empty.txt");
  f.WriteFile(empty, "");
  s.saveAnswer = QString::fromStdString(empty);
  f.window->RunCommand(cmd::kSaveAs);
  QCOMPARE(FileSize(empty), int64_t(0));

  std::filesystem::create_directories(f.Temp("folder.txt"));
  s.saveAnswer = QString::fromStdString(f.Temp("folder.txt"));
  f.window->RunCommand(cmd::kSaveAs);
  QVERIFY(platform::IsDirectory(f.Temp("folder.txt")));
  QCOMPARE(s.boxes.size(), boxes);  // both refused without a word
}

void LogViewTest::lookFollowsTheSettings() {
  GuiFixture f([](Settings& s) {
    s.SetText("Editor_FontName", "");
    s.SetInt("Editor_BackColor", 0x102030);  // blue 0x10, green 0x20, red 0x30
    s.SetInt("Editor_FontColor", 0x00FF00);
    s.SetInt("Editor_FontSize", 11);
    s.SetInt("Editor_FontStyle", 256 | 512 | 8);
  });
  LogView* v = f.window->Log();
  QCOMPARE(v->palette().color(QPalette::Base), QColor(0x30, 0x20, 0x10));
  QCOMPARE(v->palette().color(QPalette::Text), QColor(0x00, 0xFF, 0x00));
  QCOMPARE(v->font().pointSize(), 11);
  QVERIFY(v->font().bold() && v->font().italic() && v->font().strikeOut() && !v->font().underline());
  QVERIFY2(!f.app.settings.Text("Editor_FontName").empty(), "the default face is stored");
  QCOMPARE(v->font().family(), QString::fromStdString(f.app.settings.Text("Editor_FontName")));
  QCOMPARE(v->LeftMargin(), 6);
  QCOMPARE(v->lineWrapMode(), QPlainTextEdit::WidgetWidth);
  QVERIFY(v->isReadOnly());
}

ORVEX_GUI_TEST_MAIN(LogViewTest)
#include "log_view_test.moc"
