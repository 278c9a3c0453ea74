// tapline-cli: relays at once with the command line's parameters and prints the log to standard output.
// Exit 0 after SIGINT/SIGTERM/SIGHUP (and for --help, -h, --version), 1 when the relay run ended by
// itself or its log file could not be written whole, 2 on a usage or field error.
#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <chrono>
#include <clocale>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/terminal_window.h"
#include "engine/relay.h"
#include "platform/event_loop.h"
#include "platform/heap.h"
#include "platform/winsock.h"
#include "engine/command_line.h"
#include "engine/help_text.h"

using namespace tapline;

namespace {

int StatusTimer() {
  int fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  itimerspec spec{};
  spec.it_interval.tv_nsec = 250'000'000;  // at most four refreshes a second
  spec.it_value.tv_nsec = 250'000'000;
  timerfd_settime(fd, 0, &spec, nullptr);
  return fd;
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_TIME, "");  // time stamps carry the user's own date format
  std::vector<std::string> args(argv + 1, argv + argc);
  switch (engine::FindInfoRequest(args)) {
    case engine::InfoRequest::Help:
      std::fputs(engine::HelpText(false).c_str(), stdout);
      return std::fflush(stdout) == 0 ? 0 : 1;
    case engine::InfoRequest::Version:
      std::fputs(engine::VersionText(false, TAPLINE_VERSION).c_str(), stdout);
      return std::fflush(stdout) == 0 ? 0 : 1;
    case engine::InfoRequest::None:
      break;
  }
  engine::CommandLine line;
  try {
    line = engine::ParseCommandLine(args, "tapline-cli");
    if (!line.given) {
      throw engine::UsageError(engine::UsageMessage("Missing <remote host> <remote port> <local port>", "tapline-cli"));
    }
  } catch (const engine::UsageError& e) {
    std::fprintf(stderr, "%s\n", engine::WithFullStop(e.what()).c_str());
    return 2;
  }

  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);  // the terminal that started it has gone
  sigaddset(&stopSignals, SIGWINCH);  // not a stop: the terminal's width changed
  sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  // A log or capture file that reaches the size limit fails its write instead of ending the relay.
  signal(SIGXFSZ, SIG_IGN);
  int signalFd = signalfd(-1, &stopSignals, SFD_NONBLOCK | SFD_CLOEXEC);

  platform::EventLoop loop;
  platform::Heap::TuneForRelay();
  platform::Heap heap;
  winsock::Winsock ws(loop);
  std::FILE* status = isatty(fileno(stderr)) ? stderr : nullptr;
  cli::TerminalWindow window(stdout, status, &loop);
  engine::Relay relay(window, ws, loop, heap);
  loop.SetMessageHandler([&](unsigned message, platform::WPARAM w, platform::LPARAM l) {
    if (message == engine::SocketEventMessage) relay.HandleSocketEvent(w, l);
  });

  bool stoppedByUser = false;
  loop.Watch(signalFd, EPOLLIN, [&](std::uint32_t) {
    signalfd_siginfo info;
    while (read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      if (info.ssi_signo == SIGWINCH) {
        window.MeasureWidth();
        continue;
      }
      if (relay.Started) {
        stoppedByUser = true;
        relay.StopByUser(false);
      }
    }
  });
  int timerFd = -1;
  if (status != nullptr) {
    timerFd = StatusTimer();
    loop.Watch(timerFd, EPOLLIN, [&](std::uint32_t) {
      std::uint64_t ticks;
      ssize_t r = read(timerFd, &ticks, sizeof ticks);
      (void)r;
      window.RefreshStatus();
    });
  }

  if (ws.WSAStartup(0x0101) != 0) {
    std::fprintf(stderr, "%s.\n", winsock::WinsockErrorText(10091));
    return 1;
  }
  try {
    engine::RelayOptions options;
    line.ApplyTo(options);
    relay.StartRelay(options);
  } catch (const engine::ValidationError& e) {
    std::fprintf(stderr, "%s\n", engine::WithFullStop(e.what()).c_str());
    return 2;
  }
  while (relay.Started) loop.RunOnce(-1);
  // Let the display queue hand its last lines to standard output, but a reader that has stopped reading
  // does not keep the program from ending: what it has not taken within the second is dropped.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(600);
  while (!relay.Log.WorkersEnded() && std::chrono::steady_clock::now() < deadline) loop.RunOnce(20);
  window.EndStatus(deadline);
  if (timerFd >= 0) close(timerFd);
  ws.WSACleanup();
  return stoppedByUser && !relay.Log.FileIncomplete() ? 0 : 1;
}
