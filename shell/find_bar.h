// The find bar above the log view: a text to find (with or without case), next and previous match with
// wrap-around, the number of matches, and the filter that shows only one connection's lines or hides
// the data lines. It works on what the view holds and only when asked, so it costs the relay nothing.
#pragma once

#include <QTextCursor>
#include <QWidget>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QSpinBox;
class QToolButton;

namespace tapline::shell {

class LogMemo;

class FindBar : public QWidget {
  Q_OBJECT

 public:
  FindBar(LogMemo* memo, QWidget* parent);

  // Shows the bar and puts the focus in its text, all of it selected.
  void Open();
  // Closes it, shows every line again and gives the focus back to the log view.
  void Close();
  // The next match after the caret's selection (the previous one before it), wrapping around at the
  // end (the start); opens the bar when there is no text to find yet.
  void FindNext(bool backward);
  // What the count label says ("2 of 5", "No matches", ...).
  QString CountText() const;

 protected:
  void keyPressEvent(QKeyEvent* e) override;

 private:
  void UpdateCount(const QTextCursor& current);
  void ApplyFilter();
  QTextCursor FindShown(const QTextCursor& from, bool backward) const;

  LogMemo* memo_;
  QLineEdit* text_;
  QCheckBox* case_;
  QToolButton* previous_;
  QToolButton* next_;
  QLabel* count_;
  QComboBox* filter_;
  QSpinBox* socket_;
  QToolButton* close_;
};

}  // namespace tapline::shell
