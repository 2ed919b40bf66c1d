#pragma once
// What the windows ask of the desktop: requesters, message boxes, opening addresses and folders,
// ending the program. Tests put their own answers in place of the real dialogs.
#include <QColor>
#include <QFont>
#include <QString>
#include <QStringList>
#include <optional>

class QWidget;

namespace orvex {
class MessageTable;
}

namespace orvex::gui {

// Answers of a message box, with the numbers the program uses.
inline constexpr int kAnswerOk = 1;
inline constexpr int kAnswerCancel = 2;
inline constexpr int kAnswerYes = 6;
inline constexpr int kAnswerNo = 7;

enum class Buttons { Ok, OkCancel, YesNoCancel };
enum class BoxIcon { Information, Question, Error };

// A requester pattern in the program's form, "text|*.a;*.b|text|*.*", as Qt's filter list.
QString QtFileFilter(const QString& pattern);

class UiServices {
 public:
  explicit UiServices(const MessageTable& messages) : messages_(messages) {}
  virtual ~UiServices() = default;

  // A message box centred on the program's active window; returns one of the answers above.
  virtual int MessageBox(QWidget* parent, const QString& title, const QString& text, Buttons buttons, BoxIcon icon);
  // Open-file requester for several files; an empty list when cancelled.
  virtual QStringList OpenFiles(QWidget* parent, const QString& title, const QString& folder, const QString& pattern);
  virtual QString OpenFile(QWidget* parent, const QString& title, const QString& pattern);
  virtual QString OpenFolder(QWidget* parent, const QString& title, const QString& folder);
  // Save requester; never asks itself about overwriting.
  virtual QString SaveFile(QWidget* parent, const QString& title, const QString& defaultName, const QString& pattern);
  virtual std::optional<QColor> ChooseColor(QWidget* parent, const QColor& initial);
  virtual std::optional<QFont> ChooseFont(QWidget* parent, const QFont& initial);
  // A folder, file or web address opened with the desktop's default handler.
  virtual void OpenExternal(const QString& pathOrAddress);
  // Ends the event loop; the program then ends.
  virtual void Quit();

 protected:
  const MessageTable& messages_;
};

}  // namespace orvex::gui
