// The running states of the main window: every control of the state table in Stopped, Started and
// Paused; Start's field checks; Stop, Pause, Resume, Reset; the close question; counters and hints.
#include <QAction>
#include <QLineEdit>
#include <QMenu>
#include <QPalette>
#include <QPushButton>
#include <QStatusTipEvent>
#include <QTcpServer>
#include <QToolButton>

#include "tests/shell/window_fixture.h"

using namespace tapline;
using namespace tapline::test;

namespace {

enum class State { Stopped, Started, Paused };

// Checks every control of the state table against one column.
void CheckState(TForm1* w, State state) {
  const bool running = state != State::Stopped;
  for (const char* name : {"EditRemoteHost", "EditRemotePort", "EditLocalPort", "EditLogFile"}) {
    auto* e = Control<QLineEdit>(w, name);
    QCOMPARE(e->isReadOnly(), running);
    QPalette p = e->palette();
    QCOMPARE(p.color(QPalette::Base), running ? QApplication::palette(e).color(QPalette::Button)
                                              : QApplication::palette(e).color(QPalette::Base));
  }
  QCOMPARE(Control<QPushButton>(w, "ButtonBrowse")->isEnabled(), !running);
  QCOMPARE(Control<QAction>(w, "MenuItemStart")->isEnabled(), !running);
  QCOMPARE(Control<QToolButton>(w, "SpeedButtonStart")->isEnabled(), !running);
  QCOMPARE(Control<QPushButton>(w, "ButtonStart")->isEnabled(), !running);
  QCOMPARE(Control<QPushButton>(w, "ButtonStart")->isDefault(), !running);
  QCOMPARE(Control<QAction>(w, "MenuItemStop")->isEnabled(), running);
  QCOMPARE(Control<QToolButton>(w, "SpeedButtonStop")->isEnabled(), running);
  QCOMPARE(Control<QPushButton>(w, "ButtonStop")->isEnabled(), running);
  QCOMPARE(Control<QAction>(w, "MenuItemPause")->isEnabled(), state == State::Started);
  QCOMPARE(Control<QPushButton>(w, "ButtonPause")->isEnabled(), state == State::Started);
  auto* pause = Control<QToolButton>(w, "SpeedButtonPause");
  QCOMPARE(pause->isEnabled(), running);
  QCOMPARE(pause->isChecked(), state == State::Paused);
  QCOMPARE(Control<QAction>(w, "MenuItemResume")->isEnabled(), state == State::Paused);
  QCOMPARE(Control<QPushButton>(w, "ButtonResume")->isEnabled(), state == State::Paused);
  QCOMPARE(Control<QAction>(w, "MenuItemReset")->isEnabled(), running);
  QCOMPARE(Control<QAction>(w, "MenuItemHexOnly")->isEnabled(), !running);
  QCOMPARE(w->StatusText(2), state == State::Stopped ? QStringLiteral("Stopped")
                             : state == State::Started ? QStringLiteral("Started")
                                                       : QStringLiteral("Paused"));
  QCOMPARE(w->RelayEngine().Started != 0, running);
  QCOMPARE(w->RelayEngine().Paused != 0, state == State::Paused);
  if (state == State::Paused) {
    QCOMPARE(pause->toolTip(), QStringLiteral("Resume"));
    QCOMPARE(pause->statusTip(), QStringLiteral("Continue transferring data"));
  }
}

void SetFields(TForm1* w, const QString& host, const QString& remotePort, const QString& localPort,
               const QString& logFile = QString()) {
  Control<QLineEdit>(w, "EditRemoteHost")->setText(host);
  Control<QLineEdit>(w, "EditRemotePort")->setText(remotePort);
  Control<QLineEdit>(w, "EditLocalPort")->setText(localPort);
  Control<QLineEdit>(w, "EditLogFile")->setText(logFile);
}

// A port with a listener of ours, so that a relay run can be started towards it.
QString ServerPort(QTcpServer& server) {
  if (!server.listen(QHostAddress::LocalHost, 0)) qFatal("cannot listen");
  return QString::number(server.serverPort());
}

}  // namespace

class WindowStatesTest : public QObject {
  Q_OBJECT

 private slots:
  void init() { ForgetSettings(); }

  void designStateIsStopped() {
    auto w = Open();
    QVERIFY(w);
    CheckState(w.get(), State::Stopped);
    QCOMPARE(w->windowTitle(), QStringLiteral("Tapline"));
    QCOMPARE(w->size(), QSize(630, 410));
    // Before the first SetRunningState the pause button keeps its design hint.
    auto* pause = Control<QToolButton>(w.get(), "SpeedButtonPause");
    QCOMPARE(pause->toolTip(), QStringLiteral("Pause"));
    QCOMPARE(pause->statusTip(), QStringLiteral("Temporarily discontinue transferring data between Client and Server"));
    for (const char* name : {"LabelConns", "LabelCSTrans", "LabelCSBuf", "LabelSCTrans", "LabelSCBuf"}) {
      QCOMPARE(LabelText(w.get(), name), QStringLiteral("0"));
      QCOMPARE(Control<QLabel>(w.get(), name)->alignment() & Qt::AlignRight, Qt::AlignRight);
    }
    auto* bar = Control<QWidget>(w.get(), "StatusBar1");
    // The design's 341, 88 and 100 pixels, the last two grown when the font needs it for a dotted
    // address and the first giving up what they took.
    auto* hint = bar->findChild<QLabel*>(QStringLiteral("StatusPanel0"));
    auto* address = bar->findChild<QLabel*>(QStringLiteral("StatusPanel1"));
    auto* state = bar->findChild<QLabel*>(QStringLiteral("StatusPanel2"));
    QVERIFY(address->width() >= 88);
    QVERIFY(address->fontMetrics().horizontalAdvance(QStringLiteral("255.255.255.255")) < address->contentsRect().width());
    QVERIFY(state->width() >= 100);
    if (hint->width() > 240) QCOMPARE(hint->width() + address->width() + state->width(), 341 + 88 + 100);
    // The start-up lookup of the machine's own name fills the second panel.
    QTRY_VERIFY(!w->StatusText(1).isEmpty());
  }

  void startPauseResumeStop() {
    QTcpServer server;
    auto w = Open();
    SetFields(w.get(), QStringLiteral("127.0.0.1"), ServerPort(server), QStringLiteral("0"));
    QTest::mouseClick(Control<QPushButton>(w.get(), "ButtonStart"), Qt::LeftButton);
    CheckState(w.get(), State::Started);
    QCOMPARE(Control<QToolButton>(w.get(), "SpeedButtonPause")->toolTip(), QStringLiteral("Pause"));
    QCOMPARE(Control<QToolButton>(w.get(), "SpeedButtonPause")->statusTip(),
             QStringLiteral("Temporarily discontinue transferring data"));

    Control<QAction>(w.get(), "MenuItemPause")->trigger();
    CheckState(w.get(), State::Paused);
    QTest::mouseClick(Control<QPushButton>(w.get(), "ButtonResume"), Qt::LeftButton);
    CheckState(w.get(), State::Started);

    // The tool button pauses and resumes by turns.
    auto* pause = Control<QToolButton>(w.get(), "SpeedButtonPause");
    QTest::mouseClick(pause, Qt::LeftButton);
    CheckState(w.get(), State::Paused);
    QTest::mouseClick(pause, Qt::LeftButton);
    CheckState(w.get(), State::Started);

    QTest::mouseClick(Control<QToolButton>(w.get(), "SpeedButtonStop"), Qt::LeftButton);
    CheckState(w.get(), State::Stopped);
    QTRY_VERIFY(Memo(w.get())->Text().contains(QStringLiteral("Stopped by user")));
    QTRY_VERIFY(Memo(w.get())->Text().contains(QStringLiteral("Local Port closed")));
  }

  void pauseThenStop() {
    QTcpServer server;
    auto w = Open();
    SetFields(w.get(), QStringLiteral("127.0.0.1"), ServerPort(server), QString());
    Control<QAction>(w.get(), "MenuItemStart")->trigger();
    QTest::mouseClick(Control<QPushButton>(w.get(), "ButtonPause"), Qt::LeftButton);
    CheckState(w.get(), State::Paused);
    Control<QAction>(w.get(), "MenuItemStop")->trigger();
    CheckState(w.get(), State::Stopped);
    auto* pause = Control<QToolButton>(w.get(), "SpeedButtonPause");
    QCOMPARE(pause->toolTip(), QStringLiteral("Pause"));
    QCOMPARE(pause->statusTip(), QStringLiteral("Temporarily discontinue transferring data"));
  }

  void startRefusesFields_data() {
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("remotePort");
    QTest::addColumn<QString>("localPort");
    QTest::addColumn<QString>("logFile");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("focus");
    const QString noFolder = QStringLiteral("/nonexistent-folder-of-tapline/log.txt");
    QTest::newRow("no host") << "" << "80" << "0" << "" << "Remote Host required." << "EditRemoteHost";
    QTest::newRow("no remote port") << "h" << "" << "0" << "" << "Remote Port required." << "EditRemotePort";
    QTest::newRow("remote port 0") << "h" << "0" << "0" << ""
                                   << "Remote Port must be a number from 1 to 65535." << "EditRemotePort";
    QTest::newRow("remote port -5") << "h" << "-5" << "0" << ""
                                    << "Remote Port must be a number from 1 to 65535." << "EditRemotePort";
    QTest::newRow("remote port word") << "h" << "http" << "0" << ""
                                      << "Remote Port must be a number from 1 to 65535." << "EditRemotePort";
    QTest::newRow("local port -1") << "h" << "80" << "-1" << ""
                                   << "Local Port must be a number from 0 to 65535." << "EditLocalPort";
    QTest::newRow("local port 70000") << "h" << "80" << "70000" << ""
                                      << "Local Port must be a number from 0 to 65535." << "EditLocalPort";
    QTest::newRow("log file") << "127.0.0.1" << "80" << "0" << noFolder
                              << "Could not create log file " + noFolder + ": No such file or directory."
                              << "EditLogFile";
  }

  void startRefusesFields() {
    QFETCH(QString, host);
    QFETCH(QString, remotePort);
    QFETCH(QString, localPort);
    QFETCH(QString, logFile);
    QFETCH(QString, message);
    QFETCH(QString, focus);
    auto w = Open();
    SetFields(w.get(), host, remotePort, localPort, logFile);
    Control<QPushButton>(w.get(), "ButtonStart")->setFocus();
    QString focusDuringBox;
    DialogDriver driver;
    driver.onMessageBox = [&](QMessageBox&) { focusDuringBox = w->focusWidget()->objectName(); };
    Control<QToolButton>(w.get(), "SpeedButtonStart")->click();
    QCOMPARE(driver.boxes.size(), std::size_t{1});
    QCOMPARE(driver.boxes[0].title, QStringLiteral("Tapline"));
    QCOMPARE(driver.boxes[0].text, message);
    QCOMPARE(driver.boxes[0].icon, QMessageBox::Critical);
    // The focus is on the field while the box is up, and stays there.
    QCOMPARE(focusDuringBox, focus);
    QCOMPARE(w->focusWidget()->objectName(), focus);
    CheckState(w.get(), State::Stopped);
    QCOMPARE(Memo(w.get())->Text(), QString());
  }

  void resetZeroesOnlyTransferred() {
    QTcpServer server;
    auto w = Open();
    SetFields(w.get(), QStringLiteral("127.0.0.1"), ServerPort(server), QStringLiteral("0"));
    Control<QPushButton>(w.get(), "ButtonStart")->click();
    engine::Relay& relay = w->RelayEngine();
    relay.ClientToServerTotal = 1500;
    relay.ServerToClientTotal = 2500000;
    relay.ClientToServerBuffered = 12;
    relay.ServerToClientBuffered = 34;
    w->ShowCount(engine::Counter::ClientToServerTotal, 1500);
    w->ShowCount(engine::Counter::ServerToClientTotal, 2500000);
    w->ShowCount(engine::Counter::ClientToServerBuffered, 12);
    w->ShowCount(engine::Counter::ServerToClientBuffered, 34);
    w->ShowCount(engine::Counter::Connections, 3);
    QCOMPARE(LabelText(w.get(), "LabelSCTrans"), QStringLiteral("2,500,000"));
    Control<QAction>(w.get(), "MenuItemReset")->trigger();
    QCOMPARE(LabelText(w.get(), "LabelCSTrans"), QStringLiteral("0"));
    QCOMPARE(LabelText(w.get(), "LabelSCTrans"), QStringLiteral("0"));
    QCOMPARE(LabelText(w.get(), "LabelCSBuf"), QStringLiteral("12"));
    QCOMPARE(LabelText(w.get(), "LabelSCBuf"), QStringLiteral("34"));
    QCOMPARE(LabelText(w.get(), "LabelConns"), QStringLiteral("3"));
    QCOMPARE(relay.ClientToServerTotal, 0);
    QCOMPARE(relay.ServerToClientTotal, 0);
  }

  void stopKeepsTotalsAndNextStartZeroesThem() {
    QTcpServer server;
    auto w = Open();
    SetFields(w.get(), QStringLiteral("127.0.0.1"), ServerPort(server), QStringLiteral("0"));
    Control<QPushButton>(w.get(), "ButtonStart")->click();
    w->RelayEngine().ClientToServerTotal = 4321;
    w->ShowCount(engine::Counter::ClientToServerTotal, 4321);
    w->ShowCount(engine::Counter::ClientToServerBuffered, 7);
    Control<QPushButton>(w.get(), "ButtonStop")->click();
    QCOMPARE(LabelText(w.get(), "LabelCSTrans"), QStringLiteral("4,321"));
    QCOMPARE(LabelText(w.get(), "LabelCSBuf"), QStringLiteral("0"));
    Control<QPushButton>(w.get(), "ButtonStart")->click();
    QCOMPARE(LabelText(w.get(), "LabelCSTrans"), QStringLiteral("0"));
  }

  void countersUseFormatCount_data() {
    QTest::addColumn<int>("counter");
    QTest::addColumn<QString>("label");
    QTest::addColumn<qint64>("value");
    QTest::addColumn<QString>("shown");
    QTest::newRow("connections") << int(engine::Counter::Connections) << "LabelConns" << qint64(999) << "999";
    QTest::newRow("cs total") << int(engine::Counter::ClientToServerTotal) << "LabelCSTrans" << qint64(1000) << "1,000";
    QTest::newRow("cs buffered") << int(engine::Counter::ClientToServerBuffered) << "LabelCSBuf" << qint64(100000)
                                 << "100,000";
    QTest::newRow("sc total") << int(engine::Counter::ServerToClientTotal) << "LabelSCTrans" << qint64(1234567)
                              << "1,234,567";
    QTest::newRow("sc buffered") << int(engine::Counter::ServerToClientBuffered) << "LabelSCBuf" << qint64(-123456)
                                 << "-123,456";
  }

  void countersUseFormatCount() {
    QFETCH(int, counter);
    QFETCH(QString, label);
    QFETCH(qint64, value);
    QFETCH(QString, shown);
    auto w = Open();
    w->ShowCount(static_cast<engine::Counter>(counter), value);
    QCOMPARE(LabelText(w.get(), label.toLatin1().constData()), shown);
  }

  void closeQuestionNoKeepsRunning() {
    QTcpServer server;
    auto w = Open();
    SetFields(w.get(), QStringLiteral("127.0.0.1"), ServerPort(server), QStringLiteral("0"));
    Control<QPushButton>(w.get(), "ButtonStart")->click();
    DialogDriver driver(QMessageBox::No);
    QVERIFY(!w->close());
    QCOMPARE(driver.boxes.size(), std::size_t{1});
    QCOMPARE(driver.boxes[0].title, QStringLiteral("Confirm"));
    QCOMPARE(driver.boxes[0].text, QStringLiteral("Do you want to stop processing and exit?"));
    QCOMPARE(driver.boxes[0].icon, QMessageBox::Question);
    QCOMPARE(driver.boxes[0].buttons, (QList<QMessageBox::StandardButton>{QMessageBox::Yes, QMessageBox::No}));
    QVERIFY(w->isVisible());
    CheckState(w.get(), State::Started);
  }

  void closeQuestionYesStops() {
    QTcpServer server;
    auto w = Open();
    SetFields(w.get(), QStringLiteral("127.0.0.1"), ServerPort(server), QStringLiteral("0"));
    Control<QPushButton>(w.get(), "ButtonStart")->click();
    DialogDriver driver(QMessageBox::Yes);
    QVERIFY(w->close());
    QCOMPARE(driver.boxes.size(), std::size_t{1});
    QVERIFY(!w->isVisible());
    QCOMPARE(w->RelayEngine().Started, 0);
    QCOMPARE(w->StatusText(2), QStringLiteral("Stopped"));
    QTRY_VERIFY(Memo(w.get())->Text().contains(QStringLiteral("Stopped by user")));
  }

  void closeWhileStoppedAsksNothing() {
    auto w = Open();
    DialogDriver driver(QMessageBox::No);
    QVERIFY(w->close());
    QVERIFY(driver.boxes.empty());
  }

  void closeAfterAutoStartAsksNothingAndKeepsRunning() {
    QTcpServer server;
    auto w = Open({"127.0.0.1", ServerPort(server).toStdString(), "0", "-auto"});
    QTRY_VERIFY(w->RelayEngine().Started != 0);
    QCOMPARE(w->AutoStart(), -1);
    DialogDriver driver(QMessageBox::No);
    QVERIFY(w->close());
    QVERIFY(driver.boxes.empty());
    // The relay run is not stopped first; the window's destruction closes it without touching the view.
    QCOMPARE(w->RelayEngine().Started, 1);
    QVERIFY(!Memo(w.get())->Text().contains(QStringLiteral("Stopped by user")));
    w.reset();
  }

  void autoStartWithoutHostShowsMessageOnce() {
    DialogDriver driver;
    auto w = Open({"", "80", "0", "-auto"});
    QVERIFY(w);
    QTRY_COMPARE(driver.boxes.size(), std::size_t{1});
    QTest::qWait(50);
    QCOMPARE(driver.boxes.size(), std::size_t{1});
    QCOMPARE(driver.boxes[0].text, QStringLiteral("Remote Host required."));
    QCOMPARE(w->focusWidget(), Control<QWidget>(w.get(), "EditRemoteHost"));
    CheckState(w.get(), State::Stopped);
    QCOMPARE(w->AutoStart(), -1);
  }

  void enterStartsThroughTheDefaultButton() {
    QTcpServer server;
    auto w = Open();
    SetFields(w.get(), QStringLiteral("127.0.0.1"), ServerPort(server), QStringLiteral("0"));
    auto* port = Control<QLineEdit>(w.get(), "EditLocalPort");
    port->setFocus();
    QTest::keyClick(port, Qt::Key_Return);
    CheckState(w.get(), State::Started);
  }

  void hintsGoToTheFirstPanel() {
    auto w = Open();
    QStatusTipEvent tip(Control<QPushButton>(w.get(), "ButtonStart")->statusTip());
    QApplication::sendEvent(Control<QPushButton>(w.get(), "ButtonStart"), &tip);
    QCOMPARE(w->StatusText(0), QStringLiteral("Open Local Port to allow connections"));
    QCOMPARE(Control<QPushButton>(w.get(), "ButtonStart")->toolTip(), QString());
    auto* start = Control<QToolButton>(w.get(), "SpeedButtonStart");
    QCOMPARE(start->toolTip(), QStringLiteral("Start"));
    QStatusTipEvent toolTip(start->statusTip());
    QApplication::sendEvent(start, &toolTip);
    QCOMPARE(w->StatusText(0), QStringLiteral("Open Local Port to allow a Client to connect"));
    // A highlighted menu item shows its hint too, trailing blank included.
    auto* about = Control<QAction>(w.get(), "MenuItemAbout");
    QCOMPARE(about->statusTip(), QStringLiteral("Display program information and version number "));
    about->showStatusText(Control<QWidget>(w.get(), "MainMenu1"));
    QCOMPARE(w->StatusText(0), QStringLiteral("Display program information and version number "));
    // The pop-up menu's items reach the panel through its hover signal.
    auto* popup = Control<QMenu>(w.get(), "PopupMenu1");
    emit popup->hovered(Control<QAction>(w.get(), "MenuClear"));
    QCOMPARE(w->StatusText(0), QStringLiteral("Clear contents of Log Buffer"));
  }
};

TAPLINE_WINDOW_TEST_MAIN(WindowStatesTest)
#include "window_states_test.moc"
