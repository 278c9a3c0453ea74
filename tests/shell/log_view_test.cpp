// The log view inside the real window: its length as the size limit counts it, trimming before a batch,
// the size and detail commands, Clear with lines still queued, Wrap, colours, the caret and scrolling.
#include <QAction>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTcpServer>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextLayout>

#include "log/log_view.h"
#include "tests/shell/window_fixture.h"

using namespace tapline;
using namespace tapline::test;

namespace {

void Insert(TForm1* w, const std::string& text, log::Colour colour = log::DataLine) {
  w->InsertAtEnd(text.data(), text.size(), colour);
}

// Runs one batch through the display queue's own step, as the worker has it run.
void Batch(TForm1* w, const std::string& text, log::Colour colour = log::DataLine) {
  platform::Heap heap;
  log::LogRecord* head = nullptr;
  log::LogRecord* tail = nullptr;
  // A record holds a line without its break; the break is added by the record itself.
  std::string line = text.substr(0, text.size() - 2);
  if (!log::NewLogRecord(heap, head, tail, colour, static_cast<std::int32_t>(line.size()), line.data())) {
    qFatal("no record");
  }
  log::ProcessLogBatch(*w, heap, head);
}

// The view's text counted as the size limit counts it: every line break as two characters.
std::int64_t CountedLength(const QString& shown) { return shown.size() + shown.count(u'\n'); }

void StartListening(TForm1* w, QTcpServer& server) {
  if (!server.listen(QHostAddress::LocalHost, 0)) qFatal("cannot listen");
  Control<QLineEdit>(w, "EditRemoteHost")->setText(QStringLiteral("127.0.0.1"));
  Control<QLineEdit>(w, "EditRemotePort")->setText(QString::number(server.serverPort()));
  Control<QLineEdit>(w, "EditLocalPort")->setText(QStringLiteral("0"));
  Control<QPushButton>(w, "ButtonStart")->click();
}

}  // namespace

class LogViewTest : public QObject {
  Q_OBJECT

 private slots:
  void init() { ForgetSettings(); }

  void lengthCountsEveryLineBreakAsTwo() {
    auto w = Open();
    Insert(w.get(), "a\r\nbb\nccc\rdd\r\n");
    QCOMPARE(Memo(w.get())->Text(), QStringLiteral("a\nbb\nccc\ndd\n"));
    QCOMPARE(w->TextLength(), 16);
    QCOMPARE(w->TextLength(), CountedLength(Memo(w.get())->Text()));
    w->DeleteFirstLine();
    QCOMPARE(w->TextLength(), 13);
    QCOMPARE(Memo(w.get())->Text(), QStringLiteral("bb\nccc\ndd\n"));
    // Several removals before the view is looked at again land together.
    w->DeleteFirstLine();
    w->DeleteFirstLine();
    QCOMPARE(w->TextLength(), 4);
    QCOMPARE(Memo(w.get())->Text(), QStringLiteral("dd\n"));
    w->DeleteFirstLine();
    QCOMPARE(w->TextLength(), 0);
    QCOMPARE(Memo(w.get())->Text(), QString());
    // Nothing left: another removal changes nothing.
    w->DeleteFirstLine();
    QCOMPARE(w->TextLength(), 0);
    // Text is UTF-8: a character counts once, however many bytes it took.
    Insert(w.get(), "tab\tand caf\xC3\xA9\r\n");
    QCOMPARE(Memo(w.get())->Text(), QStringLiteral("tab\tand caf\u00E9\n"));
    QCOMPARE(w->TextLength(), 14);
    // A text large enough to wait counts the same before and after it is laid in.
    std::string big;
    for (int i = 0; i < 100000; ++i) big += "\xE6\x97\xA5\r\n";
    Insert(w.get(), big);
    QCOMPARE(w->TextLength(), 14 + 100000 * 3);
    QCOMPARE(Memo(w.get())->CharacterCount(), 13 + 100000 * 2);
    Memo(w.get())->ShowWaiting();
    QCOMPARE(w->TextLength(), 14 + 100000 * 3);
    QCOMPARE(Memo(w.get())->CharacterCount(), 13 + 100000 * 2);
  }

  void trimMakesRoomBeforeABatch() {
    auto w = Open();
    QCOMPARE(w->BufferSize(), 32768);
    Insert(w.get(), Lines(326, 98));  // 32,600 characters
    QCOMPARE(w->TextLength(), 32600);
    Batch(w.get(), std::string(298, 'n') + "\r\n");  // 300 more
    const QString shown = Memo(w.get())->Text();
    // Before the insertion at most 32,468 remained: two lines of 100 had to go, no more.
    QCOMPARE(w->TextLength(), 32400 + 300);
    QCOMPARE(CountedLength(shown), w->TextLength());
    QVERIFY(shown.startsWith(QStringLiteral("2xxx")));
    QVERIFY(shown.endsWith(QString(298, u'n') + u'\n'));
    QCOMPARE(shown.count(u'\n'), 325);
  }

  void trimReportsTheLengthLeft() {
    auto w = Open();
    Insert(w.get(), Lines(326, 98));
    std::int64_t left = log::TrimLogBuffer(*w, 300);
    QVERIFY(left <= 32468);
    QCOMPARE(left, 32400);
    QCOMPARE(w->TextLength(), 32400);
    QCOMPARE(CountedLength(Memo(w.get())->Text()), 32400);
  }

  void aBatchLargerThanTheBufferReplacesEverything() {
    auto w = Open();
    Insert(w.get(), Lines(100, 98));
    std::string big = std::string(39998, 'B') + "\r\n";
    Batch(w.get(), big);
    QCOMPARE(w->TextLength(), 40000);
    QCOMPARE(Memo(w.get())->Text(), QString(39998, u'B') + u'\n');
    // The next batch trims it again.
    Batch(w.get(), "next\r\n");
    QCOMPARE(w->TextLength(), 6);
  }

  void choosingASmallerSizeCutsAtOnce() {
    auto w = Open();
    Insert(w.get(), Lines(1000, 98));  // 100,000 characters
    Control<QAction>(w.get(), "MMenuItem128KB")->trigger();
    QCOMPARE(w->TextLength(), 100000);
    Control<QAction>(w.get(), "MenuItemUnlimited")->trigger();
    QCOMPARE(w->BufferSize(), -1);
    QCOMPARE(w->TextLength(), 100000);
    Control<QAction>(w.get(), "MenuItem32KB")->trigger();
    QCOMPARE(w->BufferSize(), 32768);
    QVERIFY(w->TextLength() <= 32768);
    QCOMPARE(w->TextLength(), 32700);
    QCOMPARE(CountedLength(Memo(w.get())->Text()), 32700);
    QVERIFY(Memo(w.get())->Text().startsWith(QStringLiteral("673x")));
    Control<QAction>(w.get(), "MMenuItem2MB")->trigger();
    QCOMPARE(w->TextLength(), 32700);
    QVERIFY(Control<QAction>(w.get(), "MMenuItem2MB")->isChecked());
    QVERIFY(Control<QAction>(w.get(), "MenuItem2MB")->isChecked());
    QVERIFY(!Control<QAction>(w.get(), "MenuItem32KB")->isChecked());
  }

  void detailItemsSetTheLevel() {
    auto w = Open();
    Control<QAction>(w.get(), "MenuMedium")->trigger();
    QCOMPARE(w->DetailLevel(), 1u);
    QVERIFY(Control<QAction>(w.get(), "MMenuItemMedium")->isChecked());
    QVERIFY(!Control<QAction>(w.get(), "MMenuItemHigh")->isChecked());
    Control<QAction>(w.get(), "MMenuItemLow")->trigger();
    QCOMPARE(w->DetailLevel(), 0u);
    QVERIFY(Control<QAction>(w.get(), "MenuLow")->isChecked());
  }

  void linesKeepTheirColours() {
    auto w = Open();
    Batch(w.get(), "navy\r\n", log::MessageLine);
    Batch(w.get(), "maroon\r\n", log::InformLine);
    Batch(w.get(), "red\r\n", log::ErrorLine);
    Batch(w.get(), "black\r\n", log::DataLine);
    Batch(w.get(), "purple\r\n", log::RewrittenHostLine);
    const QColor expected[] = {QColor(0, 0, 0x80), QColor(0x80, 0, 0), QColor(0xFF, 0, 0), QColor(0, 0, 0),
                               QColor(0x80, 0, 0x80)};
    QTextBlock block = Memo(w.get())->document()->firstBlock();
    for (const QColor& colour : expected) {
      QVERIFY(block.isValid());
      QTextCursor at(block);
      at.movePosition(QTextCursor::Right);
      QCOMPARE(at.charFormat().foreground().color(), colour);
      block = block.next();
    }
  }

  void insertionMovesTheCaretToTheEndAndFollowsIt() {
    auto w = Open();
    QVERIFY(w->WindowActivated());
    auto* memo = Memo(w.get());
    Insert(w.get(), Lines(300, 40));
    memo->verticalScrollBar()->setValue(0);
    QTextCursor selection(memo->document());
    selection.setPosition(5);
    selection.setPosition(50, QTextCursor::KeepAnchor);
    memo->setTextCursor(selection);
    memo->verticalScrollBar()->setValue(0);
    Batch(w.get(), "last line\r\n");
    QVERIFY(!memo->textCursor().hasSelection());
    QCOMPARE(memo->textCursor().position(), memo->document()->characterCount() - 1);
    QVERIFY(memo->verticalScrollBar()->value() > 0);
    QVERIFY(memo->viewport()->rect().contains(memo->cursorRect()));
  }

  void firstActivationScrollsOnceWhileRunning() {
    auto w = std::make_unique<TForm1>(engine::CommandLine{});
    QVERIFY(w->StartSockets() == 0);
    QTcpServer server;
    StartListening(w.get(), server);
    QVERIFY(w->RelayEngine().Started != 0);
    auto* memo = Memo(w.get());
    Insert(w.get(), Lines(300, 40));
    Batch(w.get(), "unseen\r\n");
    // Not yet activated: the view stays at the top although the caret is at the end.
    QVERIFY(!w->WindowActivated());
    QCOMPARE(memo->verticalScrollBar()->value(), 0);
    QVERIFY(memo->verticalScrollBar()->maximum() > 0);
    w->show();
    w->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w.get()));
    QVERIFY(w->WindowActivated());
    QVERIFY(memo->verticalScrollBar()->value() > 0);
    QVERIFY(memo->viewport()->rect().contains(memo->cursorRect()));
  }

  void clearWithLinesStillQueued() {
    QTcpServer server;
    auto w = Open();
    StartListening(w.get(), server);
    QTRY_VERIFY(Memo(w.get())->Text().contains(QStringLiteral("Waiting for connections")));
    Control<QAction>(w.get(), "MenuItemPause")->trigger();
    w->RelayEngine().Log.LogMessage("queued before the clear");
    w->RelayEngine().Log.LogError("also queued");
    QTest::qWait(30);
    QVERIFY(!Memo(w.get())->Text().contains(QStringLiteral("queued")));
    Control<QAction>(w.get(), "MenuClear")->trigger();
    QCOMPARE(Memo(w.get())->Text(), QString());
    QCOMPARE(w->TextLength(), 0);
    Control<QAction>(w.get(), "MenuItemResume")->trigger();
    QTest::qWait(50);
    QCOMPARE(Memo(w.get())->Text(), QString());
    w->RelayEngine().Log.LogMessage("after the clear");
    QTRY_VERIFY(Memo(w.get())->Text().contains(QStringLiteral("after the clear")));
    QVERIFY(!Memo(w.get())->Text().contains(QStringLiteral("queued")));
  }

  void clearBetweenRunsOnlyEmptiesTheView() {
    auto w = Open();
    Insert(w.get(), "old line\r\n");
    Control<QAction>(w.get(), "MMenuItemClear")->trigger();
    QCOMPARE(Memo(w.get())->Text(), QString());
    QCOMPARE(w->TextLength(), 0);
    Insert(w.get(), "new\r\n");
    QCOMPARE(w->TextLength(), 5);
  }

  void wrapKeepsTheCaretAndSetsBothMarks() {
    auto w = Open();
    auto* memo = Memo(w.get());
    Insert(w.get(), Lines(50, 200));
    QTextCursor caret(memo->document());
    caret.setPosition(1234);
    memo->setTextCursor(caret);
    Control<QAction>(w.get(), "MMenuItemWrap")->trigger();
    QVERIFY(memo->Wrap());
    QCOMPARE(memo->textCursor().position(), 1234);
    QVERIFY(Control<QAction>(w.get(), "MMenuItemWrap")->isChecked());
    QVERIFY(Control<QAction>(w.get(), "MenuWrap")->isChecked());
    Control<QAction>(w.get(), "MenuWrap")->trigger();
    QVERIFY(!memo->Wrap());
    QCOMPARE(memo->textCursor().position(), 1234);
    QVERIFY(!Control<QAction>(w.get(), "MMenuItemWrap")->isChecked());
    QVERIFY(!Control<QAction>(w.get(), "MenuWrap")->isChecked());
    QCOMPARE(memo->toPlainText().size(), 50 * 201);
  }

  void wrappedViewLosesItsFirstDisplayedRow() {
    auto w = Open();
    auto* memo = Memo(w.get());
    Control<QAction>(w.get(), "MMenuItemWrap")->trigger();
    // Words of ten characters, so that the rows break between words.
    std::string longLine;
    for (int i = 0; i < 60; ++i) longLine += "word" + std::to_string(100000 + i) + " ";
    Insert(w.get(), longLine + "\r\nshort\r\n");
    const std::int64_t before = w->TextLength();
    QTextBlock first = memo->document()->firstBlock();
    memo->document()->documentLayout()->blockBoundingRect(first);
    QVERIFY(first.layout()->lineCount() > 2);
    const int row0 = first.layout()->lineAt(0).textLength();
    const int row1 = first.layout()->lineAt(1).textLength();
    w->DeleteFirstLine();
    w->DeleteFirstLine();
    QCOMPARE(w->TextLength(), before - row0 - row1);
    const QString shown = memo->Text();
    QCOMPARE(CountedLength(shown), w->TextLength());
    QVERIFY(shown.startsWith(QString::fromStdString(longLine.substr(static_cast<std::size_t>(row0 + row1), 20))));
    QVERIFY(shown.endsWith(QStringLiteral("short\n")));
    // Without wrapping the whole line goes at once.
    Control<QAction>(w.get(), "MMenuItemWrap")->trigger();
    w->DeleteFirstLine();
    QCOMPARE(memo->Text(), QStringLiteral("short\n"));
    QCOMPARE(w->TextLength(), 7);
  }

  void largeTextIsLaidInOverSeveralTurns() {
    auto w = Open();
    Control<QAction>(w.get(), "MenuItemUnlimited")->trigger();
    auto* memo = Memo(w.get());
    Insert(w.get(), "first\r\n");
    Batch(w.get(), Lines(10000, 98));  // 1,000,000 characters: more than one slice
    Insert(w.get(), "last\r\n");
    QCOMPARE(w->TextLength(), 7 + 1000000 + 6);
    QVERIFY(memo->Waiting());
    QVERIFY(memo->document()->characterCount() < 1000000);
    QCOMPARE(memo->CharacterCount(), 6 + 10000 * 99 + 5);
    // The loop lays it in by itself, slice by slice, the caret following to the end.
    QTRY_VERIFY(!memo->Waiting());
    QCOMPARE(memo->document()->characterCount() - 1, 6 + 10000 * 99 + 5);
    QCOMPARE(memo->textCursor().position(), memo->document()->characterCount() - 1);
    const QString shown = memo->toPlainText();
    QVERIFY(shown.startsWith(QStringLiteral("first\n0xxx")));
    QVERIFY(shown.endsWith(QStringLiteral("\n9999") + QString(94, u'x') + QStringLiteral("\nlast\n")));
    QCOMPARE(CountedLength(shown), w->TextLength());
    QVERIFY(memo->viewport()->rect().contains(memo->cursorRect()));
  }

  void waitingTextIsTrimmedWithoutBeingLaidIn() {
    auto w = Open();
    auto* memo = Memo(w.get());
    Insert(w.get(), "shown\r\n");
    Insert(w.get(), Lines(2000, 98));  // 200,000 characters, still waiting
    QVERIFY(memo->Waiting());
    QCOMPARE(log::TrimLogBuffer(*w, 300), 32400);
    QCOMPARE(w->TextLength(), 32400);
    const QString shown = memo->Text();
    QVERIFY(shown.startsWith(QStringLiteral("1676xx")));
    QCOMPARE(shown.count(u'\n'), 324);
    QCOMPARE(CountedLength(shown), 32400);
    // Clear drops what waits too.
    Insert(w.get(), Lines(2000, 98));
    Control<QAction>(w.get(), "MenuClear")->trigger();
    QCOMPARE(w->TextLength(), 0);
    QTest::qWait(20);
    QCOMPARE(memo->document()->characterCount(), 1);
  }

  void viewIsReadOnlyFixedPitch() {
    auto w = Open();
    auto* memo = Memo(w.get());
    QVERIFY(memo->isReadOnly());
    QVERIFY(QFontInfo(memo->font()).fixedPitch());
    QCOMPARE(memo->font().pointSize(), 10);
    memo->setFocus();
    QTest::keyClicks(memo, QStringLiteral("typed"));
    QCOMPARE(memo->Text(), QString());
  }
};

TAPLINE_WINDOW_TEST_MAIN(LogViewTest)
#include "log_view_test.moc"
