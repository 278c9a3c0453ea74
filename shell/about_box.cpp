#include "shell/about_box.h"

#include <QDesktopServices>
#include <QFont>
#include <QFontMetrics>
#include <QIcon>
#include <QScreen>
#include <QUrl>

#include "ui_about_box.h"

namespace tapline::shell {

void OpenHomePage() { QDesktopServices::openUrl(QUrl(QString::fromLatin1(HomePageAddress))); }

TAboutBox::TAboutBox(QWidget* owner) : QDialog(owner), ui_(std::make_unique<Ui::TAboutBox>()) {
  ui_->setupUi(this);
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  ui_->ProgramIcon->setPixmap(QIcon(QStringLiteral(":/icons/tapline.svg")).pixmap(64, 64));
  QFont nameFont = ui_->ProductName->font();
  nameFont.setPixelSize(13);
  nameFont.setBold(true);
  ui_->ProductName->setFont(nameFont);
  QFont versionFont = ui_->Version->font();
  versionFont.setBold(true);
  ui_->Version->setFont(versionFont);
  ui_->Version->setText(QStringLiteral("Version " TAPLINE_VERSION));
  const QString address = QString::fromLatin1(HomePageAddress);
  ui_->WebAddress->setText(QStringLiteral("<a href=\"%1\" style=\"color:#0000ff; text-decoration:underline\">%1</a>")
                               .arg(address));
  ui_->WebAddress->setToolTip(address);
  // The box has a fixed size; with a wide system font the address gets a smaller type rather than
  // being cut off.
  const int room = 285 - 2 * 6 - 2 * 6 - 2 * ui_->Panel1->frameWidth() - 64 - 10;
  QFont linkFont = ui_->WebAddress->font();
  while (QFontMetrics(linkFont).horizontalAdvance(address) > room && linkFont.pointSizeF() > 6.0) {
    linkFont.setPointSizeF(linkFont.pointSizeF() - 0.5);
  }
  ui_->WebAddress->setFont(linkFont);
  connect(ui_->WebAddress, &QLabel::linkActivated, this, [] { OpenHomePage(); });
  connect(ui_->OKButton, &QPushButton::clicked, this, &QDialog::accept);
  // A dialog that cannot be resized, its client area 285 by 133.
  setFixedSize(285, 133);
}

TAboutBox::~TAboutBox() = default;

void TAboutBox::showEvent(QShowEvent* e) {
  // Centred on the screen rather than on the main window.
  if (QScreen* screen = this->screen()) {
    QRect area = screen->availableGeometry();
    move(area.center() - QPoint(width() / 2, height() / 2));
  }
  QDialog::showEvent(e);
}

}  // namespace tapline::shell
