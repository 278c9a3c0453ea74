// The system's requests to close the window: SIGTERM, SIGINT and SIGHUP (kill, Ctrl+C, the terminal that
// started the program going away, logout) and the session manager's commit request. Each one reaches
// the window as one call on the main thread, where it closes as the close box does, without the
// question (nobody is there to answer it).
#pragma once

#include <QObject>
#include <functional>
#include <memory>

class QSocketNotifier;

namespace tapline::shell {

class SystemCloseWatcher : public QObject {
 public:
  // `onRequest` runs on the main thread for each request. While the watcher lives, the three signals
  // no longer end the process; when it is gone they do again.
  SystemCloseWatcher(std::function<void()> onRequest, QObject* parent);
  ~SystemCloseWatcher() override;

 private:
  std::function<void()> onRequest_;
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace tapline::shell
