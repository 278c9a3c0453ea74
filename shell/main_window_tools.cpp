// TForm1's Tools menu items beyond the log buffer's: the Connection Options dialog (listening address,
// connect timeout, TLS, capture file) and the Host rewrite's switch, and the status bar's word on TLS.
#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QStatusBar>

#include "shell/connection_options.h"
#include "shell/main_window.h"
#include "ui_main_window.h"

namespace tapline::shell {

void TForm1::SetUpToolsItems() {
  ui_->MenuTools->addSeparator();
  connectionOptionsItem_ = ui_->MenuTools->addAction(QStringLiteral("&Connection Options..."));
  connectionOptionsItem_->setObjectName(QStringLiteral("MenuItemConnectionOptions"));
  connectionOptionsItem_->setStatusTip(QStringLiteral("Listening address, connect timeout, TLS on either side and the capture file"));
  connect(connectionOptionsItem_, &QAction::triggered, this, [this] { ConnectionOptionsCommand(); });
  rewriteHostItem_ = ui_->MenuTools->addAction(QStringLiteral("&Rewrite Host Header"));
  rewriteHostItem_->setObjectName(QStringLiteral("MenuItemRewriteHost"));
  rewriteHostItem_->setCheckable(true);
  rewriteHostItem_->setChecked(true);
  rewriteHostItem_->setStatusTip(QStringLiteral("Name the remote host and port in the Host line of HTTP requests"));
  connect(rewriteHostItem_, &QAction::toggled, this, [this](bool on) { connection_.keepHost = !on; });

  tlsPanel_ = new QLabel(ui_->StatusBar1);
  tlsPanel_->setObjectName(QStringLiteral("StatusPanelTls"));
  tlsPanel_->setFrameShape(QFrame::Panel);
  tlsPanel_->setFrameShadow(QFrame::Sunken);
  ui_->StatusBar1->addPermanentWidget(tlsPanel_);
  tlsPanel_->hide();
}

void TForm1::ConnectionOptionsCommand() {
  ConnectionOptionsDialog dialog(this);
  dialog.Load(connection_);
  if (dialog.exec() != QDialog::Accepted) return;
  dialog.Store(connection_);
  ShowTls();
}

void TForm1::ShowTls() {
  const platform::TlsSettings& tls = connection_.tls;
  QString text = tls.toRemote && tls.forClients ? QStringLiteral("TLS both sides")
                 : tls.toRemote                 ? QStringLiteral("TLS to remote")
                 : tls.forClients               ? QStringLiteral("TLS for clients")
                                                : QString();
  tlsPanel_->setText(text);
  tlsPanel_->setVisible(!text.isEmpty());
}

}  // namespace tapline::shell
