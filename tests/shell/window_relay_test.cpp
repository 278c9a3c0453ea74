// End to end: the window, started from the command line with -auto, relays a client's bytes to an echo
// server and back unchanged, and the log view and the counters show them; the relay goes on while a
// modal dialog runs its own loop.
#include <QAction>
#include <QLabel>
#include <QTcpServer>
#include <QTcpSocket>

#include "log/format_count.h"
#include "shell/about_box.h"
#include "tests/shell/qt_peers.h"
#include "tests/shell/window_fixture.h"

using namespace tapline;
using namespace tapline::test;

namespace {

QByteArray AllByteValues() {
  QByteArray bytes;
  for (int i = 0; i < 256; ++i) bytes.append(static_cast<char>(i));
  return bytes;
}

}  // namespace

class WindowRelayTest : public QObject {
  Q_OBJECT

 private slots:
  void init() { ForgetSettings(); }

  void relaysBytesUnchangedAndShowsThem() {
    EchoServer echo;
    auto w = Open({"127.0.0.1", echo.Port(), "0", "-auto", "-detail", "High"});
    QVERIFY(w);
    QTRY_VERIFY(w->RelayEngine().Started != 0 && w->RelayEngine().ListenSocket != winsock::INVALID_SOCKET);
    QCOMPARE(w->StatusText(2), QStringLiteral("Started"));
    const std::uint16_t port = w->RelayEngine().LocalPort;
    QTRY_VERIFY(Memo(w.get())->Text().contains(QStringLiteral("Local Port (%1) opened").arg(port)));

    // A text connection: its lines appear as they are.
    Client text(port);
    QTRY_VERIFY(text.Connected());
    QTRY_COMPARE(LabelText(w.get(), "LabelConns"), QStringLiteral("1"));
    const QByteArray line = "hello through the relay\r\nsecond line\r\n";
    text.Send(line);
    QTRY_COMPARE(text.received, line);
    QTRY_VERIFY(Memo(w.get())->Text().contains(QStringLiteral("Client to Server (%1 bytes)").arg(line.size())));
    QTRY_VERIFY(Memo(w.get())->Text().contains(QStringLiteral("Server to Client (%1 bytes)").arg(line.size())));
    QVERIFY(Memo(w.get())->Text().contains(QStringLiteral("\nhello through the relay\nsecond line\n")));

    // A binary connection: every byte value comes back unchanged and the view shows a hex dump.
    Client binary(port);
    QTRY_VERIFY(binary.Connected());
    QTRY_COMPARE(LabelText(w.get(), "LabelConns"), QStringLiteral("2"));
    const QByteArray bytes = AllByteValues();
    binary.Send(bytes);
    QTRY_COMPARE(binary.received, bytes);
    QTRY_VERIFY(Memo(w.get())->Text().contains(
        QStringLiteral("0000  00 01 02 03 04 05 06 07  08 09 0A 0B 0C 0D 0E 0F  ................")));
    QTRY_VERIFY(Memo(w.get())->Text().contains(
        QStringLiteral("0040  40 41 42 43 44 45 46 47  48 49 4A 4B 4C 4D 4E 4F  @ABCDEFGHIJKLMNO")));

    // The counters show the totals in their own format.
    const qint64 total = line.size() + bytes.size();
    QTRY_COMPARE(LabelText(w.get(), "LabelCSTrans"), QString::fromStdString(log::FormatCount(total)));
    QTRY_COMPARE(LabelText(w.get(), "LabelSCTrans"), QString::fromStdString(log::FormatCount(total)));
    QCOMPARE(LabelText(w.get(), "LabelCSBuf"), QStringLiteral("0"));
    QCOMPARE(LabelText(w.get(), "LabelSCBuf"), QStringLiteral("0"));
    QCOMPARE(w->RelayEngine().ClientToServerTotal, total);

    text.Close();
    binary.Close();
    QTRY_COMPARE(LabelText(w.get(), "LabelConns"), QStringLiteral("0"));
    QTRY_VERIFY(Memo(w.get())->Text().contains(QStringLiteral("Client disconnected")));
    QCOMPARE(echo.accepted, 2);
    QCOMPARE(w->TextLength(), Memo(w.get())->Text().size() + Memo(w.get())->Text().count(u'\n'));
  }

  void keepsRelayingWhileADialogIsOpen() {
    EchoServer echo;
    auto w = Open({"127.0.0.1", echo.Port(), "0", "-auto"});
    QTRY_VERIFY(w->RelayEngine().ListenSocket != winsock::INVALID_SOCKET);
    Client client(w->RelayEngine().LocalPort);
    QTRY_VERIFY(client.Connected());
    bool echoedDuringDialog = false;
    bool shownDuringDialog = false;
    QTimer::singleShot(0, [&] {
      QWidget* box = QApplication::activeModalWidget();
      QVERIFY(qobject_cast<shell::TAboutBox*>(box) != nullptr);
      client.Send("while the About box is up\n");
      echoedDuringDialog = QTest::qWaitFor([&] { return client.received == "while the About box is up\n"; }, 5000);
      shownDuringDialog = QTest::qWaitFor(
          [&] { return Memo(w.get())->Text().contains(QStringLiteral("while the About box is up")); }, 5000);
      box->close();
    });
    Control<QAction>(w.get(), "MenuItemAbout")->trigger();
    QVERIFY(echoedDuringDialog);
    QVERIFY(shownDuringDialog);
  }

  void pausedViewStandsStillWhileDataFlows() {
    EchoServer echo;
    auto w = Open({"127.0.0.1", echo.Port(), "0", "-auto"});
    QTRY_VERIFY(w->RelayEngine().ListenSocket != winsock::INVALID_SOCKET);
    Client client(w->RelayEngine().LocalPort);
    QTRY_VERIFY(client.Connected());
    QTRY_VERIFY(Memo(w.get())->Text().contains(QStringLiteral("Connected to Server")));
    Control<QAction>(w.get(), "MenuItemPause")->trigger();
    QTest::qWait(20);
    const QString before = Memo(w.get())->Text();
    client.Send("held back\n");
    QTRY_COMPARE(client.received, QByteArray("held back\n"));
    QTRY_COMPARE(LabelText(w.get(), "LabelSCTrans"), QStringLiteral("10"));
    QTest::qWait(50);
    QCOMPARE(Memo(w.get())->Text(), before);
    Control<QAction>(w.get(), "MenuItemResume")->trigger();
    QTRY_VERIFY(Memo(w.get())->Text().contains(QStringLiteral("held back")));
  }
};

TAPLINE_WINDOW_TEST_MAIN(WindowRelayTest)
#include "window_relay_test.moc"
