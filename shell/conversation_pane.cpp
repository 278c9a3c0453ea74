#include "shell/conversation_pane.h"

#include <QComboBox>
#include <QDateTime>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextBlock>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QVBoxLayout>
#include <chrono>
#include <string>

#include "log/hex_dump.h"
#include "log/log_record.h"
#include "log/text_lines.h"

namespace tapline::shell {

namespace {

// What one look lays in at most: a selection shows the newest this many bytes of what is kept, a live
// connection adds at most this many per refresh; the rest is marked, and Save still writes all.
constexpr std::int64_t kShowOnSelect = 512 * 1024;
constexpr std::int64_t kShowPerFollow = 64 * 1024;
// Lines the pane holds at most; the oldest go first.
constexpr int kMaxLines = 100000;

QColor ColourOf(log::Colour colour) { return QColor(colour & 0xFF, (colour >> 8) & 0xFF, (colour >> 16) & 0xFF); }

qint64 Millis(log::TimePoint at) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count();
}

QString Count(std::int64_t n) { return QLocale::c().toString(static_cast<qlonglong>(n)); }

// The block's header line: arrow, time, time since the block before, size.
QString Header(const log::ConversationBlock& block, log::TimePoint previous, bool first) {
  const bool up = block.direction == log::Direction::ClientToServer;
  QString text = QStringLiteral("%1 %2 %3  %4 bytes")
                     .arg(up ? QStringLiteral("\u2192") : QStringLiteral("\u2190"))
                     .arg(up ? QStringLiteral("client to server") : QStringLiteral("server to client"))
                     .arg(QDateTime::fromMSecsSinceEpoch(Millis(block.at)).toString(QStringLiteral("HH:mm:ss.zzz")))
                     .arg(Count(block.size));
  if (!first) {
    const qint64 since = std::max<qint64>(0, Millis(block.at) - Millis(previous));
    text += QStringLiteral("  +%1.%2 s").arg(since / 1000).arg(since % 1000, 3, 10, QLatin1Char('0'));
  }
  return text;
}

// The block's bytes as the pane shows them, lines separated by "\n", ending in one.
QString Content(const log::ConversationBlock& block, ConversationPane::ShowAs mode) {
  if (block.bytes.empty()) return QStringLiteral("[%1 bytes let go]\n").arg(Count(block.size));
  const auto n = static_cast<std::int32_t>(block.bytes.size());
  bool text = mode == ConversationPane::ShowAs::Text;
  if (mode == ConversationPane::ShowAs::Auto) {
    bool incomplete = false;
    text = log::ScanTextLines(block.bytes.data(), n, incomplete, block.continued) == n;
  }
  if (!text) {
    std::string dump(log::HexDumpBytes(n), '\0');
    dump.resize(log::FormatHexDump(dump.data(), reinterpret_cast<const unsigned char*>(block.bytes.data()), n, 0));
    QString out = QString::fromLatin1(dump.data(), static_cast<qsizetype>(dump.size()));
    out.remove(QLatin1Char('\r'));
    return out;
  }
  QString out = QString::fromUtf8(block.bytes.data(), n);
  out.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  // Text asked for bytes that are not: their controls are shown as dots, never acted on.
  for (QChar& c : out) {
    if ((c.unicode() < 0x20 && c != u'\n' && c != u'\t') || c.unicode() == 0x7F ||
        (c.unicode() >= 0x80 && c.unicode() < 0xA0)) {
      c = QChar(0x00B7);
    }
  }
  if (!out.endsWith(u'\n')) out += u'\n';
  return out;
}

}  // namespace

ConversationPane::ConversationPane(const log::ConversationStore& store, QWidget* parent)
    : QWidget(parent), store_(store) {
  setObjectName(QStringLiteral("ConversationPane"));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 4, 0, 0);
  auto* bar = new QHBoxLayout;
  title_ = new QLabel(QStringLiteral("No connection selected"), this);
  title_->setObjectName(QStringLiteral("ConversationTitle"));
  title_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  showAs_ = new QComboBox(this);
  showAs_->setObjectName(QStringLiteral("ConversationShowAs"));
  showAs_->addItems({QStringLiteral("Auto"), QStringLiteral("Text"), QStringLiteral("Hex")});
  showAs_->setToolTip(QStringLiteral("Show each block as text where it is text (Auto), always as text, or as a hex dump"));
  find_ = new QLineEdit(this);
  find_->setObjectName(QStringLiteral("ConversationFind"));
  find_->setPlaceholderText(QStringLiteral("Find"));
  find_->setToolTip(QStringLiteral("Find in the transcript (Enter for the next match)"));
  find_->setMaximumWidth(find_->fontMetrics().averageCharWidth() * 16);
  save_ = new QPushButton(QStringLiteral("Save\u2026"), this);
  save_->setObjectName(QStringLiteral("ConversationSave"));
  save_->setToolTip(QStringLiteral("Save both directions as raw files, or the transcript as text"));
  save_->setEnabled(false);
  bar->addWidget(title_, 1);
  bar->addWidget(showAs_);
  bar->addWidget(find_);
  bar->addWidget(save_);
  layout->addLayout(bar);
  text_ = new QPlainTextEdit(this);
  text_->setObjectName(QStringLiteral("ConversationText"));
  text_->setReadOnly(true);
  text_->setUndoRedoEnabled(false);
  text_->setLineWrapMode(QPlainTextEdit::NoWrap);
  text_->setMaximumBlockCount(kMaxLines);
  QFont font(QStringLiteral("Courier New"));
  font.setStyleHint(QFont::TypeWriter);
  font.setFixedPitch(true);
  font.setPointSize(this->font().pointSize() > 0 ? this->font().pointSize() : 10);
  text_->setFont(font);
  layout->addWidget(text_, 1);

  connect(showAs_, &QComboBox::currentIndexChanged, this, [this] { Render(true); });
  connect(find_, &QLineEdit::returnPressed, this, &ConversationPane::FindNext);
  connect(save_, &QPushButton::clicked, this, &ConversationPane::SaveDialog);
}

void ConversationPane::Show(std::int32_t number) {
  number_ = number;
  Render(true);
}

void ConversationPane::Follow() {
  if (number_ >= 0) Render(false);
}

void ConversationPane::AppendBlock(const log::ConversationBlock& block, log::TimePoint previous, bool first) {
  const log::Colour colour =
      block.direction == log::Direction::ClientToServer ? log::ClientDataLine : log::ServerDataLine;
  QTextCharFormat head;
  head.setForeground(ColourOf(colour));
  head.setFontWeight(QFont::Bold);
  QTextCharFormat body;
  body.setForeground(ColourOf(colour));
  QTextCursor end(text_->document());
  end.movePosition(QTextCursor::End);
  if (!text_->document()->isEmpty()) end.insertText(QStringLiteral("\n"), body);
  end.insertText(Header(block, previous, first) + QStringLiteral("\n"), head);
  QString content = Content(block, static_cast<ShowAs>(showAs_->currentIndex()));
  content.chop(1);  // the next block's header starts a line of its own
  end.insertText(content, body);
}

void ConversationPane::Render(bool fromStart) {
  const log::Conversation* c = store_.Find(number_);
  save_->setEnabled(c != nullptr);
  if (c == nullptr) {
    if (fromStart) text_->clear();
    title_->setText(number_ < 0 ? QStringLiteral("No connection selected")
                                : QStringLiteral("Connection %1 is no longer kept").arg(number_));
    return;
  }
  title_->setText(QStringLiteral("Connection %1: %2 \u2192 %3, %4")
                      .arg(c->number)
                      .arg(QString::fromStdString(c->client.ToString()),
                           QString::fromStdString(c->serverKnown ? c->server.ToString() : c->remote),
                           QString::fromLatin1(log::StateName(c->state))));
  const std::uint64_t firstKept = c->blocksLetGo;
  const std::uint64_t total = firstKept + c->blocks.size();
  if (fromStart) {
    text_->clear();
    shownBlocks_ = 0;
  }
  if (shownBlocks_ >= total) return;
  // The newest blocks within the budget; what comes before them is marked, not shown.
  const std::int64_t budget = fromStart ? kShowOnSelect : kShowPerFollow;
  std::uint64_t from = std::max(shownBlocks_, firstKept);
  std::int64_t bytes = 0;
  std::uint64_t start = total;
  while (start > from) {
    const auto& b = c->blocks[static_cast<std::size_t>(start - 1 - firstKept)];
    if (bytes + static_cast<std::int64_t>(b.bytes.size()) > budget && start < total) break;
    bytes += static_cast<std::int64_t>(b.bytes.size());
    --start;
  }
  QTextCursor end(text_->document());
  end.movePosition(QTextCursor::End);
  QTextCharFormat mark;
  mark.setForeground(Qt::gray);
  const std::uint64_t skipped = start - shownBlocks_;
  if (skipped > 0) {
    QString why = shownBlocks_ < firstKept && start == firstKept
                      ? QStringLiteral("let go (%1 bytes let go in all)").arg(Count(c->bytesLetGo))
                      : QStringLiteral("not shown here; Save writes what is kept");
    if (!text_->document()->isEmpty()) end.insertText(QStringLiteral("\n"), mark);
    end.insertText(QStringLiteral("\u2026 %1 earlier blocks %2 \u2026").arg(skipped).arg(why), mark);
  }
  // The time since the block before is measured from the block before, shown or not.
  if (fromStart) lastAt_ = start > firstKept ? c->blocks[static_cast<std::size_t>(start - 1 - firstKept)].at : c->opened;
  for (std::uint64_t i = start; i < total; ++i) {
    const auto& b = c->blocks[static_cast<std::size_t>(i - firstKept)];
    AppendBlock(b, lastAt_, i == 0);
    lastAt_ = b.at;
  }
  shownBlocks_ = total;
  text_->moveCursor(QTextCursor::End);
  text_->ensureCursorVisible();
}

QString ConversationPane::Transcript() const {
  const log::Conversation* c = store_.Find(number_);
  if (c == nullptr) return {};
  QString out = title_->text() + QStringLiteral("\n");
  if (c->blocksLetGo > 0) out += QStringLiteral("\u2026 %1 earlier blocks let go \u2026\n").arg(c->blocksLetGo);
  log::TimePoint previous{};
  std::uint64_t index = c->blocksLetGo;
  for (const auto& b : c->blocks) {
    out += QStringLiteral("\n") + Header(b, previous, index == 0) + QStringLiteral("\n") +
           Content(b, static_cast<ShowAs>(showAs_->currentIndex()));
    previous = b.at;
    ++index;
  }
  return out;
}

bool ConversationPane::SaveRaw(const QString& base, QString& error) const {
  const log::Conversation* c = store_.Find(number_);
  if (c == nullptr) {
    error = QStringLiteral("The connection is no longer kept");
    return false;
  }
  const QString names[2] = {base + QStringLiteral(".to-server"), base + QStringLiteral(".to-client")};
  for (int d = 0; d < 2; ++d) {
    QFile file(names[d]);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
      error = names[d] + QStringLiteral(": ") + file.errorString();
      return false;
    }
    for (const auto& b : c->blocks) {
      if ((b.direction == log::Direction::ClientToServer) != (d == 0)) continue;
      if (file.write(b.bytes.data(), static_cast<qint64>(b.bytes.size())) != static_cast<qint64>(b.bytes.size())) {
        error = names[d] + QStringLiteral(": ") + file.errorString();
        return false;
      }
    }
    if (!file.flush()) {
      error = names[d] + QStringLiteral(": ") + file.errorString();
      return false;
    }
  }
  return true;
}

bool ConversationPane::SaveTranscript(const QString& path, QString& error) const {
  QFile file(path);
  const QByteArray text = Transcript().toUtf8();
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text) != text.size() || !file.flush()) {
    error = path + QStringLiteral(": ") + file.errorString();
    return false;
  }
  return true;
}

void ConversationPane::SaveDialog() {
  QFileDialog dialog(this, QStringLiteral("Save Connection %1").arg(number_));
  dialog.setObjectName(QStringLiteral("ConversationSaveDialog"));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setOptions(QFileDialog::DontUseNativeDialog);
  const QString raw = QStringLiteral("Raw bytes, a file per direction (*)");
  const QString transcript = QStringLiteral("Transcript as text (*.txt)");
  dialog.setNameFilters({raw, transcript});
  dialog.selectFile(QStringLiteral("connection-%1").arg(number_));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  QString error;
  const QString path = dialog.selectedFiles().first();
  const bool ok = dialog.selectedNameFilter() == transcript ? SaveTranscript(path, error) : SaveRaw(path, error);
  if (!ok) QMessageBox::warning(this, QStringLiteral("Tapline"), QStringLiteral("Could not save: ") + error);
}

void ConversationPane::FindNext() {
  const QString what = find_->text();
  if (what.isEmpty()) return;
  if (!text_->find(what)) {
    // From the top once more: the search wraps around.
    text_->moveCursor(QTextCursor::Start);
    text_->find(what);
  }
}

}  // namespace tapline::shell
