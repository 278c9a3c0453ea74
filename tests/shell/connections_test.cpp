// The Connections tab: the list and the conversation pane, driven by their object names while the window
// relays real connections to an echo server.
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTableView>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include "tests/shell/qt_peers.h"
#include "tests/shell/window_fixture.h"

using namespace tapline;
using namespace tapline::test;

namespace {

QByteArray ReadAll(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}

}  // namespace

class ConnectionsTest : public QObject {
  Q_OBJECT

 private slots:
  void init() { ForgetSettings(); }

  void selectingARowShowsThatConnectionFollowsItAndSavesItsBytes() {
    EchoServer echo;
    auto w = Open({"127.0.0.1", echo.Port(), "0", "-auto", "-detail", "Low"});
    QTRY_VERIFY(w->RelayEngine().ListenSocket != winsock::INVALID_SOCKET);
    const std::uint16_t port = w->RelayEngine().LocalPort;
    Client first(port);
    QTRY_VERIFY(first.Connected());
    const QByteArray request = "GET /first HTTP/1.0\r\n\r\n";
    first.Send(request);
    QTRY_COMPARE(first.received, request);
    Client second(port);
    QTRY_VERIFY(second.Connected());
    const QByteArray command = "SET k h\xC3\xA9llo\r\n";
    second.Send(command);
    QTRY_COMPARE(second.received, command);

    // Ctrl+2 shows the list; each connection is a row, numbered in the order the clients came.
    QTest::keyClick(w.get(), Qt::Key_2, Qt::ControlModifier);
    auto* tabs = Control<QTabWidget>(w.get(), "LogTabs");
    QCOMPARE(tabs->currentIndex(), 1);
    auto* list = Control<QTableView>(w.get(), "ConnectionList");
    QTRY_COMPARE(list->model()->rowCount(), 2);
    QCOMPARE(list->model()->index(1, 0).data().toString(), QStringLiteral("2"));
    QCOMPARE(list->model()->index(1, 9).data().toString(), QStringLiteral("SET k h\u00E9llo"));
    QCOMPARE(list->model()->index(1, 3).data().toString(), QStringLiteral("open"));

    // The second row: the pane shows its blocks, each way with its arrow, and nothing of the first.
    list->selectRow(1);
    auto* text = Control<QPlainTextEdit>(w.get(), "ConversationText");
    QVERIFY(text->toPlainText().contains(QStringLiteral("SET k h\u00E9llo")));
    QVERIFY(text->toPlainText().contains(QStringLiteral("\u2192 client to server")));
    QVERIFY(text->toPlainText().contains(QStringLiteral("\u2190 server to client")));
    QVERIFY(!text->toPlainText().contains(QStringLiteral("GET /first")));

    // Hex afterwards, and a block that comes now is added while the pane shows it.
    Control<QComboBox>(w.get(), "ConversationShowAs")->setCurrentIndex(2);
    QVERIFY(text->toPlainText().contains(QStringLiteral("0000  53 45 54 20 6B 20 68 C3  A9 6C 6C 6F 0D 0A")));
    const QByteArray binary("\x00\x01\xFFmore", 7);
    second.Send(binary);
    QTRY_COMPARE(second.received, command + binary);
    QTRY_VERIFY(text->toPlainText().contains(QStringLiteral("0000  00 01 FF 6D 6F 72 65")));

    // Save: the two directions as raw files, byte for byte.
    QTemporaryDir dir;
    const QString base = dir.filePath(QStringLiteral("second"));
    bool dialogSeen = false;
    QTimer::singleShot(0, [&] {
      auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
      if (dialog == nullptr || dialog->objectName() != QStringLiteral("ConversationSaveDialog")) return;
      dialogSeen = true;
      dialog->selectNameFilter(dialog->nameFilters().first());
      dialog->selectFile(base);
      static_cast<QDialog*>(dialog)->accept();  // QFileDialog::accept, which checks the name
    });
    QTest::mouseClick(Control<QPushButton>(w.get(), "ConversationSave"), Qt::LeftButton);
    QVERIFY(dialogSeen);
    QCOMPARE(ReadAll(base + QStringLiteral(".to-server")), command + binary);
    QCOMPARE(ReadAll(base + QStringLiteral(".to-client")), command + binary);

    // Ctrl+1: the log alone again (the window is active again once the dialog has gone).
    QApplication::setActiveWindow(w.get());
    QTest::keyClick(w.get(), Qt::Key_1, Qt::ControlModifier);
    QCOMPARE(tabs->currentIndex(), 0);
  }
};

QTEST_MAIN(ConnectionsTest)
#include "connections_test.moc"
