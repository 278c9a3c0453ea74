// TForm1: construction (controls, saved settings, command line), start-up of the sockets, closing.
#include "shell/main_window.h"

#include <QActionGroup>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMimeData>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QSettings>
#include <QShortcut>
#include <QSocketNotifier>
#include <QTabWidget>
#include <QTableView>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <algorithm>

#include "shell/connections_view.h"
#include "shell/find_bar.h"
#include "shell/log_memo.h"
#include "shell/settings.h"
#include "shell/typing_limit.h"
#include "ui_main_window.h"

namespace tapline::shell {

TForm1::TForm1(const CommandLine& line, QWidget* parent)
    : QMainWindow(parent), ws_(loop_), ui_(std::make_unique<Ui::TForm1>()) {
  // 1-3: the controls in their design (stopped) states, the hint and idle hooks, not started.
  ui_->setupUi(this);
  relay_ = std::make_unique<engine::Relay>(*this, ws_, loop_, heap_);
  SetUpControls();
  FitToFont();
  ConnectEventLoop();
  // 4-6: saved settings, the installation folder, then the command line over them.
  ApplySettings();
  installDir_ = ReadInstallDir().value_or(QCoreApplication::applicationDirPath());
  ApplyCommandLine(line);
  // 7-8: nothing runs yet; show the settings in the menus.
  SetEditsReadOnly(false);
  ui_->ButtonBrowse->setEnabled(true);
  ShowBufferSize();
  ShowDetailLevel();
  ui_->MenuItemHexOnly->setChecked(relay_->HexOnly != 0);
  rewriteHostItem_->setChecked(!connection_.keepHost);
  ShowTls();
}

TForm1::~TForm1() {
  // QWidget's destructor takes the children down after this class is gone, and focus changes and
  // signals of the children may still fire then: nothing of theirs may reach this class any more.
  for (QObject* child : findChildren<QObject*>()) QObject::disconnect(child, nullptr, this, nullptr);
  QObject::disconnect(qApp, nullptr, this, nullptr);
  QObject::disconnect(QApplication::clipboard(), nullptr, this, nullptr);
  idleTimer_.stop();
  // The relay closes what it holds without a word to the window; the sockets layer is cleaned up after.
  notifier_.reset();
  relay_.reset();
  if (winsockStarted_) ws_.WSACleanup();
}

void TForm1::SetUpControls() {
  // Status bar: the long hint, the machine's own address, the running state.
  const int widths[3] = {341, 88, 100};
  for (int i = 0; i < 3; ++i) {
    auto* panel = new QLabel(ui_->StatusBar1);
    panel->setObjectName(QStringLiteral("StatusPanel%1").arg(i));
    panel->setFixedWidth(widths[i]);
    panel->setFrameShape(QFrame::Panel);
    panel->setFrameShadow(QFrame::Sunken);
    ui_->StatusBar1->addWidget(panel);
    statusPanels_[i] = panel;
  }
  statusPanels_[2]->setText(QStringLiteral("Stopped"));
  ui_->StatusBar1->setSizeGripEnabled(true);

  // Typing limits of the entry fields; the Local Port field has none.
  ui_->EditRemoteHost->setValidator(new TypingLimit(RemoteHostLimit, this));
  ui_->EditRemotePort->setValidator(new TypingLimit(RemotePortLimit, this));
  ui_->EditLogFile->setValidator(new TypingLimit(LogFileLimit, this));

  // The radio groups of the log buffer's size and detail, one per menu.
  auto group = [this](std::initializer_list<QAction*> items) {
    auto* g = new QActionGroup(this);
    g->setExclusive(true);
    for (QAction* a : items) g->addAction(a);
  };
  group({ui_->MMenuItem32KB, ui_->MMenuItem128KB, ui_->MMenuItem512KB, ui_->MMenuItem2MB, ui_->MMenuItemUnlimited});
  group({ui_->MenuItem32KB, ui_->MenuItem128KB, ui_->MenuItem512KB, ui_->MenuItem2MB, ui_->MenuItemUnlimited});
  group({ui_->MMenuItemLow, ui_->MMenuItemMedium, ui_->MMenuItemHigh});
  group({ui_->MenuLow, ui_->MenuMedium, ui_->MenuHigh});

  // Submenu items carry their hints on their menu actions.
  for (QMenu* m : {ui_->MenuItemLogBuffer, ui_->MMenuItemSize, ui_->MMenuItemDetail, ui_->MenuSize, ui_->MenuDetail}) {
    m->menuAction()->setStatusTip(m->statusTip());
  }

  // One click handler for the buttons and most menu items; the size and detail items have their own.
  for (QPushButton* b : {ui_->ButtonStart, ui_->ButtonStop, ui_->ButtonPause, ui_->ButtonResume, ui_->ButtonBrowse}) {
    connect(b, &QPushButton::clicked, this, [this, b] { OnClick(b); });
  }
  for (QToolButton* b : {ui_->SpeedButtonCut, ui_->SpeedButtonCopy, ui_->SpeedButtonPaste, ui_->SpeedButtonStart,
                         ui_->SpeedButtonStop, ui_->SpeedButtonPause}) {
    connect(b, &QToolButton::clicked, this, [this, b] { OnClick(b); });
  }
  for (QAction* a : {ui_->MenuItemExit, ui_->MenuItemUndo, ui_->MenuItemCut, ui_->MenuItemCopy, ui_->MenuItemPaste,
                     ui_->MenuItemSelectAll, ui_->MenuItemStart, ui_->MenuItemStop, ui_->MenuItemPause,
                     ui_->MenuItemResume, ui_->MenuItemReset, ui_->MenuItemHexOnly, ui_->MenuItemContents,
                     ui_->MenuItemHomePage, ui_->MenuItemAbout, ui_->MMenuItemClear, ui_->MMenuItemWrap,
                     ui_->MenuCopy, ui_->MenuSelectAll, ui_->MenuClear, ui_->MenuWrap}) {
    connect(a, &QAction::triggered, this, [this, a] { OnClick(a); });
  }
  for (QAction* a : {ui_->MMenuItem32KB, ui_->MMenuItem128KB, ui_->MMenuItem512KB, ui_->MMenuItem2MB,
                     ui_->MMenuItemUnlimited, ui_->MenuItem32KB, ui_->MenuItem128KB, ui_->MenuItem512KB,
                     ui_->MenuItem2MB, ui_->MenuItemUnlimited}) {
    connect(a, &QAction::triggered, this, [this, a] { SetBufferSize(a); });
  }
  for (QAction* a : {ui_->MMenuItemLow, ui_->MMenuItemMedium, ui_->MMenuItemHigh, ui_->MenuLow, ui_->MenuMedium,
                     ui_->MenuHigh}) {
    connect(a, &QAction::triggered, this, [this, a] { SetShowData(a); });
  }

  SetUpToolsItems();

  // The log view's pop-up menu; its hints reach the status bar through its own hover signal, since a
  // pop-up window's status tips do not travel to the main window.
  ui_->Memo1->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(ui_->Memo1, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& at) { ui_->PopupMenu1->popup(ui_->Memo1->viewport()->mapToGlobal(at)); });
  connect(ui_->PopupMenu1, &QMenu::aboutToShow, this, &TForm1::OnPopup);
  for (QMenu* m : {ui_->PopupMenu1, ui_->MenuSize, ui_->MenuDetail}) {
    connect(m, &QMenu::hovered, this, [this](QAction* a) { ShowLongHint(a->statusTip()); });
  }

  // Edit-command enabling: Qt has no idle event, so every change that can alter it asks for one
  // coalesced update, run by a zero-time timer once the events queued now have been handled.
  idleTimer_.setSingleShot(true);
  idleTimer_.setInterval(0);
  connect(&idleTimer_, &QTimer::timeout, this, &TForm1::IdleUpdate);
  connect(qApp, &QApplication::focusChanged, this, &TForm1::RequestIdleUpdate);
  // Asking the clipboard can mean a round trip to the display server, so it is asked when it changes.
  auto noteClipboard = [this] {
    const QMimeData* data = QApplication::clipboard()->mimeData();
    clipboardText_ = data != nullptr && data->hasText();
    RequestIdleUpdate();
  };
  connect(QApplication::clipboard(), &QClipboard::dataChanged, this, noteClipboard);
  noteClipboard();
  for (QLineEdit* e : {ui_->EditRemoteHost, ui_->EditRemotePort, ui_->EditLocalPort, ui_->EditLogFile}) {
    connect(e, &QLineEdit::selectionChanged, this, &TForm1::RequestIdleUpdate);
    connect(e, &QLineEdit::textChanged, this, &TForm1::RequestIdleUpdate);
    connect(e, &QLineEdit::cursorPositionChanged, this, &TForm1::RequestIdleUpdate);
  }
  connect(ui_->Memo1, &QPlainTextEdit::selectionChanged, this, &TForm1::RequestIdleUpdate);
  connect(ui_->Memo1, &QPlainTextEdit::textChanged, this, &TForm1::RequestIdleUpdate);

  // Find in the log: a bar above the log view, opened by Edit > Find (Ctrl+F); F3 and Shift+F3 find
  // the next and the previous match from anywhere in the window.
  findBar_ = new FindBar(ui_->Memo1, ui_->PanelLog);
  ui_->LayoutLog->insertWidget(0, findBar_);
  findBar_->hide();
  // The log and the Connections tab (the list and one connection's conversation) share the panel; the
  // log alone is one keystroke away (Ctrl+1), the connections another (Ctrl+2).
  logTabs_ = new QTabWidget(ui_->PanelLog);
  logTabs_->setObjectName(QStringLiteral("LogTabs"));
  logTabs_->setDocumentMode(true);
  ui_->LayoutLog->removeWidget(ui_->Memo1);
  logTabs_->addTab(ui_->Memo1, QStringLiteral("Log"));
  connections_ = new ConnectionsView(logTabs_);
  logTabs_->addTab(connections_, QStringLiteral("Connections"));
  logTabs_->setTabToolTip(0, QStringLiteral("The log (Ctrl+1)"));
  logTabs_->setTabToolTip(1, QStringLiteral("Every connection of the run, and the conversation of the one selected (Ctrl+2)"));
  ui_->LayoutLog->addWidget(logTabs_, 1);
  // The tabs take their room from the log's, never from the window's design size.
  connections_->setMinimumSize(0, 0);
  logTabs_->setMinimumSize(ui_->Memo1->minimumSizeHint());
  relay_->AddSink(&connections_->Store());
  auto* showLog = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_1), this);
  connect(showLog, &QShortcut::activated, this, [this] {
    logTabs_->setCurrentIndex(0);
    ui_->Memo1->setFocus();
  });
  auto* showConnections = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_2), this);
  connect(showConnections, &QShortcut::activated, this, [this] {
    logTabs_->setCurrentIndex(1);
    connections_->Refresh();
    connections_->List()->setFocus();
  });
  connect(logTabs_, &QTabWidget::currentChanged, this, [this](int index) {
    if (index == 1) connections_->Refresh();
  });
  connect(ui_->MenuItemFind, &QAction::triggered, this, [this] { findBar_->Open(); });
  connect(ui_->MenuItemFindNext, &QAction::triggered, this, [this] { findBar_->FindNext(false); });
  connect(ui_->MenuItemFindPrevious, &QAction::triggered, this, [this] { findBar_->FindNext(true); });
}

void TForm1::ApplySettings() {
  std::unique_ptr<QSettings> store = OpenUserSettings();
  if (store->status() != QSettings::NoError) {
    bufferSize_ = 32768;
    relay_->Log.DetailLevel = 2;
    return;
  }
  SavedSettings saved = ReadSettings(*store);
  auto text = [](const std::optional<QString>& t) { return t ? t->toLocal8Bit().toStdString() : std::string(); };
  connection_.listenAddress = text(saved.listenAddress);
  connection_.captureFile = text(saved.captureFile);
  connection_.splitFolder = text(saved.splitFolder);
  connection_.jsonFile = text(saved.jsonFile);
  connection_.tls.toRemote = saved.tls.value_or(0) != 0;
  connection_.tls.caFile = text(saved.tlsCa);
  connection_.tls.insecure = saved.tlsInsecure.value_or(0) != 0;
  connection_.tls.forClients = saved.tlsListen.value_or(0) != 0;
  connection_.tls.certFile = text(saved.tlsCert);
  connection_.tls.keyFile = text(saved.tlsKey);
  connection_.keepHost = saved.rewriteHost.value_or(1) == 0;
  connection_.connectTimeout = static_cast<std::int32_t>(saved.connectTimeout.value_or(0));
  // Sizes beyond what a widget can be are cut to that; resize keeps within the window's limits.
  QSize size = this->size();
  if (saved.width) size.setWidth(static_cast<int>(std::min<std::uint32_t>(*saved.width, QWIDGETSIZE_MAX)));
  if (saved.height) size.setHeight(static_cast<int>(std::min<std::uint32_t>(*saved.height, QWIDGETSIZE_MAX)));
  resize(size);
  bufferSize_ = saved.bufferSize.value_or(32768);
  relay_->Log.DetailLevel = saved.detail.value_or(2);
  if (saved.remoteHost) ui_->EditRemoteHost->setText(*saved.remoteHost);
  if (saved.remotePort) ui_->EditRemotePort->setText(*saved.remotePort);
  if (saved.localPort) ui_->EditLocalPort->setText(*saved.localPort);
  if (saved.logFile) ui_->EditLogFile->setText(*saved.logFile);
  relay_->HexOnly = saved.hexOnly.value_or(0);
  if (saved.left && saved.top) savedPlace_ = QPoint(*saved.left, *saved.top);
  savedMaximized_ = saved.maximized.value_or(0) != 0;
  if (saved.wrap.value_or(0) != 0) {
    ui_->Memo1->SetWrap(true);
    ui_->MMenuItemWrap->setChecked(true);
    ui_->MenuWrap->setChecked(true);
  }
}

void TForm1::ApplyCommandLine(const CommandLine& line) {
  if (!line.given) return;
  ui_->EditRemoteHost->setText(QString::fromLocal8Bit(line.remoteHost));
  ui_->EditRemotePort->setText(QString::fromLocal8Bit(line.remotePort));
  ui_->EditLocalPort->setText(QString::fromLocal8Bit(line.localPort));
  if (line.logFile) ui_->EditLogFile->setText(QString::fromLocal8Bit(*line.logFile));
  if (line.bufferSize) bufferSize_ = *line.bufferSize;
  if (line.detailLevel) relay_->Log.DetailLevel = static_cast<std::uint32_t>(*line.detailLevel);
  if (line.autoStart) autoStart_ = 1;
  if (line.hexOnly) relay_->HexOnly = 1;
  // The Connection Options given override the saved ones (ApplyTo sets only what was given).
  line.ApplyTo(connection_);
}

int TForm1::StartSockets() {
  int error = ws_.WSAStartup(0x0101);
  if (error != 0) return error;
  winsockStarted_ = true;
  return relay_->StartLocalLookup();
}

void TForm1::StartUpFailed(int error) {
  QMessageBox box(QMessageBox::Critical, QStringLiteral("Error"), QString::fromLatin1(winsock::WinsockErrorText(error)),
                  QMessageBox::Ok, this);
  box.exec();
  // Closed as Exit closes it: nothing runs, so there is no question, and the settings are saved.
  SaveSettings();
}

void TForm1::CentreOnScreen() {
  if (QScreen* screen = this->screen()) {
    QRect area = screen->availableGeometry();
    move(area.center() - QPoint(width() / 2, height() / 2));
  }
}

void TForm1::ShowAtSavedPlace() {
  bool placed = false;
  if (savedPlace_) {
    // Only a place where some of the window's top lies on a screen as the screens are now.
    const QRect top(*savedPlace_, QSize(std::min(width(), 100), 30));
    for (QScreen* screen : QGuiApplication::screens()) {
      if (screen->availableGeometry().intersects(top)) {
        move(*savedPlace_);
        placed = true;
        break;
      }
    }
  }
  if (!placed) CentreOnScreen();
  if (savedMaximized_) {
    showMaximized();
  } else {
    show();
  }
}

void TForm1::SaveSettings() {
  std::unique_ptr<QSettings> store = OpenUserSettings();
  if (store->status() != QSettings::NoError) return;
  SettingsToSave values;
  values.width = width();
  values.height = height();
  values.left = pos().x();
  values.top = pos().y();
  values.maximized = isMaximized();
  if (values.maximized) {
    // The size and place it comes back to when no longer maximised.
    const QRect normal = normalGeometry();
    const QPoint frame = geometry().topLeft() - frameGeometry().topLeft();
    if (normal.isValid()) {
      values.width = normal.width();
      values.height = normal.height();
      values.left = normal.x() - frame.x();
      values.top = normal.y() - frame.y();
    }
  }
  values.bufferSize = bufferSize_;
  values.detail = relay_->Log.DetailLevel;
  values.hexOnly = relay_->HexOnly;
  values.remoteHost = ui_->EditRemoteHost->text();
  values.remotePort = ui_->EditRemotePort->text();
  values.localPort = ui_->EditLocalPort->text();
  values.logFile = ui_->EditLogFile->text();
  values.wrap = ui_->Memo1->Wrap();
  values.listenAddress = QString::fromLocal8Bit(connection_.listenAddress);
  values.captureFile = QString::fromLocal8Bit(connection_.captureFile);
  values.splitFolder = QString::fromLocal8Bit(connection_.splitFolder);
  values.jsonFile = QString::fromLocal8Bit(connection_.jsonFile);
  values.tls = connection_.tls.toRemote;
  values.tlsCa = QString::fromLocal8Bit(connection_.tls.caFile);
  values.tlsInsecure = connection_.tls.insecure;
  values.tlsListen = connection_.tls.forClients;
  values.tlsCert = QString::fromLocal8Bit(connection_.tls.certFile);
  values.tlsKey = QString::fromLocal8Bit(connection_.tls.keyFile);
  values.rewriteHost = !connection_.keepHost;
  values.connectTimeout = connection_.connectTimeout;
  WriteSettings(*store, values);
}

bool TForm1::CloseQuery() {
  if (systemClose_) {
    // Nobody can answer a question now. The run is stopped as a Yes would stop it, also after "-auto",
    // so that the log file gets its end.
    relay_->StopByUser(true);
    return true;
  }
  // After "-auto" the window closes without asking and without stopping the relay run first.
  if (!relay_->Started || autoStart_ != 0) return true;
  QMessageBox::StandardButton answer =
      QMessageBox::question(this, QStringLiteral("Confirm"), QStringLiteral("Do you want to stop processing and exit?"),
                            QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
  if (answer != QMessageBox::Yes) return false;
  relay_->StopByUser(true);
  return true;
}

void TForm1::closeEvent(QCloseEvent* e) {
  closing_ = true;
  const bool canClose = CloseQuery();
  closing_ = false;
  if (!canClose) {
    e->ignore();
    return;
  }
  SaveSettings();
  e->accept();
}

void TForm1::SystemClose() {
  systemClose_ = true;
  // A modal dialog (the close question among them) is dismissed first, and the close waits until its
  // own loop has ended.
  if (QWidget* modal = QApplication::activeModalWidget()) {
    if (auto* dialog = qobject_cast<QDialog*>(modal)) {
      dialog->reject();
    } else {
      modal->close();
    }
    QTimer::singleShot(0, this, &TForm1::SystemClose);
    return;
  }
  if (closing_) {
    QTimer::singleShot(0, this, &TForm1::SystemClose);
    return;
  }
  if (isVisible()) close();
}

void TForm1::showEvent(QShowEvent* e) {
  QMainWindow::showEvent(e);
  // The automatic start waits for the first idle moment after the window is on screen.
  RequestIdleUpdate();
}

bool TForm1::event(QEvent* e) {
  switch (e->type()) {
    case QEvent::StatusTip:
      ShowLongHint(static_cast<QStatusTipEvent*>(e)->tip());
      return true;
    case QEvent::WindowActivate:
      if (!windowActivated_) {
        windowActivated_ = true;
        if (relay_->Started) ScrollToEnd();
      }
      RequestIdleUpdate();
      break;
    default:
      break;
  }
  return QMainWindow::event(e);
}

void TForm1::keyPressEvent(QKeyEvent* e) {
  // Enter that no control took: a focused button answers it, otherwise the default button (Start). The
  // log view and the find bar keep Enter for themselves, as a multi-line edit does.
  if (e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) {
    QWidget* focus = focusWidget();
    if (focus != nullptr && (focus == ui_->Memo1 || ui_->Memo1->isAncestorOf(focus) || findBar_->isAncestorOf(focus))) {
      e->accept();
      return;
    }
    if (auto* button = qobject_cast<QPushButton*>(focusWidget()); button != nullptr && button->isEnabled()) {
      button->click();
      return;
    }
    if (ui_->ButtonStart->isDefault() && ui_->ButtonStart->isEnabled()) {
      ui_->ButtonStart->click();
      return;
    }
  }
  QMainWindow::keyPressEvent(e);
}

}  // namespace tapline::shell
