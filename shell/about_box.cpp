#include "shell/about_box.h"

#include <QApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <algorithm>
#include <QFont>
#include <QFontMetrics>
#include <QIcon>
#include <QScreen>
#include <QUrl>

#include "ui_about_box.h"

namespace tapline::shell {

bool OpenHomePage() { return QDesktopServices::openUrl(QUrl(QString::fromLatin1(HomePageAddress))); }

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
  connect(ui_->WebAddress, &QLabel::linkActivated, this, [this] {
    if (!OpenHomePage()) {
      QMessageBox::warning(this, QApplication::applicationName(),
                           QStringLiteral("The home page could not be opened: no web browser took\n%1")
                               .arg(QString::fromLatin1(HomePageAddress)));
    }
  });
  connect(ui_->OKButton, &QPushButton::clicked, this, &QDialog::accept);
  // A dialog that cannot be resized: its client area is 285 by 133, or as large as its contents need
  // with a larger font, so that nothing is cut off.
  const QSize needed = layout()->sizeHint();
  setFixedSize(std::max(285, needed.width()), std::max(133, needed.height()));
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
