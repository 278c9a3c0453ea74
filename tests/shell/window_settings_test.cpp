// Start-up and shut-down of the main window: the saved settings (read, normalised, written back), the
// installation folder, the command line and its usage box, and the start-up failure of the sockets.
#include <QAction>
#include <QCoreApplication>
#include <QFile>
#include <QLineEdit>

#include "tests/shell/window_fixture.h"

using namespace tapline;
using namespace tapline::test;

namespace {

QByteArray FileBytes(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

const char* const SizeItems[] = {"32KB", "128KB", "512KB", "2MB", "Unlimited"};
const char* const DetailItems[] = {"Low", "Medium", "High"};

// The one checked size item, which must be the same in both menus.
QString CheckedSize(TForm1* w) {
  QString found;
  for (const char* key : SizeItems) {
    bool main = Control<QAction>(w, (QByteArray("MMenuItem") + key).constData())->isChecked();
    bool popup = Control<QAction>(w, (QByteArray("MenuItem") + key).constData())->isChecked();
    if (main != popup) return QStringLiteral("menus differ at ") + key;
    if (main) found += QString::fromLatin1(key);
  }
  return found;
}

QString CheckedDetail(TForm1* w) {
  QString found;
  for (const char* key : DetailItems) {
    bool main = Control<QAction>(w, (QByteArray("MMenuItem") + key).constData())->isChecked();
    bool popup = Control<QAction>(w, (QByteArray("Menu") + key).constData())->isChecked();
    if (main != popup) return QStringLiteral("menus differ at ") + key;
    if (main) found += QString::fromLatin1(key);
  }
  return found;
}

QString Field(TForm1* w, const char* name) { return Control<QLineEdit>(w, name)->text(); }

}  // namespace

class WindowSettingsTest : public QObject {
  Q_OBJECT

 private slots:
  void init() { ForgetSettings(); }

  void defaultsWithoutSettings() {
    auto w = Open();
    QCOMPARE(w->BufferSize(), 32768);
    QCOMPARE(w->DetailLevel(), 2u);
    QCOMPARE(CheckedSize(w.get()), QStringLiteral("32KB"));
    QCOMPARE(CheckedDetail(w.get()), QStringLiteral("High"));
    QVERIFY(!Control<QAction>(w.get(), "MenuItemHexOnly")->isChecked());
    QVERIFY(!Memo(w.get())->Wrap());
    QCOMPARE(w->size(), QSize(630, 410));
    for (const char* name : {"EditRemoteHost", "EditRemotePort", "EditLocalPort", "EditLogFile"}) {
      QCOMPARE(Field(w.get(), name), QString());
    }
  }

  void bufferSizeIsNormalised_data() {
    QTest::addColumn<QVariant>("saved");
    QTest::addColumn<int>("used");
    QTest::addColumn<QString>("checked");
    QTest::newRow("100") << QVariant(100) << 32768 << "32KB";
    QTest::newRow("0") << QVariant(0) << 32768 << "32KB";
    QTest::newRow("32768") << QVariant(32768) << 32768 << "32KB";
    QTest::newRow("32769") << QVariant(32769) << 131072 << "128KB";
    QTest::newRow("131072") << QVariant(131072) << 131072 << "128KB";
    QTest::newRow("131073") << QVariant(131073) << 524288 << "512KB";
    QTest::newRow("524289") << QVariant(524289) << 2097152 << "2MB";
    QTest::newRow("600000") << QVariant(600000) << 2097152 << "2MB";
    QTest::newRow("-5") << QVariant(-5) << -1 << "Unlimited";
    QTest::newRow("-1 as text") << QVariant(QStringLiteral("-1")) << -1 << "Unlimited";
    QTest::newRow("beyond int32") << QVariant(QStringLiteral("4294967296")) << 32768 << "32KB";
    QTest::newRow("no number") << QVariant(QStringLiteral("big")) << 32768 << "32KB";
  }

  void bufferSizeIsNormalised() {
    QFETCH(QVariant, saved);
    QFETCH(int, used);
    QFETCH(QString, checked);
    UserSettings()->setValue(QStringLiteral("Buffer Size"), saved);
    auto w = Open();
    QCOMPARE(w->BufferSize(), used);
    QCOMPARE(CheckedSize(w.get()), checked);
  }

  void detailAboveTwoChecksHighAndStays() {
    UserSettings()->setValue(QStringLiteral("Detail"), 7);
    auto w = Open();
    QCOMPARE(CheckedDetail(w.get()), QStringLiteral("High"));
    QCOMPARE(w->DetailLevel(), 7u);
    QVERIFY(w->close());
    QCOMPARE(UserSettings()->value(QStringLiteral("Detail")).toInt(), 7);
  }

  void detailOutOfRangeIsAbsent() {
    UserSettings()->setValue(QStringLiteral("Detail"), -1);
    auto w = Open();
    QCOMPARE(w->DetailLevel(), 2u);
  }

  void allTenValuesAreRead() {
    {
      auto s = UserSettings();
      s->setValue(QStringLiteral("Width"), 700);
      s->setValue(QStringLiteral("Height"), 500);
      s->setValue(QStringLiteral("Buffer Size"), 524288);
      s->setValue(QStringLiteral("Detail"), 1);
      s->setValue(QStringLiteral("Remote Host"), QStringLiteral("server.example"));
      s->setValue(QStringLiteral("Remote Port"), QStringLiteral("8080"));
      s->setValue(QStringLiteral("Local Port"), QStringLiteral("9090"));
      s->setValue(QStringLiteral("Log File"), QStringLiteral("/tmp/tapline log.html"));
      s->setValue(QStringLiteral("Hex Only"), 1);
      s->setValue(QStringLiteral("Wrap"), 1);
    }
    auto w = Open();
    QCOMPARE(w->size(), QSize(700, 500));
    QCOMPARE(w->BufferSize(), 524288);
    QCOMPARE(CheckedSize(w.get()), QStringLiteral("512KB"));
    QCOMPARE(CheckedDetail(w.get()), QStringLiteral("Medium"));
    QCOMPARE(Field(w.get(), "EditRemoteHost"), QStringLiteral("server.example"));
    QCOMPARE(Field(w.get(), "EditRemotePort"), QStringLiteral("8080"));
    QCOMPARE(Field(w.get(), "EditLocalPort"), QStringLiteral("9090"));
    QCOMPARE(Field(w.get(), "EditLogFile"), QStringLiteral("/tmp/tapline log.html"));
    QVERIFY(Control<QAction>(w.get(), "MenuItemHexOnly")->isChecked());
    QCOMPARE(w->RelayEngine().HexOnly, 1);
    QVERIFY(Memo(w.get())->Wrap());
    QVERIFY(Control<QAction>(w.get(), "MMenuItemWrap")->isChecked());
    QVERIFY(Control<QAction>(w.get(), "MenuWrap")->isChecked());
  }

  void textsBeyondTheirLimitsAreIgnored() {
    {
      auto s = UserSettings();
      s->setValue(QStringLiteral("Remote Host"), QString(64, u'h'));
      s->setValue(QStringLiteral("Remote Port"), QStringLiteral("12345678"));
      s->setValue(QStringLiteral("Local Port"), QStringLiteral("1234567"));
      s->setValue(QStringLiteral("Log File"), QString(256, u'f'));
    }
    auto w = Open();
    QCOMPARE(Field(w.get(), "EditRemoteHost"), QString());
    QCOMPARE(Field(w.get(), "EditRemotePort"), QString());
    QCOMPARE(Field(w.get(), "EditLocalPort"), QStringLiteral("1234567"));
    QCOMPARE(Field(w.get(), "EditLogFile"), QString());
    // 63 characters still fit.
    UserSettings()->setValue(QStringLiteral("Remote Host"), QString(63, u'h'));
    w.reset();
    w = Open();
    QCOMPARE(Field(w.get(), "EditRemoteHost"), QString(63, u'h'));
  }

  void settingsAreSavedOnClose() {
    auto w = Open();
    w->resize(720, 480);
    Control<QLineEdit>(w.get(), "EditRemoteHost")->setText(QStringLiteral("example.net"));
    Control<QLineEdit>(w.get(), "EditRemotePort")->setText(QStringLiteral("443"));
    Control<QLineEdit>(w.get(), "EditLocalPort")->setText(QStringLiteral("8443"));
    Control<QLineEdit>(w.get(), "EditLogFile")->setText(QStringLiteral("/tmp/x.txt"));
    Control<QAction>(w.get(), "MMenuItem2MB")->trigger();
    Control<QAction>(w.get(), "MenuLow")->trigger();
    Control<QAction>(w.get(), "MenuItemHexOnly")->trigger();
    Control<QAction>(w.get(), "MenuWrap")->trigger();
    Control<QAction>(w.get(), "MenuItemExit")->trigger();
    QVERIFY(!w->isVisible());
    auto s = UserSettings();
    QCOMPARE(s->value(QStringLiteral("Width")).toInt(), 720);
    QCOMPARE(s->value(QStringLiteral("Height")).toInt(), 480);
    QCOMPARE(s->value(QStringLiteral("Buffer Size")).toInt(), 2097152);
    QCOMPARE(s->value(QStringLiteral("Detail")).toInt(), 0);
    QCOMPARE(s->value(QStringLiteral("Remote Host")).toString(), QStringLiteral("example.net"));
    QCOMPARE(s->value(QStringLiteral("Remote Port")).toString(), QStringLiteral("443"));
    QCOMPARE(s->value(QStringLiteral("Local Port")).toString(), QStringLiteral("8443"));
    QCOMPARE(s->value(QStringLiteral("Log File")).toString(), QStringLiteral("/tmp/x.txt"));
    QCOMPARE(s->value(QStringLiteral("Hex Only")).toInt(), 1);
    QCOMPARE(s->value(QStringLiteral("Wrap")).toInt(), 1);
    // ... and a new window comes up with them.
    w.reset();
    w = Open();
    QCOMPARE(w->size(), QSize(720, 480));
    QCOMPARE(CheckedSize(w.get()), QStringLiteral("2MB"));
    QCOMPARE(CheckedDetail(w.get()), QStringLiteral("Low"));
    QCOMPARE(Field(w.get(), "EditLocalPort"), QStringLiteral("8443"));
  }

  void overlongTextsAreNotSaved() {
    UserSettings()->setValue(QStringLiteral("Local Port"), QStringLiteral("8080"));
    auto w = Open();
    // The Local Port field has no typing limit, so a longer text can reach the save.
    Control<QLineEdit>(w.get(), "EditLocalPort")->setText(QStringLiteral("123456789"));
    QVERIFY(w->close());
    QVERIFY(!UserSettings()->contains(QStringLiteral("Local Port")));
    w.reset();
    w = Open();
    QCOMPARE(Field(w.get(), "EditLocalPort"), QString());
  }

  void typingLimitsLeaveLongerProgramTextsWhole() {
    std::string host(70, 'a');
    auto w = Open({host, "80", "0"});
    auto* edit = Control<QLineEdit>(w.get(), "EditRemoteHost");
    QCOMPARE(edit->text().size(), 70);
    edit->clear();
    edit->setFocus();
    QTest::keyClicks(edit, QString(70, u'b'));
    QCOMPARE(edit->text(), QString(63, u'b'));
    auto* port = Control<QLineEdit>(w.get(), "EditRemotePort");
    port->clear();
    QTest::keyClicks(port, QStringLiteral("1234567890"));
    QCOMPARE(port->text(), QStringLiteral("1234567"));
    auto* local = Control<QLineEdit>(w.get(), "EditLocalPort");
    local->clear();
    QTest::keyClicks(local, QStringLiteral("1234567890"));
    QCOMPARE(local->text(), QStringLiteral("1234567890"));
  }

  void usageErrors_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("problem");
    QTest::newRow("two arguments") << QStringList{"host", "80"} << "Missing <local port>";
    QTest::newRow("one argument") << QStringList{"host"} << "Missing <remote port> <local port>";
    QTest::newRow("-size 64KB") << QStringList{"host", "80", "8080", "-size", "64KB"}
                                << "-size needs one of 32KB, 128KB, 512KB, 2MB, Unlimited (got 64KB)";
    QTest::newRow("-size unlimited") << QStringList{"host", "80", "8080", "-size", "unlimited"}
                                     << "-size needs one of 32KB, 128KB, 512KB, 2MB, Unlimited (got unlimited)";
    QTest::newRow("-file without value") << QStringList{"host", "80", "8080", "-file"} << "-file needs a file name";
    QTest::newRow("-detail high") << QStringList{"host", "80", "8080", "-detail", "high"}
                                  << "-detail needs one of Low, Medium, High (got high)";
    QTest::newRow("unknown option") << QStringList{"host", "80", "8080", "-verbose"} << "Unknown option -verbose";
  }

  void usageErrors() {
    QFETCH(QStringList, args);
    QFETCH(QString, problem);
    UserSettings()->setValue(QStringLiteral("Remote Host"), QStringLiteral("kept"));
    const QString path = UserSettings()->fileName();
    const QByteArray before = FileBytes(path);
    std::vector<std::string> argv;
    for (const QString& a : args) argv.push_back(a.toStdString());
    DialogDriver driver;
    auto w = shell::OpenMainWindow(argv);
    QVERIFY(!w);
    QCOMPARE(driver.boxes.size(), std::size_t{1});
    QCOMPARE(driver.boxes[0].title, QStringLiteral("Tapline"));
    QCOMPARE(driver.boxes[0].icon, QMessageBox::Critical);
    // What is wrong on the first line, the usage after it.
    QVERIFY2(driver.boxes[0].text.startsWith(
                 problem + QStringLiteral("\nUsage: TAPLINE <remote host> <remote port> <local port> [-file <log file>] ")),
             qPrintable(driver.boxes[0].text));
    QVERIFY(driver.boxes[0].text.contains(
        QStringLiteral("[-size 32KB|128KB|512KB|2MB|Unlimited] [-detail Low|Medium|High] [-auto] [-hexonly]")));
    QVERIFY(driver.boxes[0].text.endsWith(QStringLiteral("].")));
    QCOMPARE(driver.boxes[0].buttons, QList<QMessageBox::StandardButton>{QMessageBox::Ok});
    QCOMPARE(FileBytes(path), before);
    // No window of ours was ever shown.
    for (QWidget* top : QApplication::topLevelWidgets()) QVERIFY(qobject_cast<TForm1*>(top) == nullptr);
  }

  void positionalArgumentsKeepTheOtherSavedSettings() {
    {
      auto s = UserSettings();
      s->setValue(QStringLiteral("Remote Host"), QStringLiteral("saved.example"));
      s->setValue(QStringLiteral("Log File"), QStringLiteral("/tmp/saved.htm"));
      s->setValue(QStringLiteral("Buffer Size"), 131072);
      s->setValue(QStringLiteral("Detail"), 0);
      s->setValue(QStringLiteral("Hex Only"), 1);
    }
    auto w = Open({"given.example", "81", "8081"});
    QCOMPARE(Field(w.get(), "EditRemoteHost"), QStringLiteral("given.example"));
    QCOMPARE(Field(w.get(), "EditRemotePort"), QStringLiteral("81"));
    QCOMPARE(Field(w.get(), "EditLocalPort"), QStringLiteral("8081"));
    QCOMPARE(Field(w.get(), "EditLogFile"), QStringLiteral("/tmp/saved.htm"));
    QCOMPARE(CheckedSize(w.get()), QStringLiteral("128KB"));
    QCOMPARE(CheckedDetail(w.get()), QStringLiteral("Low"));
    QVERIFY(Control<QAction>(w.get(), "MenuItemHexOnly")->isChecked());
    QCOMPARE(w->AutoStart(), 0);
  }

  void optionsOverrideSavedSettings() {
    UserSettings()->setValue(QStringLiteral("Log File"), QStringLiteral("/tmp/saved.htm"));
    UserSettings()->setValue(QStringLiteral("Detail"), 0);
    auto w = Open({"h", "1", "2", "-file", "-first.txt", "-size", "Unlimited", "-detail", "Medium", "-size", "2MB",
                   "-hexonly"});
    QCOMPARE(Field(w.get(), "EditLogFile"), QStringLiteral("-first.txt"));
    QCOMPARE(CheckedSize(w.get()), QStringLiteral("2MB"));
    QCOMPARE(w->BufferSize(), 2097152);
    QCOMPARE(CheckedDetail(w.get()), QStringLiteral("Medium"));
    QCOMPARE(w->RelayEngine().HexOnly, 1);
  }

  void startUpFailureShowsErrorAndSaves() {
    auto w = std::make_unique<TForm1>(engine::CommandLine{});
    Control<QLineEdit>(w.get(), "EditRemoteHost")->setText(QStringLiteral("after.failure"));
    DialogDriver driver;
    w->StartUpFailed(10091);
    QCOMPARE(driver.boxes.size(), std::size_t{1});
    QCOMPARE(driver.boxes[0].title, QStringLiteral("Error"));
    QCOMPARE(driver.boxes[0].text, QStringLiteral("Network subsystem is unavailable"));
    QCOMPARE(driver.boxes[0].icon, QMessageBox::Critical);
    QCOMPARE(driver.boxes[0].buttons, QList<QMessageBox::StandardButton>{QMessageBox::Ok});
    QVERIFY(!w->isVisible());
    QCOMPARE(UserSettings()->value(QStringLiteral("Remote Host")).toString(), QStringLiteral("after.failure"));
  }

  void installDirFromTheMachineSettings() {
    MachineSettings()->setValue(QStringLiteral("InstallDir"), QStringLiteral("/opt/tapline"));
    auto w = Open();
    QCOMPARE(w->InstallDir(), QStringLiteral("/opt/tapline"));
    w.reset();
    // Too long, or absent: the program's own folder.
    MachineSettings()->setValue(QStringLiteral("InstallDir"), QString(260, u'd'));
    w = Open();
    QCOMPARE(w->InstallDir(), QCoreApplication::applicationDirPath());
    w.reset();
    MachineSettings()->clear();
    w = Open();
    QCOMPARE(w->InstallDir(), QCoreApplication::applicationDirPath());
  }

  void userSettingsIgnoreTheMachineStore() {
    MachineSettings()->setValue(QStringLiteral("Remote Host"), QStringLiteral("machine.example"));
    auto w = Open();
    QCOMPARE(Field(w.get(), "EditRemoteHost"), QString());
  }
};

TAPLINE_WINDOW_TEST_MAIN(WindowSettingsTest)
#include "window_settings_test.moc"
