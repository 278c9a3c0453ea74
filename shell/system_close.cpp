#include "shell/system_close.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QGuiApplication>
#include <QSessionManager>
#include <QSocketNotifier>
#include <cerrno>

namespace tapline::shell {

namespace {

constexpr int Signals[] = {SIGTERM, SIGINT, SIGHUP};

// The self-pipe: the handler only writes a byte, which is all a signal handler may safely do; the main
// thread's loop reads it. Made once and kept, so that a late signal never writes to a closed descriptor.
int pipeEnds[2] = {-1, -1};

void OnSignal(int number) {
  const int saved = errno;
  const char byte = static_cast<char>(number);
  ssize_t written = write(pipeEnds[1], &byte, 1);  // a full pipe already holds a request
  (void)written;
  errno = saved;
}

}  // namespace

SystemCloseWatcher::SystemCloseWatcher(std::function<void()> onRequest, QObject* parent)
    : QObject(parent), onRequest_(std::move(onRequest)) {
  if (pipeEnds[0] < 0 && pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0) {
    pipeEnds[0] = pipeEnds[1] = -1;
    return;
  }
  // Whatever an earlier watcher left unread is no request of this one.
  char drain[64];
  while (read(pipeEnds[0], drain, sizeof drain) > 0) {
  }
  notifier_ = std::make_unique<QSocketNotifier>(pipeEnds[0], QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, [this] {
    char bytes[64];
    bool any = false;
    while (read(pipeEnds[0], bytes, sizeof bytes) > 0) any = true;
    if (any && onRequest_) onRequest_();
  });
  struct sigaction action = {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int s : Signals) sigaction(s, &action, nullptr);
#ifndef QT_NO_SESSIONMANAGER
  // Logging out: the session manager asks the program to commit its data and will end it after. The
  // answer is the same close; the manager's interaction is not asked for, since there is no question.
  if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
    connect(app, &QGuiApplication::commitDataRequest, this, [this](QSessionManager&) {
      if (onRequest_) onRequest_();
    });
  }
#endif
}

SystemCloseWatcher::~SystemCloseWatcher() {
  if (notifier_) {
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int s : Signals) sigaction(s, &action, nullptr);
  }
}

}  // namespace tapline::shell
