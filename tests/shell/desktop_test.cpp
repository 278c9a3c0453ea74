// Issue 16, a good Linux desktop citizen: Enter in the log view, the system's close requests, every
// argument through the program's grammar, --help and --version, one target per Alt key, find and filter
// in the log view, the window's place, and the message boxes when help or home page cannot be opened.
#include <signal.h>
#include <unistd.h>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLineEdit>
#include <QMenuBar>
#include <QProcess>
#include <QPushButton>
#include <QSpinBox>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTimer>
#include <map>

#include "log/log_record.h"
#include "tests/shell/window_fixture.h"

using namespace tapline;
using namespace tapline::test;

namespace {

QString ServerPort(QTcpServer& server) {
  if (!server.listen(QHostAddress::LocalHost, 0)) qFatal("cannot listen");
  return QString::number(server.serverPort());
}

void SetFields(TForm1* w, const QString& remotePort, const QString& logFile = QString()) {
  Control<QLineEdit>(w, "EditRemoteHost")->setText(QStringLiteral("127.0.0.1"));
  Control<QLineEdit>(w, "EditRemotePort")->setText(remotePort);
  Control<QLineEdit>(w, "EditLocalPort")->setText(QStringLiteral("0"));
  Control<QLineEdit>(w, "EditLogFile")->setText(logFile);
}

// The Alt key of a caption ("Remote &Port:" gives P), or 0.
QChar Mnemonic(const QString& text) {
  for (qsizetype i = 0; i + 1 < text.size(); ++i) {
    if (text.at(i) == u'&') {
      if (text.at(i + 1) == u'&') {
        ++i;
        continue;
      }
      return text.at(i + 1).toUpper();
    }
  }
  return QChar();
}

struct Run {
  int exitCode = -1;
  QString out;
  QString err;
};

Run RunProgram(const QString& program, const QStringList& args, bool display) {
  QProcess p;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  if (!display) {
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
  }
  p.setProcessEnvironment(env);
  p.start(program, args);
  Run run;
  if (!p.waitForFinished(20000)) {
    p.kill();
    p.waitForFinished();
    return run;
  }
  run.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
  run.out = QString::fromLocal8Bit(p.readAllStandardOutput());
  run.err = QString::fromLocal8Bit(p.readAllStandardError());
  return run;
}

void Insert(TForm1* w, const std::string& text, log::Colour colour) {
  w->InsertAtEnd(text.data(), text.size(), colour);
}

QStringList ShownLines(shell::LogMemo* memo) {
  QStringList lines;
  for (QTextBlock b = memo->document()->begin(); b.isValid(); b = b.next()) {
    if (b.isVisible() && !b.text().isEmpty()) lines.append(b.text());
  }
  return lines;
}

}  // namespace

class DesktopTest : public QObject {
  Q_OBJECT

 private slots:
  void init() { ForgetSettings(); }

  void enterInTheLogViewAfterAStopStartsNothing() {
    QTcpServer server;
    auto w = Open();
    SetFields(w.get(), ServerPort(server));
    Control<QPushButton>(w.get(), "ButtonStart")->click();
    QTRY_VERIFY(w->RelayEngine().Started != 0);
    Control<QPushButton>(w.get(), "ButtonStop")->click();
    QVERIFY(w->RelayEngine().Started == 0);
    QTRY_VERIFY(Memo(w.get())->Text().contains(QStringLiteral("Stopped by user")));
    Memo(w.get())->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(Memo(w.get())));
    QTest::keyClick(Memo(w.get()), Qt::Key_Return);
    QTest::keyClick(Memo(w.get()), Qt::Key_Enter);
    QTest::qWait(20);
    QVERIFY(w->RelayEngine().Started == 0);
    QVERIFY(Memo(w.get())->Text().contains(QStringLiteral("Stopped by user")));
    // Enter in an entry field still answers the default button.
    Control<QLineEdit>(w.get(), "EditRemoteHost")->setFocus();
    QTest::keyClick(Control<QLineEdit>(w.get(), "EditRemoteHost"), Qt::Key_Return);
    QTRY_VERIFY(w->RelayEngine().Started != 0);
  }

  void sigtermDuringARunSavesTheSettingsAndEndsTheHtmlLog() {
    QTcpServer server;
    const QString logFile = qEnvironmentVariable("TAPLINE_TEST_HOME") + QStringLiteral("/sigterm.html");
    QFile::remove(logFile);
    auto w = Open();
    SetFields(w.get(), ServerPort(server), logFile);
    Control<QPushButton>(w.get(), "ButtonStart")->click();
    QTRY_VERIFY(w->RelayEngine().Started != 0);
    QVERIFY(UserSettings()->value(QStringLiteral("Log File")).toString().isEmpty());
    ::kill(::getpid(), SIGTERM);
    QTRY_VERIFY(!w->isVisible());
    QVERIFY(w->RelayEngine().Started == 0);
    QCOMPARE(UserSettings()->value(QStringLiteral("Log File")).toString(), logFile);
    QCOMPARE(UserSettings()->value(QStringLiteral("Remote Host")).toString(), QStringLiteral("127.0.0.1"));
    QFile file(logFile);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray html = file.readAll();
    QVERIFY(html.contains("Stopped by user"));
    QVERIFY2(html.endsWith("</body>\r\n</html>\r\n"), html.right(80).constData());
  }

  void sighupWithADialogUpClosesWithoutTheQuestion() {
    QTcpServer server;
    auto w = Open();
    SetFields(w.get(), ServerPort(server));
    Control<QPushButton>(w.get(), "ButtonStart")->click();
    QTRY_VERIFY(w->RelayEngine().Started != 0);
    bool raised = false;
    QTimer::singleShot(0, [&] {
      QVERIFY(QApplication::activeModalWidget() != nullptr);
      raised = true;
      ::kill(::getpid(), SIGHUP);
    });
    Control<QAction>(w.get(), "MenuItemAbout")->trigger();  // returns once the signal has dismissed it
    QVERIFY(raised);
    QTRY_VERIFY(!w->isVisible());
    QVERIFY(w->RelayEngine().Started == 0);
  }

  void qtOptionsGoThroughTheGrammar() {
    // In the program: the usage message, said on standard error before the box is shown.
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(TAPLINE_PATH), {QStringLiteral("h"), QStringLiteral("80"), QStringLiteral("8080"),
                                           QStringLiteral("-reverse")});
    QVERIFY(p.waitForStarted());
    QByteArray said;
    QTRY_VERIFY_WITH_TIMEOUT((said += p.readAllStandardError()).contains("Unknown option -reverse\nUsage: TAPLINE <remote host>") ||
                                 p.state() == QProcess::NotRunning,
                             20000);
    QVERIFY(p.state() == QProcess::Running);  // the usage box is up
    p.kill();
    p.waitForFinished();
    // And the box itself, as the program entry opens it.
    DialogDriver driver;
    for (const char* option : {"-reverse", "-style", "-platform", "-geometry"}) {
      auto w = shell::OpenMainWindow({"h", "80", "8080", option, "fusion"});
      QVERIFY(!w);
    }
    QCOMPARE(driver.boxes.size(), 4u);
    QVERIFY(driver.boxes[0].text.startsWith(QStringLiteral("Unknown option -reverse\nUsage: TAPLINE <remote host>")));
    QCOMPARE(QApplication::layoutDirection(), Qt::LeftToRight);
  }

  void helpAndVersionOnBothPrograms() {
    for (const QString& program : {QStringLiteral(TAPLINE_PATH), QStringLiteral(TAPLINE_CLI_PATH)}) {
      const bool window = !program.endsWith(QStringLiteral("-cli"));
      for (const QString& option : {QStringLiteral("--help"), QStringLiteral("-h")}) {
        Run run = RunProgram(program, {option}, false);
        QCOMPARE(run.exitCode, 0);
        QVERIFY(run.err.isEmpty());
        QVERIFY(run.out.startsWith(window ? QStringLiteral("Usage: tapline <remote host>")
                                          : QStringLiteral("Usage: tapline-cli <remote host>")));
        for (const char* listed : {"-file", "-size", "-detail", "-auto", "-hexonly", "--help", "--version",
                                   "Exit status"}) {
          QVERIFY2(run.out.contains(QString::fromLatin1(listed)), listed);
        }
      }
      Run version = RunProgram(program, {QStringLiteral("--version")}, false);
      QCOMPARE(version.exitCode, 0);
      QVERIFY(version.out.contains(QStringLiteral(" 2.83\n")));
      // After the positional texts too; an option's value is no request.
      Run late = RunProgram(program, {QStringLiteral("h"), QStringLiteral("80"), QStringLiteral("0"), QStringLiteral("--help")}, false);
      QCOMPARE(late.exitCode, 0);
      QVERIFY(late.out.contains(QStringLiteral("Usage: ")));
    }
  }

  void eachAltKeyReachesOneTarget() {
    auto w = Open();
    std::map<QChar, QStringList> targets;
    for (QAction* menu : Control<QMenuBar>(w.get(), "MainMenu1")->actions()) {
      if (!Mnemonic(menu->text()).isNull()) targets[Mnemonic(menu->text())].append(menu->text());
    }
    for (QWidget* c : w->findChildren<QWidget*>()) {
      if (!c->isVisibleTo(w.get())) continue;
      QString text;
      if (auto* label = qobject_cast<QLabel*>(c); label && label->buddy()) text = label->text();
      if (auto* button = qobject_cast<QAbstractButton*>(c)) text = button->text();
      if (auto* group = qobject_cast<QGroupBox*>(c)) text = group->title();
      if (!Mnemonic(text).isNull()) targets[Mnemonic(text)].append(text);
    }
    for (const auto& [key, captions] : targets) QVERIFY2(captions.size() == 1, qPrintable(captions.join(u',')));
    QCOMPARE(Control<QMenu>(w.get(), "MenuAction")->title(), QStringLiteral("A&ction"));
    QCOMPARE(Control<QGroupBox>(w.get(), "GroupBoxParameters")->title(), QStringLiteral("Para&meters"));
    // Alt+P reaches the Remote Port field, Alt+M the parameters' first field, Alt+A pauses a run.
    Memo(w.get())->setFocus();
    QTest::keyClick(w.get(), Qt::Key_M, Qt::AltModifier);
    QCOMPARE(QApplication::focusWidget(), Control<QWidget>(w.get(), "EditRemoteHost"));
    QTest::keyClick(w.get(), Qt::Key_P, Qt::AltModifier);
    QCOMPARE(QApplication::focusWidget(), Control<QWidget>(w.get(), "EditRemotePort"));
    QTcpServer server;
    SetFields(w.get(), ServerPort(server));
    Control<QPushButton>(w.get(), "ButtonStart")->click();
    QTRY_VERIFY(w->RelayEngine().Started != 0);
    // A button's Alt key clicks it (after the click's animation); an ambiguous one would only focus it.
    QTest::keyClick(w.get(), Qt::Key_A, Qt::AltModifier);
    QVERIFY(QApplication::focusWidget() != Control<QWidget>(w.get(), "ButtonPause"));
    QTRY_VERIFY(w->RelayEngine().Paused != 0);
    QCOMPARE(w->StatusText(2), QStringLiteral("Paused"));
    // Ctrl+Q quits, as Exit does (here with the close question, answered No).
    DialogDriver driver(QMessageBox::No);
    QTest::keyClick(w.get(), Qt::Key_Q, Qt::ControlModifier);
    QCOMPARE(driver.boxes.size(), 1u);
    QVERIFY(w->isVisible());
    Control<QPushButton>(w.get(), "ButtonStop")->click();
    QVERIFY(w->RelayEngine().Started == 0);
    w->activateWindow();  // the offscreen platform does not give it back after the box
    QVERIFY(QTest::qWaitForWindowActive(w.get()));
    QTest::keyClick(w.get(), Qt::Key_Q, Qt::ControlModifier);
    QVERIFY(!w->isVisible());
  }

  void findAndFilter() {
    auto w = Open();
    auto* memo = Memo(w.get());
    Insert(w.get(), "12/08/26 13:00:00.000; Local Port (8080) opened\r\n", log::MessageLine);
    Insert(w.get(), "12/08/26 13:00:01.000; 5: Client connected; 127.0.0.1:40000\r\n", log::MessageLine);
    Insert(w.get(), "12/08/26 13:00:01.000; 7: Client connected; 127.0.0.1:40002\r\n", log::MessageLine);
    Insert(w.get(), "12/08/26 13:00:01.001; 5: Client to Server (16 bytes)\r\n", log::InformLine);
    Insert(w.get(), "GET / HTTP/1.1\r\n", log::DataLine);
    Insert(w.get(), "12/08/26 13:00:01.002; 7: Client to Server (20 bytes)\r\n", log::InformLine);
    Insert(w.get(), "get /index HTTP/1.1\r\n", log::DataLine);

    QTest::keyClick(w.get(), Qt::Key_F, Qt::ControlModifier);
    auto* bar = Control<QWidget>(w.get(), "FindBar");
    QVERIFY(bar->isVisible());
    auto* text = Control<QLineEdit>(w.get(), "FindText");
    QCOMPARE(QApplication::focusWidget(), text);
    auto* count = Control<QLabel>(w.get(), "FindCount");
    QTest::keyClicks(text, QStringLiteral("get"));
    QCOMPARE(count->text(), QStringLiteral("1 of 2"));
    QCOMPARE(memo->textCursor().selectedText(), QStringLiteral("GET"));
    QTest::keyClick(w.get(), Qt::Key_F3);
    QCOMPARE(count->text(), QStringLiteral("2 of 2"));
    QCOMPARE(memo->textCursor().selectedText(), QStringLiteral("get"));
    QTest::keyClick(w.get(), Qt::Key_F3);
    QCOMPARE(count->text(), QStringLiteral("1 of 2, wrapped"));
    QTest::keyClick(w.get(), Qt::Key_F3, Qt::ShiftModifier);
    QCOMPARE(count->text(), QStringLiteral("2 of 2, wrapped"));
    // Enter in the find text finds the next match and starts nothing.
    QTest::keyClick(text, Qt::Key_Return);
    QCOMPARE(count->text(), QStringLiteral("1 of 2, wrapped"));
    QVERIFY(w->RelayEngine().Started == 0);
    Control<QCheckBox>(w.get(), "FindCase")->setChecked(true);
    QTest::keyClick(w.get(), Qt::Key_F3);
    QCOMPARE(count->text(), QStringLiteral("1 of 1"));
    QCOMPARE(memo->textCursor().selectedText(), QStringLiteral("get"));
    text->setText(QStringLiteral("nowhere"));
    QTest::keyClick(w.get(), Qt::Key_F3);
    QCOMPARE(count->text(), QStringLiteral("No matches"));
    Control<QCheckBox>(w.get(), "FindCase")->setChecked(false);

    // One connection: its time-stamped lines and the data lines after them.
    auto* mode = Control<QComboBox>(w.get(), "FilterMode");
    auto* socket = Control<QSpinBox>(w.get(), "FilterSocket");
    socket->setValue(7);
    mode->setCurrentIndex(2);
    QCOMPARE(ShownLines(memo), (QStringList{QStringLiteral("12/08/26 13:00:01.000; 7: Client connected; 127.0.0.1:40002"),
                                            QStringLiteral("12/08/26 13:00:01.002; 7: Client to Server (20 bytes)"),
                                            QStringLiteral("get /index HTTP/1.1")}));
    text->setText(QStringLiteral("get"));
    QTest::keyClick(w.get(), Qt::Key_F3);
    QCOMPARE(count->text(), QStringLiteral("1 of 1, wrapped"));
    // Lines that arrive while the filter is on are filtered too.
    Insert(w.get(), "12/08/26 13:00:02.000; 5: Client disconnected\r\n", log::MessageLine);
    Insert(w.get(), "12/08/26 13:00:02.000; 7: Client disconnected\r\n", log::MessageLine);
    QCOMPARE(ShownLines(memo).size(), 4);
    QCOMPARE(ShownLines(memo).last(), QStringLiteral("12/08/26 13:00:02.000; 7: Client disconnected"));
    socket->setValue(5);
    QCOMPARE(ShownLines(memo).size(), 4);
    QCOMPARE(ShownLines(memo).at(2), QStringLiteral("GET / HTTP/1.1"));
    // No data lines.
    mode->setCurrentIndex(1);
    QCOMPARE(ShownLines(memo).size(), 7);
    QVERIFY(!ShownLines(memo).join(u'\n').contains(QStringLiteral("HTTP/1.1")));
    // Esc closes the bar and shows every line again.
    QTest::keyClick(text, Qt::Key_Escape);
    QVERIFY(!bar->isVisible());
    QCOMPARE(ShownLines(memo).size(), 9);
    QCOMPARE(memo->Filter(), shell::LogMemo::LineFilter::All);
  }

  void placeAndMaximisedStateAreRestored() {
    {
      auto s = UserSettings();
      s->setValue(QStringLiteral("Width"), 640);
      s->setValue(QStringLiteral("Height"), 420);
      s->setValue(QStringLiteral("Left"), 30);
      s->setValue(QStringLiteral("Top"), 40);
    }
    auto w = Open();
    QCOMPARE(w->pos(), QPoint(30, 40));
    QVERIFY(!w->isMaximized());
    w->move(50, 60);
    w->showMaximized();
    QTRY_VERIFY(w->isMaximized());
    w->close();
    auto s = UserSettings();
    QCOMPARE(s->value(QStringLiteral("Maximized")).toInt(), 1);
    QCOMPARE(s->value(QStringLiteral("Width")).toInt(), 640);
    QCOMPARE(s->value(QStringLiteral("Height")).toInt(), 420);
    auto again = Open();
    QVERIFY(again->isMaximized());
  }

  void helpPageIsFoundWhereLinuxKeepsIt() {
    // Not beside the program (the test's folder) but under the data folder's doc/tapline/, as
    // share/doc/tapline/ of an installation is.
    const QString folder = qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/doc/tapline");
    QDir().mkpath(folder);
    QFile page(folder + QStringLiteral("/tapline.html"));
    QVERIFY(page.open(QIODevice::WriteOnly));
    page.write("<html></html>");
    page.close();
    UrlCatcher urls;
    auto w = Open();
    QTest::keyClick(w.get(), Qt::Key_F1);
    QCOMPARE(urls.opened, QList<QUrl>{QUrl::fromLocalFile(folder + QStringLiteral("/tapline.html"))});
    QFile::remove(folder + QStringLiteral("/tapline.html"));
  }

  void connectionOptionsReachTheRunAndTheSettings() {
    QTcpServer server;
    QTemporaryDir dir;
    const QString capture = dir.filePath(QStringLiteral("run.pcapng"));
    {
      auto w = Open();
      SetFields(w.get(), ServerPort(server));
      // The dialog is modal: fill it in from the event loop once it is up.
      bool filled = false;
      QTimer::singleShot(50, [&] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        QVERIFY(dialog != nullptr && dialog->objectName() == QStringLiteral("ConnectionOptionsDialog"));
        dialog->findChild<QLineEdit*>(QStringLiteral("EditListenAddress"))->setText(QStringLiteral("127.0.0.1"));
        dialog->findChild<QLineEdit*>(QStringLiteral("EditCaptureFile"))->setText(capture);
        dialog->findChild<QSpinBox*>(QStringLiteral("SpinConnectTimeout"))->setValue(7);
        filled = true;
        dialog->accept();
      });
      Control<QAction>(w.get(), "MenuItemConnectionOptions")->trigger();
      QVERIFY(filled);
      Control<QAction>(w.get(), "MenuItemRewriteHost")->trigger();  // off
      Control<QPushButton>(w.get(), "ButtonStart")->click();
      QTRY_VERIFY(w->RelayEngine().ListenSocket != winsock::INVALID_SOCKET);
      QTRY_VERIFY(Memo(w.get())->Text().contains(QStringLiteral(") opened on 127.0.0.1")));
      QVERIFY(QFile::exists(capture));
      Control<QPushButton>(w.get(), "ButtonStop")->click();
      w->close();
    }
    // The next window starts with them.
    auto w = Open();
    QVERIFY(!Control<QAction>(w.get(), "MenuItemRewriteHost")->isChecked());
    QTimer::singleShot(50, [&] {
      auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
      QVERIFY(dialog != nullptr);
      QCOMPARE(dialog->findChild<QLineEdit*>(QStringLiteral("EditListenAddress"))->text(), QStringLiteral("127.0.0.1"));
      QCOMPARE(dialog->findChild<QLineEdit*>(QStringLiteral("EditCaptureFile"))->text(), capture);
      QCOMPARE(dialog->findChild<QSpinBox*>(QStringLiteral("SpinConnectTimeout"))->value(), 7);
      dialog->reject();
    });
    Control<QAction>(w.get(), "MenuItemConnectionOptions")->trigger();
  }

  void homePageThatCannotBeOpenedIsSaid() {
    // No handler and no desktop here: the platform cannot hand the address to a browser.
    auto w = Open();
    DialogDriver driver;
    Control<QAction>(w.get(), "MenuItemHomePage")->trigger();
    if (driver.boxes.empty()) QSKIP("this platform opened the address");
    QVERIFY(driver.boxes[0].text.contains(QStringLiteral("http://www.fenwold.example/tapline/")));
  }
};

TAPLINE_WINDOW_TEST_MAIN(DesktopTest)
#include "desktop_test.moc"
