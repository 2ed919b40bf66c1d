#include "ui_services.h"

#include <QApplication>
#include <QColorDialog>
#include <QFileDialog>
#include <QFontDialog>
#include <QMessageBox>
#include <QPushButton>
#include <thread>

#include "messages.h"
#include "platform.h"

namespace orvex::gui {

QString QtFileFilter(const QString& pattern) {
  const QStringList parts = pattern.split(QLatin1Char('|'));
  QStringList filters;
  for (int i = 0; i + 1 < parts.size(); i += 2) {
    QStringList globs;
    for (const QString& g : parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
      if (g == QLatin1String("*.*")) {
        globs << QStringLiteral("*");
        continue;
      }
      // File names are case-sensitive here; SYSTEM.IMG is still an image.
      globs << g;
      if (g.toUpper() != g) globs << g.toUpper();
    }
    filters << parts[i] + QLatin1String(" (") + globs.join(QLatin1Char(' ')) + QLatin1Char(')');
  }
  return filters.join(QLatin1String(";;"));
}

int UiServices::MessageBox(QWidget* parent, const QString& title, const QString& text, Buttons buttons,
                           BoxIcon icon) {
  if (!parent) parent = QApplication::activeWindow();
  QMessageBox box(parent);
  box.setWindowTitle(title);
  box.setText(text);
  box.setIcon(icon == BoxIcon::Question      ? QMessageBox::Question
              : icon == BoxIcon::Error       ? QMessageBox::Critical
                                             : QMessageBox::Information);
  auto M = [this](int n) { return QString::fromStdString(messages_.Get(n)); };
  switch (buttons) {
    case Buttons::Ok:
      box.setStandardButtons(QMessageBox::Ok);
      break;
    case Buttons::OkCancel:
      box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
      box.button(QMessageBox::Cancel)->setText(M(179));
      break;
    case Buttons::YesNoCancel:
      box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
      box.button(QMessageBox::Yes)->setText(M(177));
      box.button(QMessageBox::No)->setText(M(178));
      box.button(QMessageBox::Cancel)->setText(M(179));
      break;
  }
  // A box opened over a window sits on that window's centre (Qt's own placement); the
  // Escape key and the close button count as Cancel.
  switch (box.exec()) {
    case QMessageBox::Ok: return kAnswerOk;
    case QMessageBox::Yes: return kAnswerYes;
    case QMessageBox::No: return kAnswerNo;
    default: return buttons == Buttons::Ok ? kAnswerOk : kAnswerCancel;
  }
}

QStringList UiServices::OpenFiles(QWidget* parent, const QString& title, const QString& folder,
                                  const QString& pattern) {
  return QFileDialog::getOpenFileNames(parent, title, folder, QtFileFilter(pattern));
}

QString UiServices::OpenFile(QWidget* parent, const QString& title, const QString& pattern) {
  return QFileDialog::getOpenFileName(parent, title, QString(), QtFileFilter(pattern));
}

QString UiServices::OpenFolder(QWidget* parent, const QString& title, const QString& folder) {
  return QFileDialog::getExistingDirectory(parent, title, folder);
}

QString UiServices::SaveFile(QWidget* parent, const QString& title, const QString& defaultName,
                             const QString& pattern) {
  return QFileDialog::getSaveFileName(parent, title, defaultName, QtFileFilter(pattern), nullptr,
                                      QFileDialog::DontConfirmOverwrite);
}

std::optional<QColor> UiServices::ChooseColor(QWidget* parent, const QColor& initial) {
  QColor c = QColorDialog::getColor(initial, parent);
  if (!c.isValid()) return std::nullopt;
  return c;
}

std::optional<QFont> UiServices::ChooseFont(QWidget* parent, const QFont& initial) {
  bool ok = false;
  QFont f = QFontDialog::getFont(&ok, initial, parent);
  if (!ok) return std::nullopt;
  return f;
}

void UiServices::OpenExternal(const QString& pathOrAddress) {
  // The opener may take a moment to hand over; the window does not wait for it.
  std::thread([target = pathOrAddress.toStdString()] { platform::OpenWithDefault(target); }).detach();
}

void UiServices::Quit() { QApplication::quit(); }

}  // namespace orvex::gui
