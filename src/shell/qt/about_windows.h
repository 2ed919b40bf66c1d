#pragma once
// The About window and the donation window; Escape or the close button closes them.
#include <QDialog>

class QLabel;
class QLineEdit;

namespace orvex::gui {

class MainWindow;

class AboutWindow : public QDialog {
  Q_OBJECT
 public:
  explicit AboutWindow(MainWindow& main);
};

class DonationWindow : public QDialog {
  Q_OBJECT
 public:
  explicit DonationWindow(MainWindow& main);
  QLabel* Link() const { return link_; }
  QLineEdit* Account() const { return account_; }
  // The page the link opens.
  static QString PageAddress();

 private:
  QLabel* link_ = nullptr;
  QLineEdit* account_ = nullptr;
};

}  // namespace orvex::gui
