// TForm1: the running states of the controls, the pause display, the status bar, the counters and the
// check marks of the log buffer's size and detail.
#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>

#include "log/format_count.h"
#include "shell/hints.h"
#include "shell/log_memo.h"
#include "shell/main_window.h"
#include "ui_main_window.h"

namespace tapline::shell {

QString TForm1::StatusText(int panel) const { return statusPanels_[panel]->text(); }

void TForm1::SetEditsReadOnly(bool readOnly) {
  for (QLineEdit* e : {ui_->EditRemoteHost, ui_->EditRemotePort, ui_->EditLocalPort, ui_->EditLogFile}) {
    e->setReadOnly(readOnly);
    // Read-only fields take the button face colour, editable ones the window colour of an entry field.
    QPalette palette = e->palette();
    const QPalette standard = QApplication::palette(e);
    palette.setColor(QPalette::Base, readOnly ? standard.color(QPalette::Button) : standard.color(QPalette::Base));
    e->setPalette(palette);
  }
}

void TForm1::SetRunningState(bool running) {
  SetEditsReadOnly(running);
  ui_->ButtonBrowse->setEnabled(!running);
  ui_->MenuItemStart->setEnabled(!running);
  ui_->SpeedButtonStart->setEnabled(!running);
  ui_->ButtonStart->setEnabled(!running);
  ui_->ButtonStart->setDefault(!running);
  ui_->MenuItemStop->setEnabled(running);
  ui_->SpeedButtonStop->setEnabled(running);
  ui_->ButtonStop->setEnabled(running);
  ui_->MenuItemPause->setEnabled(running);
  ui_->SpeedButtonPause->setEnabled(running);
  ui_->ButtonPause->setEnabled(running);
  ui_->MenuItemResume->setEnabled(false);
  ui_->ButtonResume->setEnabled(false);
  SetHint(ui_->SpeedButtonPause, QStringLiteral("Pause|") + ui_->MenuItemPause->statusTip());
  ui_->SpeedButtonPause->setChecked(false);
  ui_->MenuItemReset->setEnabled(running);
  statusPanels_[2]->setText(running ? QStringLiteral("Started") : QStringLiteral("Stopped"));
  ui_->MenuItemHexOnly->setEnabled(!running);
  connectionOptionsItem_->setEnabled(!running);
  rewriteHostItem_->setEnabled(!running);
  // The relay sets its own Started flag after this; read-only fields change what may be edited.
  RequestIdleUpdate();
}

void TForm1::ShowPaused(bool paused) {
  ui_->MenuItemPause->setEnabled(!paused);
  ui_->ButtonPause->setEnabled(!paused);
  ui_->MenuItemResume->setEnabled(paused);
  ui_->ButtonResume->setEnabled(paused);
  statusPanels_[2]->setText(paused ? QStringLiteral("Paused") : QStringLiteral("Started"));
  ui_->SpeedButtonPause->setChecked(paused);
  SetHint(ui_->SpeedButtonPause, paused ? QStringLiteral("Resume|") + ui_->MenuItemResume->statusTip()
                                        : QStringLiteral("Pause|") + ui_->MenuItemPause->statusTip());
}

void TForm1::ShowCount(engine::Counter counter, std::int64_t value) {
  QLabel* label = nullptr;
  switch (counter) {
    case engine::Counter::Connections: label = ui_->LabelConns; break;
    case engine::Counter::ClientToServerTotal: label = ui_->LabelCSTrans; break;
    case engine::Counter::ClientToServerBuffered: label = ui_->LabelCSBuf; break;
    case engine::Counter::ServerToClientTotal: label = ui_->LabelSCTrans; break;
    case engine::Counter::ServerToClientBuffered: label = ui_->LabelSCBuf; break;
  }
  if (label != nullptr) label->setText(QString::fromStdString(log::FormatCount(value)));
}

void TForm1::ShowLocalAddress(const std::string& address) {
  statusPanels_[1]->setText(QString::fromStdString(address));
}

void TForm1::ShowLongHint(const QString& hint) { statusPanels_[0]->setText(LongHint(hint)); }

void TForm1::ShowBufferSize() {
  if (bufferSize_ < 0) {
    bufferSize_ = -1;
    ui_->MMenuItemUnlimited->setChecked(true);
    ui_->MenuItemUnlimited->setChecked(true);
  } else if (bufferSize_ <= 32768) {
    bufferSize_ = 32768;
    ui_->MMenuItem32KB->setChecked(true);
    ui_->MenuItem32KB->setChecked(true);
  } else if (bufferSize_ <= 131072) {
    bufferSize_ = 131072;
    ui_->MMenuItem128KB->setChecked(true);
    ui_->MenuItem128KB->setChecked(true);
  } else if (bufferSize_ <= 524288) {
    bufferSize_ = 524288;
    ui_->MMenuItem512KB->setChecked(true);
    ui_->MenuItem512KB->setChecked(true);
  } else {
    bufferSize_ = 2097152;
    ui_->MMenuItem2MB->setChecked(true);
    ui_->MenuItem2MB->setChecked(true);
  }
}

void TForm1::ShowDetailLevel() {
  // The level itself is left as it is: anything above 2 acts as High.
  switch (relay_->Log.DetailLevel) {
    case 0:
      ui_->MMenuItemLow->setChecked(true);
      ui_->MenuLow->setChecked(true);
      break;
    case 1:
      ui_->MMenuItemMedium->setChecked(true);
      ui_->MenuMedium->setChecked(true);
      break;
    default:
      ui_->MMenuItemHigh->setChecked(true);
      ui_->MenuHigh->setChecked(true);
      break;
  }
}

}  // namespace tapline::shell
