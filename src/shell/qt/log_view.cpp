#include "log_view.h"

#include <QApplication>
#include <QClipboard>
#include <QDragEnterEvent>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QMimeData>
#include <QScrollBar>
#include <QTextBlock>
#include <QUrl>

#include "web_addresses.h"

namespace orvex::gui {

namespace {

QColor FromColourRef(int bgr) { return QColor(bgr & 0xFF, (bgr >> 8) & 0xFF, (bgr >> 16) & 0xFF); }

QString FromUtf8(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

}  // namespace

AddressMarker::AddressMarker(QTextDocument* doc) : QSyntaxHighlighter(doc) {
  link_.setFontUnderline(true);
  link_.setForeground(QColor(0x5A, 0xAF, 0xFF));
}

void AddressMarker::highlightBlock(const QString& text) {
  for (const FoundAddress& a : FindWebAddresses(text)) setFormat(a.start, a.length, link_);
}

bool IsMainWindowKey(const QKeyEvent* e) {
  const auto mods = e->modifiers() & (Qt::ControlModifier | Qt::ShiftModifier | Qt::AltModifier | Qt::MetaModifier);
  if (mods == Qt::NoModifier) return e->key() == Qt::Key_Delete;
  if (mods != Qt::ControlModifier) return false;
  switch (e->key()) {
    case Qt::Key_Z: case Qt::Key_C: case Qt::Key_V: case Qt::Key_A: case Qt::Key_H:
    case Qt::Key_G: case Qt::Key_P: case Qt::Key_T: case Qt::Key_S:
      return true;
    default:
      return false;
  }
}

LogView::LogView(QWidget* parent) : QPlainTextEdit(parent) {
  setReadOnly(true);
  setUndoRedoEnabled(false);
  setLineWrapMode(QPlainTextEdit::WidgetWidth);
  setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  setViewportMargins(6, 0, 0, 0);
  setAutoFillBackground(true);
  setAcceptDrops(true);
  viewport()->setAcceptDrops(true);
  viewport()->setMouseTracking(true);
  setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  marker_ = new AddressMarker(document());
}

LogView::~LogView() { Detach(); }

void LogView::Attach(ActivityLog& log) {
  Detach();
  log_ = &log;
  appendCount_ = resetCount_ = 0;
  // Runs under the log's lock on whichever thread appended: it only collects the piece and asks
  // this widget's thread, once, to take everything collected so far.
  observer_ = log.AddObserver([this](const std::string& piece, bool replaced) {
    std::lock_guard<std::mutex> lock(pendingMu_);
    if (replaced) {
      pending_ = piece;
      pendingReplace_ = true;
    } else {
      pending_ += piece;
    }
    if (!flushPosted_) {
      flushPosted_ = true;
      QMetaObject::invokeMethod(this, &LogView::FlushPending, Qt::QueuedConnection);
    }
  });
}

void LogView::Detach() {
  if (log_) log_->RemoveObserver(observer_);
  log_ = nullptr;
}

void LogView::FlushPending() {
  std::string text;
  bool replace;
  {
    std::lock_guard<std::mutex> lock(pendingMu_);
    flushPosted_ = false;
    if (pending_.empty() && !pendingReplace_) return;
    text.swap(pending_);
    replace = pendingReplace_;
    pendingReplace_ = false;
  }
  RemoveTail();
  if (replace) {
    setPlainText(FromUtf8(text));
    ++resetCount_;
  } else {
    QTextCursor c(document());
    c.movePosition(QTextCursor::End);
    c.insertText(FromUtf8(text), QTextCharFormat());
    ++appendCount_;
  }
  ScrollToEnd();
}

QFont LogView::FontFromSettings(const Settings& settings) {
  QFont f(QString::fromStdString(settings.Text("Editor_FontName")));
  f.setPointSize(std::max(1, settings.Int("Editor_FontSize")));
  const int style = settings.Int("Editor_FontStyle");
  f.setBold(style & 256);
  f.setItalic(style & 512);
  f.setUnderline(style & 4);
  f.setStrikeOut(style & 8);
  f.setStyleStrategy((style & 16) ? QFont::PreferQuality : QFont::PreferDefault);
  f.setStyleHint(QFont::Monospace);
  return f;
}

void LogView::ApplyLook(Settings& settings) {
  if (settings.Text("Editor_FontName").empty()) {
    QString face = QFontDatabase::hasFamily(QStringLiteral("Consolas"))
                       ? QStringLiteral("Consolas")
                       : QFontDatabase::systemFont(QFontDatabase::FixedFont).family();
    settings.SetText("Editor_FontName", face.toStdString());
  }
  back_ = FromColourRef(settings.Int("Editor_BackColor"));
  QPalette pal = palette();
  pal.setColor(QPalette::Base, back_);
  pal.setColor(QPalette::Window, back_);
  pal.setColor(QPalette::Text, FromColourRef(settings.Int("Editor_FontColor")));
  setPalette(pal);
  setFont(FontFromSettings(settings));
  document()->setDefaultFont(font());
}

void LogView::RemoveTail() {
  if (tailStart_ < 0) return;
  QTextCursor c(document());
  c.setPosition(std::min(tailStart_, document()->characterCount() - 1));
  c.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
  c.removeSelectedText();
  tailStart_ = -1;
}

void LogView::ShowTail(const QString& text) {
  FlushPending();
  RemoveTail();
  QTextCursor c(document());
  c.movePosition(QTextCursor::End);
  tailStart_ = c.position();
  c.insertText(text, QTextCharFormat());
  ScrollToEnd();
}

void LogView::ClearTail() {
  RemoveTail();
  ScrollToEnd();
}

QString LogView::LogTextShown() const {
  QString all = document()->toPlainText();
  if (tailStart_ >= 0) all.truncate(tailStart_);
  return all;
}

void LogView::ShowLogAgain() {
  FlushPending();
  RemoveTail();
  QTextCursor c(document());
  c.select(QTextCursor::Document);
  c.setCharFormat(QTextCharFormat());
  ScrollToEnd();
}

int LogView::HighlightResults(const QString& failText, const QString& successText, const QString& summaryText) {
  FlushPending();
  QTextCursor all(document());
  all.select(QTextCursor::Document);
  all.setCharFormat(QTextCharFormat());
  int found[3] = {0, 0, 0};
  const QString texts[3] = {failText, successText, summaryText};
  const QColor colours[3] = {kFailColour, kSuccessColour, kSummaryColour};
  for (int i = 0; i < 3; ++i) {
    if (texts[i].isEmpty()) continue;
    QTextCharFormat fmt;
    fmt.setForeground(colours[i]);
    QTextCursor hit = document()->find(texts[i], 0);
    while (!hit.isNull()) {
      hit.mergeCharFormat(fmt);
      ++found[i];
      hit = document()->find(texts[i], hit.selectionStart() + 1);
    }
  }
  ScrollToEnd();
  if (found[0] > 0) return 1;
  if (found[1] > 0) return 2;
  return 0;
}

void LogView::ScrollToEnd() {
  QTextCursor c(document());
  c.movePosition(QTextCursor::End);
  c.movePosition(QTextCursor::StartOfBlock);
  setTextCursor(c);
  ensureCursorVisible();
}

QString LogView::SelectedText() const {
  QString s = textCursor().selectedText();
  s.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
  s.replace(QChar::LineSeparator, QLatin1Char('\n'));
  return s;
}

void LogView::CopyAndDeselect() {
  if (!textCursor().hasSelection()) return;
  QApplication::clipboard()->setText(SelectedText());
  QTextCursor c = textCursor();
  c.clearSelection();
  setTextCursor(c);
}

QString LogView::AddressAt(const QPoint& viewportPos) const {
  QTextCursor c = cursorForPosition(viewportPos);
  const QTextBlock block = c.block();
  const int at = c.position() - block.position();
  // The cursor lands between characters: the character under the mouse is at or before it.
  QRect caret = cursorRect(c);
  for (const FoundAddress& a : FindWebAddresses(block.text())) {
    if (at < a.start || at > a.start + a.length) continue;
    if (at == a.start && viewportPos.x() < caret.left()) continue;
    if (at == a.start + a.length && viewportPos.x() > caret.right()) continue;
    return block.text().mid(a.start, a.length);
  }
  return {};
}

bool LogView::event(QEvent* e) {
  // The main window's command keys win over the text control's own handling.
  if (e->type() == QEvent::ShortcutOverride && IsMainWindowKey(static_cast<QKeyEvent*>(e))) {
    e->ignore();
    return true;
  }
  return QPlainTextEdit::event(e);
}

void LogView::mouseReleaseEvent(QMouseEvent* e) {
  QPlainTextEdit::mouseReleaseEvent(e);
  emit userClicked();
  if (e->button() == Qt::LeftButton && !textCursor().hasSelection()) {
    QString address = AddressAt(e->position().toPoint());
    if (!address.isEmpty()) emit addressClicked(address);
  }
  viewport()->update();
}

void LogView::mouseMoveEvent(QMouseEvent* e) {
  QPlainTextEdit::mouseMoveEvent(e);
  if (e->buttons() != Qt::NoButton) return;
  viewport()->setCursor(AddressAt(e->position().toPoint()).isEmpty() ? Qt::IBeamCursor : Qt::PointingHandCursor);
}

void LogView::contextMenuEvent(QContextMenuEvent* e) {
  emit userClicked();
  viewport()->update();
  emit contextMenuWanted(e->globalPos());
}

void LogView::dragEnterEvent(QDragEnterEvent* e) {
  if (e->mimeData()->hasUrls()) e->acceptProposedAction();
  else e->ignore();
}

void LogView::dragMoveEvent(QDragMoveEvent* e) {
  if (e->mimeData()->hasUrls()) e->acceptProposedAction();
  else e->ignore();
}

void LogView::dropEvent(QDropEvent* e) {
  QStringList paths;
  for (const QUrl& u : e->mimeData()->urls())
    if (u.isLocalFile()) paths << u.toLocalFile();
  e->acceptProposedAction();
  if (!paths.isEmpty()) emit pathsDropped(paths);
}

}  // namespace orvex::gui
