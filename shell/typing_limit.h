// A limit on what the user can type into an entry field; unlike maxLength it leaves a longer text set by
// the program (from the command line) whole, so that the relay refuses it instead of using a cut one.
// Main thread only (Qt widgets).
#pragma once

#include <QValidator>

namespace tapline::shell {

class TypingLimit : public QValidator {
  Q_OBJECT

 public:
  TypingLimit(int limit, QObject* parent) : QValidator(parent), limit_(limit) {}

  State validate(QString& input, int& position) const override;

 private:
  int limit_;
};

}  // namespace tapline::shell
