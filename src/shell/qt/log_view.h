#pragma once
// The log view: shows the activity log as it grows, in the colours and font of the settings,
// marks web addresses, colours the result lines and takes dropped files and folders.
#include <QPlainTextEdit>
#include <QSyntaxHighlighter>
#include <QTextCharFormat>
#include <mutex>
#include <string>

#include "activity_log.h"
#include "settings.h"

namespace orvex::gui {

// Underlines the web addresses of each line in the link colour.
class AddressMarker : public QSyntaxHighlighter {
 public:
  explicit AddressMarker(QTextDocument* doc);

 protected:
  void highlightBlock(const QString& text) override;

 private:
  QTextCharFormat link_;
};

// The colours HighlightResults gives the result texts.
inline const QColor kFailColour(255, 0, 0);
inline const QColor kSuccessColour(0, 255, 0);
inline const QColor kSummaryColour(255, 255, 255);

class LogView : public QPlainTextEdit {
  Q_OBJECT
 public:
  explicit LogView(QWidget* parent = nullptr);
  ~LogView() override;

  // Follows the log: every appended piece reaches the view in order on this widget's thread.
  void Attach(ActivityLog& log);
  void Detach();
  // Applies what the log has handed over since the last call. Runs by itself through the event
  // loop; callers on the user-interface thread that need the view at once call it directly.
  void FlushPending();

  // Colours, font and style from the settings; an empty font name becomes the default
  // fixed-pitch face, which is stored back.
  void ApplyLook(Settings& settings);
  static QFont FontFromSettings(const Settings& settings);

  // A text shown behind the log (the countdown line); any appended entry removes it.
  void ShowTail(const QString& text);
  void ClearTail();
  bool HasTail() const { return tailStart_ >= 0; }
  // The log's own text as shown (without a tail), for tests and the countdown.
  QString LogTextShown() const;

  // Drops the tail and the colours: the view shows exactly the log again.
  void ShowLogAgain();
  // Colours every red, green and white result text; returns 1 when a failure text was found,
  // 2 when only success texts were, 0 otherwise.
  int HighlightResults(const QString& failText, const QString& successText, const QString& summaryText);

  void ScrollToEnd();
  int LeftMargin() const { return viewportMargins().left(); }
  QString SelectedText() const;  // line breaks as "\n"
  void CopyAndDeselect();
  // The address under a point of the viewport, or empty.
  QString AddressAt(const QPoint& viewportPos) const;

  // How often the view appended pieces and how often it re-set its whole text since Attach.
  int AppendCount() const { return appendCount_; }
  int ResetCount() const { return resetCount_; }

 signals:
  void pathsDropped(const QStringList& paths);
  void addressClicked(const QString& address);
  void userClicked();  // a click into the view (stops the countdown)
  void contextMenuWanted(const QPoint& globalPos);

 protected:
  bool event(QEvent* e) override;
  void mouseReleaseEvent(QMouseEvent* e) override;
  void mouseMoveEvent(QMouseEvent* e) override;
  void contextMenuEvent(QContextMenuEvent* e) override;
  void dragEnterEvent(QDragEnterEvent* e) override;
  void dragMoveEvent(QDragMoveEvent* e) override;
  void dropEvent(QDropEvent* e) override;

 private:
  void RemoveTail();

  ActivityLog* log_ = nullptr;
  int observer_ = 0;
  std::mutex pendingMu_;
  std::string pending_;
  bool pendingReplace_ = false;
  bool flushPosted_ = false;

  AddressMarker* marker_ = nullptr;
  int tailStart_ = -1;
  int appendCount_ = 0;
  int resetCount_ = 0;
  QColor back_;
};

// The keys the main window takes for its commands even when the log view has the focus.
bool IsMainWindowKey(const QKeyEvent* e);

}  // namespace orvex::gui
