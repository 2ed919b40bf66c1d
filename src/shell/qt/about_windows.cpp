#include "about_windows.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>

#include "icons.h"
#include "main_window.h"
#include "ui_services.h"

namespace orvex::gui {

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

// A fixed-size window without minimise and maximise buttons, centred on the main window.
void SetUpSmallWindow(QDialog* w, MainWindow& main, int width, int height, const QString& title, int icon) {
  w->setAttribute(Qt::WA_DeleteOnClose);
  w->setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                    Qt::WindowCloseButtonHint);
  w->setWindowTitle(title);
  w->setWindowIcon(main.Images().Icon(icon));
  w->setFixedSize(width, height);
  const QRect m = main.frameGeometry();
  w->move(m.center() - QPoint(width / 2, height / 2));
}

}  // namespace

AboutWindow::AboutWindow(MainWindow& main) : QDialog(&main) {
  SetUpSmallWindow(this, main, 340, 119, main.M(18), 7);
  auto* picture = new QLabel(this);
  picture->setPixmap(main.Images().Picture(16));
  picture->setGeometry(10, 14, 48, 48);

  auto* name = new QLabel(QStringLiteral("<b>Orvex v") + Q(ShortVersion()) + QStringLiteral("β</b>"), this);
  name->setGeometry(70, 10, 260, 20);
  auto* about = new QLabel(main.M(73), this);
  about->setWordWrap(true);
  about->setGeometry(70, 32, 260, 44);
  auto* build = new QLabel(QStringLiteral("Build: ") + Q(BuildNumber()), this);
  build->setObjectName(QStringLiteral("build"));
  build->setGeometry(70, 80, 260, 20);
  build->setStyleSheet(QStringLiteral("color: #606060;"));
}

QString DonationWindow::PageAddress() { return Q(DecodeBase64Text(kDonationPageB64)); }

DonationWindow::DonationWindow(MainWindow& main) : QDialog(&main) {
  SetUpSmallWindow(this, main, 250, 170, main.M(72), 14);
  auto* frame = new QGroupBox(this);
  frame->setGeometry(10, 84, 230, 73);

  auto* picture = new QLabel(this);
  picture->setPixmap(main.Images().Picture(15));
  picture->setGeometry(5, 20, 48, 48);

  auto* text = new QLabel(main.M(80), this);
  text->setWordWrap(true);
  text->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  text->setGeometry(60, 10, 180, 76);

  link_ = new QLabel(this);
  link_->setObjectName(QStringLiteral("control167"));
  link_->setProperty("control", 167);
  link_->setText(QStringLiteral("<a href=\"page\" style=\"color:#0000ff; text-decoration:underline;\">") +
                 QString::fromUtf8(kDonationService).toHtmlEscaped() + QStringLiteral("</a>"));
  link_->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
  link_->setCursor(Qt::PointingHandCursor);
  link_->setGeometry(30, 100, 70, 23);
  connect(link_, &QLabel::linkActivated, this, [&main] { main.OpenExternal(PageAddress()); });

  account_ = new QLineEdit(Q(DecodeBase64Text(kDonationAccountB64)), this);
  account_->setReadOnly(true);
  account_->setFrame(false);
  account_->setStyleSheet(QStringLiteral("background: transparent;"));
  account_->setGeometry(101, 100, 110, 23);
}

}  // namespace orvex::gui
