// The conversation pane: one connection's transcript, every block in time order with its direction
// (arrow and colour), time, time since the block before and size, as text or hex dump; it follows a
// live connection, finds text, and saves the two directions raw or the transcript as text.
// Main thread only (Qt).
#pragma once

#include <QString>
#include <QWidget>
#include <cstdint>

#include "log/conversation_store.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace tapline::shell {

class ConversationPane : public QWidget {
  Q_OBJECT

 public:
  enum class ShowAs { Auto, Text, Hex };

  ConversationPane(const log::ConversationStore& store, QWidget* parent = nullptr);

  // Shows connection `number` (-1: none) from its first kept block.
  void Show(std::int32_t number);
  std::int32_t Shown() const { return number_; }
  // Adds what came since the last look (called by the throttled refresh).
  void Follow();
  // The transcript as text, as Save writes it.
  QString Transcript() const;
  // Writes the two directions' kept bytes to "<base>.to-server" and "<base>.to-client"; false with the
  // reason in `error` when a file could not be written.
  bool SaveRaw(const QString& base, QString& error) const;
  bool SaveTranscript(const QString& path, QString& error) const;

 private:
  void Render(bool fromStart);
  void AppendBlock(const log::ConversationBlock& block, log::TimePoint previous, bool first);
  void SaveDialog();
  void FindNext();

  const log::ConversationStore& store_;
  std::int32_t number_ = -1;
  std::uint64_t shownBlocks_ = 0;  // blocks laid in, counted from the connection's first
  log::TimePoint lastAt_{};
  QLabel* title_;
  QComboBox* showAs_;
  QLineEdit* find_;
  QPushButton* save_;
  QPlainTextEdit* text_;
};

}  // namespace tapline::shell
