// TForm1, the main window: the relay's parameters, controls, counters, status bar and log view. It owns
// the one event loop and the one relay, and runs that loop inside Qt's own through a socket notifier.
// Main thread only (Qt widgets).
#pragma once

#include <QMainWindow>
#include <QPoint>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <memory>
#include <optional>

#include "engine/relay.h"
#include "engine/relay_window.h"
#include "platform/event_loop.h"
#include "platform/heap.h"
#include "platform/winsock.h"
#include "engine/command_line.h"

class QAction;
class QLabel;
class QLineEdit;
class QSocketNotifier;

namespace Ui {
class TForm1;
}

class QTabWidget;

namespace tapline::shell {

using engine::CommandLine;
using engine::ParseCommandLine;
using engine::UsageError;
using engine::WithFullStop;

class FindBar;
class ConnectionsView;
class LogMemo;

class TForm1 : public QMainWindow, public engine::RelayWindow {
  Q_OBJECT

 public:
  // Builds the window from the saved settings and then the command line (already parsed).
  explicit TForm1(const CommandLine& line, QWidget* parent = nullptr);
  ~TForm1() override;

  // Starts the sockets layer and the lookup of the machine's own name; 0, or the error number.
  int StartSockets();
  // A failed StartSockets: the error dialog, then the settings are saved as at any close.
  void StartUpFailed(int error);
  // Centres the window on its screen.
  void CentreOnScreen();
  // Shows the window where it was at the last close (centred when that place is unknown or on no
  // screen now), maximised if it was.
  void ShowAtSavedPlace();
  // A close requested by the system (SIGTERM, SIGINT, SIGHUP, the session manager): any modal dialog
  // is dismissed, then the window closes as by the close box but without the question; a relay run in
  // progress is stopped so that the log file is completed.
  void SystemClose();

  // The relay (its state, counters and display queue) and the settings the window keeps.
  engine::Relay& RelayEngine() { return *relay_; }
  std::uint32_t DetailLevel() const { return relay_->Log.DetailLevel; }
  std::int32_t AutoStart() const { return autoStart_; }
  bool WindowActivated() const { return windowActivated_; }
  QString InstallDir() const { return installDir_; }
  QString StatusText(int panel) const;

  // RelayWindow.
  // The options a start takes: the fields, the menus' choices and the settings.
  engine::RelayOptions CurrentOptions() const;
  void ShowCount(engine::Counter counter, std::int64_t value) override;
  void SetRunningState(bool running) override;
  void ClearLogView() override;
  void ShowLocalAddress(const std::string& address) override;
  std::int32_t BufferSize() const override { return bufferSize_; }
  std::int64_t TextLength() const override;
  void DeleteFirstLine() override;
  void InsertAtEnd(const char* text, std::size_t length, log::Colour colour) override;
  void ScrollToEnd() override;

 protected:
  bool event(QEvent* e) override;
  void closeEvent(QCloseEvent* e) override;
  void showEvent(QShowEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;

 private:
  // Construction (main_window.cpp).
  void SetUpControls();
  void SetUpToolsItems();
  void ConnectionOptionsCommand();
  void ShowTls();
  void ApplySettings();
  void ApplyCommandLine(const CommandLine& line);
  void SaveSettings();
  bool CloseQuery();

  // Running states and status display (main_window_states.cpp).
  void ShowBufferSize();
  void ShowDetailLevel();
  void ShowLongHint(const QString& hint);
  void ShowPaused(bool paused);
  void SetEditsReadOnly(bool readOnly);

  // Commands (main_window_commands.cpp).
  void OnClick(QObject* sender);
  void StartCommand();
  void StopCommand();
  void PauseCommand();
  void ResumeCommand();
  void EditCommand(int tag);
  void SetBufferSize(QAction* item);
  void SetShowData(QAction* item);
  void Browse();
  void Contents();
  void About();
  void HexOnlyCommand();
  void WrapCommand();
  void OnPopup();
  void ShowError(const QString& message);
  void OpenHomePageOrSay();
  // The status bar and the parameters panel grown to the font in use, keeping the design's proportions.
  void FitToFont();

  // Edit-command enabling (main_window_commands.cpp).
  void RequestIdleUpdate();
  void IdleUpdate();
  void UpdateEditCommands();
  QLineEdit* FocusedEdit() const;

  // The engine's side (main_window_engine.cpp).
  void ConnectEventLoop();
  QLineEdit* FieldEdit(engine::Field field) const;

  // Declared in the order of construction; the relay goes first at destruction (before the sockets,
  // the heap and the loop it uses), the notifier before the loop whose descriptor it watches, and
  // all of them before the widgets, which Qt frees after this class's members.
  platform::EventLoop loop_;
  platform::Heap heap_;
  winsock::Winsock ws_;
  std::unique_ptr<Ui::TForm1> ui_;
  std::unique_ptr<engine::Relay> relay_;
  std::unique_ptr<QSocketNotifier> notifier_;

  QLabel* statusPanels_[3] = {};
  QTimer idleTimer_;

  std::int32_t bufferSize_ = 32768;
  // The Connection Options (listening address, TLS, capture file) and the Host rewrite's switch, from the
  // settings and the command line; only those fields of it are used.
  engine::RelayOptions connection_;
  QAction* connectionOptionsItem_ = nullptr;
  QAction* rewriteHostItem_ = nullptr;
  QLabel* tlsPanel_ = nullptr;  // says when TLS is on
  std::int32_t autoStart_ = 0;  // 0 none, 1 pending ("-auto"), -1 made
  bool winsockStarted_ = false;
  bool clipboardText_ = false;  // the clipboard holds text; asked only when it changes
  bool windowActivated_ = false;
  QString installDir_;
  bool systemClose_ = false;  // a system request is closing the window
  bool closing_ = false;      // inside closeEvent
  std::optional<QPoint> savedPlace_;
  bool savedMaximized_ = false;
  FindBar* findBar_ = nullptr;
  // The Connections tab beside the log (Ctrl+2; Ctrl+1 shows the log alone again).
  ConnectionsView* connections_ = nullptr;
  QTabWidget* logTabs_ = nullptr;
};

}  // namespace tapline::shell
