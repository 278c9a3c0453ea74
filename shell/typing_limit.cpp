#include "shell/typing_limit.h"

namespace tapline::shell {

QValidator::State TypingLimit::validate(QString& input, int& /*position*/) const {
  return input.size() <= limit_ ? Acceptable : Invalid;
}

}  // namespace tapline::shell
