// The main window's commands: edit commands and their enabling by focus, the log view's pop-up menu,
// Hex Only, Browse, Help > Contents, the home page and the About box.
#include <QAction>
#include <QContextMenuEvent>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QTcpServer>
#include <QTextCursor>
#include <QToolButton>

#include "shell/about_box.h"
#include "tests/shell/window_fixture.h"

using namespace tapline;
using namespace tapline::test;

namespace {

struct Enabled {
  bool undo, cut, copy, paste, selectAll;
};

// The edit commands once the idle update has run: menu items and tool buttons must agree.
Enabled EditCommands(TForm1* w) {
  QTest::qWait(1);  // lets the zero-time idle update run
  QApplication::processEvents();
  Enabled e{Control<QAction>(w, "MenuItemUndo")->isEnabled(), Control<QAction>(w, "MenuItemCut")->isEnabled(),
            Control<QAction>(w, "MenuItemCopy")->isEnabled(), Control<QAction>(w, "MenuItemPaste")->isEnabled(),
            Control<QAction>(w, "MenuItemSelectAll")->isEnabled()};
  if (Control<QToolButton>(w, "SpeedButtonCut")->isEnabled() != e.cut ||
      Control<QToolButton>(w, "SpeedButtonCopy")->isEnabled() != e.copy ||
      Control<QToolButton>(w, "SpeedButtonPaste")->isEnabled() != e.paste) {
    qWarning("tool buttons and menu items disagree");
    return Enabled{true, true, true, true, true};
  }
  return e;
}

QString Describe(const Enabled& e) {
  return QStringLiteral("undo=%1 cut=%2 copy=%3 paste=%4 selectAll=%5")
      .arg(e.undo).arg(e.cut).arg(e.copy).arg(e.paste).arg(e.selectAll);
}

QString Expect(bool undo, bool cut, bool copy, bool paste, bool selectAll) {
  return Describe(Enabled{undo, cut, copy, paste, selectAll});
}

void Insert(TForm1* w, const std::string& text) { w->InsertAtEnd(text.data(), text.size(), log::DataLine); }

// A right-click on the log view, as the window system reports it.
void RightClick(shell::LogMemo* memo) {
  QPoint at(20, 20);
  QContextMenuEvent e(QContextMenuEvent::Mouse, at, memo->viewport()->mapToGlobal(at));
  QApplication::sendEvent(memo->viewport(), &e);
}

}  // namespace

class WindowCommandsTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    ForgetSettings();
    QApplication::clipboard()->clear();
  }

  void editCommandsInAnEntryField() {
    auto w = Open();
    auto* host = Control<QLineEdit>(w.get(), "EditRemoteHost");
    host->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(host));
    // Empty field, empty clipboard: nothing to do.
    QCOMPARE(Describe(EditCommands(w.get())), Expect(false, false, false, false, false));
    QTest::keyClicks(host, QStringLiteral("relay.example"));
    QCOMPARE(Describe(EditCommands(w.get())), Expect(true, false, false, false, true));
    host->setSelection(0, 6);
    QCOMPARE(Describe(EditCommands(w.get())), Expect(true, true, true, false, true));
    // Ctrl+X cuts the selection.
    QTest::keyClick(host, Qt::Key_X, Qt::ControlModifier);
    QCOMPARE(host->text(), QStringLiteral("example"));
    QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("relay."));
    QCOMPARE(Describe(EditCommands(w.get())), Expect(true, false, false, true, true));
    // Select All through the menu, then it has nothing left to do.
    Control<QAction>(w.get(), "MenuItemSelectAll")->trigger();
    QCOMPARE(host->selectedText(), QStringLiteral("example"));
    QCOMPARE(Describe(EditCommands(w.get())), Expect(true, true, true, true, false));
    // Paste through the tool button replaces the selection; Undo through the menu takes it back.
    Control<QToolButton>(w.get(), "SpeedButtonPaste")->click();
    QCOMPARE(host->text(), QStringLiteral("relay."));
    Control<QAction>(w.get(), "MenuItemUndo")->trigger();
    QCOMPARE(host->text(), QStringLiteral("example"));
    // Copy and Cut through the tool buttons act on the focused field.
    host->setSelection(0, 3);
    Control<QToolButton>(w.get(), "SpeedButtonCopy")->click();
    QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("exa"));
    Control<QToolButton>(w.get(), "SpeedButtonCut")->click();
    QCOMPARE(host->text(), QStringLiteral("mple"));
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(host));
  }

  void editCommandsInTheLogView() {
    auto w = Open();
    QApplication::clipboard()->setText(QStringLiteral("on the clipboard"));
    Insert(w.get(), "first line\r\nsecond line\r\n");
    auto* memo = Memo(w.get());
    memo->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(memo));
    // Read-only: no cut, no paste, even with text on the clipboard.
    QCOMPARE(Describe(EditCommands(w.get())), Expect(false, false, false, false, true));
    QTextCursor selection(memo->document());
    selection.setPosition(6);
    selection.setPosition(10, QTextCursor::KeepAnchor);
    memo->setTextCursor(selection);
    QCOMPARE(Describe(EditCommands(w.get())), Expect(false, false, true, false, true));
    Control<QAction>(w.get(), "MenuItemCopy")->trigger();
    QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("line"));
    Control<QAction>(w.get(), "MenuItemSelectAll")->trigger();
    QCOMPARE(memo->SelectionLength(), memo->CharacterCount());
    QCOMPARE(Describe(EditCommands(w.get())), Expect(false, false, true, false, false));
  }

  void editCommandsOnAButton() {
    auto w = Open();
    QApplication::clipboard()->setText(QStringLiteral("text"));
    Insert(w.get(), "some log\r\n");
    auto* browse = Control<QPushButton>(w.get(), "ButtonBrowse");
    browse->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(browse));
    QCOMPARE(Describe(EditCommands(w.get())), Expect(false, false, false, false, false));
  }

  void clipboardChangesPasteEnabling() {
    auto w = Open();
    auto* port = Control<QLineEdit>(w.get(), "EditRemotePort");
    port->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(port));
    QVERIFY(!EditCommands(w.get()).paste);
    QApplication::clipboard()->setText(QStringLiteral("8080"));
    QTRY_VERIFY(Control<QAction>(w.get(), "MenuItemPaste")->isEnabled());
  }

  void readOnlyFieldsWhileRunning() {
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    auto w = Open({"127.0.0.1", std::to_string(server.serverPort()), "0"});
    QApplication::clipboard()->setText(QStringLiteral("text"));
    Control<QPushButton>(w.get(), "ButtonStart")->click();
    QVERIFY(w->RelayEngine().Started != 0);
    auto* host = Control<QLineEdit>(w.get(), "EditRemoteHost");
    host->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(host));
    host->setSelection(0, 3);
    QCOMPARE(Describe(EditCommands(w.get())), Expect(false, false, true, false, true));
    QTest::keyClick(host, Qt::Key_X, Qt::ControlModifier);
    QCOMPARE(host->text(), QStringLiteral("127.0.0.1"));
  }

  void popupMenuEnabling() {
    auto w = Open();
    auto* memo = Memo(w.get());
    auto* popup = Control<QMenu>(w.get(), "PopupMenu1");
    auto* copy = Control<QAction>(w.get(), "MenuCopy");
    auto* selectAll = Control<QAction>(w.get(), "MenuSelectAll");
    // Right-click on an empty view.
    RightClick(memo);
    QTRY_VERIFY(popup->isVisible());
    QVERIFY(!copy->isEnabled());
    QVERIFY(!selectAll->isEnabled());
    popup->close();
    Insert(w.get(), "abc\r\ndef\r\n");
    RightClick(memo);
    QTRY_VERIFY(popup->isVisible());
    QVERIFY(!copy->isEnabled());
    QVERIFY(selectAll->isEnabled());
    popup->close();
    // The pop-up's commands act on the log view whatever has the focus.
    Control<QLineEdit>(w.get(), "EditLogFile")->setFocus();
    selectAll->trigger();
    QCOMPARE(memo->SelectionLength(), memo->CharacterCount());
    RightClick(memo);
    QTRY_VERIFY(popup->isVisible());
    QVERIFY(copy->isEnabled());
    popup->close();
    Control<QLineEdit>(w.get(), "EditLogFile")->setFocus();
    copy->trigger();
    QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("abc\ndef\n"));
    // Its items show the sizes and details as checked in the main menu.
    QCOMPARE(Control<QMenu>(w.get(), "MenuSize")->actions().size(), 5);
    QCOMPARE(Control<QMenu>(w.get(), "MenuDetail")->actions().size(), 3);
  }

  void hexOnlyTogglesOnlyWhileStopped() {
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    auto w = Open({"127.0.0.1", std::to_string(server.serverPort()), "0"});
    auto* hexOnly = Control<QAction>(w.get(), "MenuItemHexOnly");
    hexOnly->trigger();
    QCOMPARE(w->RelayEngine().HexOnly, 1);
    QVERIFY(hexOnly->isChecked());
    Control<QPushButton>(w.get(), "ButtonStart")->click();
    QVERIFY(!hexOnly->isEnabled());
    hexOnly->trigger();  // a disabled item does nothing
    QCOMPARE(w->RelayEngine().HexOnly, 1);
    Control<QPushButton>(w.get(), "ButtonStop")->click();
    QVERIFY(hexOnly->isEnabled());
    hexOnly->trigger();
    QCOMPARE(w->RelayEngine().HexOnly, 0);
    QVERIFY(!hexOnly->isChecked());
  }

  void browseStartsInTheDocumentsFolder() {
    const QString documents = qEnvironmentVariable("TAPLINE_TEST_HOME") + QStringLiteral("/Documents");
    QDir(documents + QStringLiteral("/Tapline")).removeRecursively();
    auto w = Open();
    DialogDriver driver;
    QString folder;
    QStringList filters;
    QString filter;
    QString suffix;
    QString title;
    bool saving = false;
    bool readOnly = true;
    driver.onFileDialog = [&](QFileDialog& d) {
      folder = d.directory().absolutePath();
      filters = d.nameFilters();
      filter = d.selectedNameFilter();
      suffix = d.defaultSuffix();
      title = d.windowTitle();
      saving = d.acceptMode() == QFileDialog::AcceptSave;
      readOnly = d.testOption(QFileDialog::ReadOnly);
      d.selectFile(folder + QStringLiteral("/capture"));
      static_cast<QDialog&>(d).accept();  // QFileDialog::accept, reached through the public base
    };
    Control<QPushButton>(w.get(), "ButtonBrowse")->click();
    QCOMPARE(driver.fileDialogs, 1);
    QCOMPARE(title, QStringLiteral("Browse"));
    QVERIFY(saving);
    QVERIFY(!readOnly);
    QCOMPARE(folder, QDir(documents + QStringLiteral("/Tapline")).absolutePath());
    QVERIFY(QFileInfo(folder).isDir());
    QCOMPARE(filters, (QStringList{QStringLiteral("Web Pages (*.htm *.html)"), QStringLiteral("Text Files (*.txt)"),
                                   QStringLiteral("All Files (*)")}));
    QCOMPARE(filter, QStringLiteral("Web Pages (*.htm *.html)"));
    QCOMPARE(suffix, QStringLiteral("txt"));
    // The chosen name, completed with the default extension, becomes the field's text; no file is made.
    const QString chosen = Control<QLineEdit>(w.get(), "EditLogFile")->text();
    QCOMPARE(QFileInfo(chosen).fileName(), QStringLiteral("capture.txt"));
    QVERIFY(!QFileInfo::exists(chosen));
    QCOMPARE(w->focusWidget(), Control<QWidget>(w.get(), "EditLogFile"));
  }

  void browseStartsFromTheNameInTheField() {
    QDir scratch(qEnvironmentVariable("TAPLINE_TEST_HOME"));
    scratch.mkpath(QStringLiteral("logs"));
    const QString current = scratch.absoluteFilePath(QStringLiteral("logs/run.htm"));
    auto w = Open({"h", "1", "2", "-file", current.toStdString()});
    DialogDriver driver;
    QString folder;
    QStringList selected;
    driver.onFileDialog = [&](QFileDialog& d) {
      folder = d.directory().absolutePath();
      selected = d.selectedFiles();
      d.reject();
    };
    Control<QPushButton>(w.get(), "ButtonBrowse")->click();
    QCOMPARE(folder, scratch.absoluteFilePath(QStringLiteral("logs")));
    QCOMPARE(selected, QStringList{current});
    // Cancelled: the field is as it was.
    QCOMPARE(Control<QLineEdit>(w.get(), "EditLogFile")->text(), current);
  }

  void contentsOpensTheHelpPageWhenItExists() {
    const QString folder = qEnvironmentVariable("TAPLINE_TEST_HOME") + QStringLiteral("/install");
    QDir().mkpath(folder);
    QFile::remove(folder + QStringLiteral("/tapline.html"));
    MachineSettings()->setValue(QStringLiteral("InstallDir"), folder);
    UrlCatcher urls;
    auto w = Open();
    {
      // Without the page anywhere, a message box says so and names where it was looked for.
      DialogDriver driver;
      QTest::keyClick(w.get(), Qt::Key_F1);
      QVERIFY(urls.opened.isEmpty());
      QCOMPARE(driver.boxes.size(), 1u);
      QVERIFY(driver.boxes[0].text.contains(QStringLiteral("could not be found")));
      QVERIFY(driver.boxes[0].text.contains(folder + QStringLiteral("/tapline.html")));
      QVERIFY(driver.boxes[0].text.contains(QStringLiteral("/share/doc/tapline/tapline.html")));
    }
    QFile page(folder + QStringLiteral("/tapline.html"));
    QVERIFY(page.open(QIODevice::WriteOnly));
    page.write("<html></html>");
    page.close();
    Control<QAction>(w.get(), "MenuItemContents")->trigger();
    QCOMPARE(urls.opened, QList<QUrl>{QUrl::fromLocalFile(folder + QStringLiteral("/tapline.html"))});
  }

  void homePageAndAboutBox() {
    UrlCatcher urls;
    auto w = Open();
    Control<QAction>(w.get(), "MenuItemHomePage")->trigger();
    QCOMPARE(urls.opened, QList<QUrl>{QUrl(QStringLiteral("http://www.fenwold.example/tapline/"))});

    bool checked = false;
    QTimer::singleShot(0, [&] {
      auto* box = qobject_cast<shell::TAboutBox*>(QApplication::activeModalWidget());
      QVERIFY(box != nullptr);
      QCOMPARE(box->windowTitle(), QStringLiteral("About Tapline"));
      // 285 by 133, or larger when the font needs it.
      QVERIFY(box->width() >= 285 && box->height() >= 133);
      QCOMPARE(box->minimumSize(), box->maximumSize());
      auto* name = Control<QLabel>(box, "ProductName");
      QCOMPARE(name->text(), QStringLiteral("Tapline"));
      QVERIFY(name->font().bold());
      QCOMPARE(name->font().pixelSize(), 13);
      auto* version = Control<QLabel>(box, "Version");
      QCOMPARE(version->text(), QStringLiteral("Version 2.83"));
      QVERIFY(version->font().bold());
      QCOMPARE(Control<QLabel>(box, "Company")->text(), QStringLiteral("Fenwold"));
      auto* link = Control<QLabel>(box, "WebAddress");
      QVERIFY(link->text().contains(QStringLiteral("href=\"http://www.fenwold.example/tapline/\"")));
      QVERIFY(link->text().contains(QStringLiteral("underline")));
      // The whole address fits the fixed box.
      QVERIFY(link->geometry().right() < box->width());
      QVERIFY(QFontMetrics(link->font()).horizontalAdvance(QStringLiteral("http://www.fenwold.example/tapline/")) <=
              link->width());
      QCOMPARE(link->cursor().shape(), Qt::PointingHandCursor);
      QVERIFY(!Control<QLabel>(box, "ProgramIcon")->pixmap().isNull());
      emit link->linkActivated(QStringLiteral("http://www.fenwold.example/tapline/"));
      auto* close = Control<QPushButton>(box, "OKButton");
      QCOMPARE(close->text(), QStringLiteral("Close"));
      QVERIFY(close->isDefault());
      close->click();
      checked = true;
    });
    Control<QAction>(w.get(), "MenuItemAbout")->trigger();
    QVERIFY(checked);
    QCOMPARE(urls.opened.size(), 2);
    QCOMPARE(urls.opened.last(), QUrl(QStringLiteral("http://www.fenwold.example/tapline/")));
    // The box is freed once it has closed.
    QTRY_VERIFY(w->findChildren<shell::TAboutBox*>().isEmpty());
  }

  void exitClosesTheWindow() {
    auto w = Open();
    Control<QAction>(w.get(), "MenuItemExit")->trigger();
    QVERIFY(!w->isVisible());
  }
};

TAPLINE_WINDOW_TEST_MAIN(WindowCommandsTest)
#include "window_commands_test.moc"
