// TForm1's side of the relay: the RelayWindow calls (fields, counters, the log view) and the socket
// notifier through which the relay's event loop runs inside Qt's.
#include <QElapsedTimer>
#include <QLineEdit>
#include <QSocketNotifier>

#include "shell/log_memo.h"
#include "shell/main_window.h"
#include "shell/connections_view.h"
#include "ui_main_window.h"

namespace tapline::shell {

void TForm1::ConnectEventLoop() {
  loop_.SetMessageHandler([this](unsigned message, platform::WPARAM wParam, platform::LPARAM lParam) {
    if (message == engine::SocketEventMessage) relay_->HandleSocketEvent(wParam, lParam);
  });
  // The loop's descriptor is readable while a socket is ready or a message or hand-over waits. Each
  // activation takes turns while they find work, for a few milliseconds at most: one turn per pass of
  // Qt's loop would tie the relay's pace to painting, while a bounded spell keeps input and painting
  // served in between. Modal dialogs, which run Qt's loop, keep the relay and the display queue going.
  notifier_ = std::make_unique<QSocketNotifier>(loop_.Descriptor(), QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, [this] {
    constexpr qint64 SpellMs = 8;
    QElapsedTimer spell;
    spell.start();
    while (loop_.ProcessReady() && spell.elapsed() < SpellMs) {
    }
  });
}

QLineEdit* TForm1::FieldEdit(engine::Field field) const {
  switch (field) {
    case engine::Field::RemoteHost: return ui_->EditRemoteHost;
    case engine::Field::RemotePort: return ui_->EditRemotePort;
    case engine::Field::LocalPort: return ui_->EditLocalPort;
    case engine::Field::LogFile: return ui_->EditLogFile;
    default: return nullptr;  // the Connection Options dialog's fields
  }
}

engine::RelayOptions TForm1::CurrentOptions() const {
  engine::RelayOptions options;
  options.remoteHost = ui_->EditRemoteHost->text().toLocal8Bit().toStdString();
  options.remotePort = ui_->EditRemotePort->text().toLocal8Bit().toStdString();
  options.localPort = ui_->EditLocalPort->text().toLocal8Bit().toStdString();
  options.logFile = ui_->EditLogFile->text().toLocal8Bit().toStdString();
  options.bufferSize = bufferSize_;
  options.detailLevel = relay_->Log.DetailLevel;
  options.hexOnly = relay_->HexOnly != 0;
  options.tls = connection_.tls;
  options.listenAddress = connection_.listenAddress;
  options.captureFile = connection_.captureFile;
  options.splitFolder = connection_.splitFolder;
  options.jsonFile = connection_.jsonFile;
  options.keepHost = connection_.keepHost;
  options.connectTimeout = connection_.connectTimeout;
  return options;
}

void TForm1::ClearLogView() {
  ui_->Memo1->ClearAll();
  // A new run numbers its connections from 1 again, and Clear empties the list as it does the log.
  connections_->ClearAll();
}

std::int64_t TForm1::TextLength() const { return ui_->Memo1->TextLength(); }

void TForm1::DeleteFirstLine() { ui_->Memo1->DeleteFirstLine(); }

void TForm1::InsertAtEnd(const char* text, std::size_t length, log::Colour colour) {
  ui_->Memo1->AppendColoured(text, length, colour);
}

void TForm1::ScrollToEnd() {
  // Before the window's first activation the view does not follow the caret.
  if (windowActivated_) ui_->Memo1->ScrollCaretIntoView();
}

}  // namespace tapline::shell
