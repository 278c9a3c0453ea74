// The window under a flood: 50 MB of text lines from one client through the relay to a sink, logged at
// detail High into the log view with the 2 MB buffer, under Qt's loop. Prints how long the loop could not
// turn at most (a 1 ms timer's longest gap) and what the view's insertions and line removals cost.
//
//   tapline-window-flood [megabytes] [pane]   (run it through bench/window_flood.sh)
// With "pane", the Connections tab is shown and the flooding connection selected, so that the list and
// the conversation pane follow it while it runs.
#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QTabWidget>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "shell/main_window.h"
#include "shell/program.h"

using namespace tapline;

namespace {

// The window with its two view operations timed.
class TimedForm : public shell::TForm1 {
 public:
  using shell::TForm1::TForm1;

  void InsertAtEnd(const char* text, std::size_t length, log::Colour colour) override {
    QElapsedTimer t;
    t.start();
    shell::TForm1::InsertAtEnd(text, length, colour);
    qint64 ns = t.nsecsElapsed();
    insertNs += ns;
    insertMaxNs = std::max(insertMaxNs, ns);
    ++inserts;
    insertedChars += static_cast<qint64>(length);
  }
  void DeleteFirstLine() override {
    QElapsedTimer t;
    t.start();
    shell::TForm1::DeleteFirstLine();
    qint64 ns = t.nsecsElapsed();
    deleteNs += ns;
    deleteMaxNs = std::max(deleteMaxNs, ns);
    ++deletes;
  }

  qint64 insertNs = 0, insertMaxNs = 0, inserts = 0, insertedChars = 0;
  qint64 deleteNs = 0, deleteMaxNs = 0, deletes = 0;
};

// Times every event handled at the top level, by kind: the relay's turns arrive as socket activations
// of the loop's notifier, the view's slices as timer events.
class TimingApplication : public QApplication {
 public:
  using QApplication::QApplication;
  bool notify(QObject* receiver, QEvent* e) override {
    if (depth_++ > 0) {
      bool r = QApplication::notify(receiver, e);
      --depth_;
      return r;
    }
    QElapsedTimer t;
    t.start();
    const QEvent::Type type = e->type();
    bool r = QApplication::notify(receiver, e);
    --depth_;
    qint64 ns = t.nsecsElapsed();
    if (type == QEvent::SockAct) {
      socketTurnMax = std::max(socketTurnMax, ns);
      socketTurnNs += ns;
      ++socketTurns;
    } else if (type == QEvent::Timer) {
      timerMax = std::max(timerMax, ns);
    } else {
      otherMax = std::max(otherMax, ns);
    }
    return r;
  }
  qint64 socketTurnMax = 0, socketTurnNs = 0, socketTurns = 0, timerMax = 0, otherMax = 0;

 private:
  int depth_ = 0;
};

}  // namespace

// The peers on plain blocking sockets (window_flood_peers.cpp, apart from the engine's socket names).
int FloodListen(std::uint16_t& port);
int FloodConnect(std::uint16_t port);
long long FloodRead(int fd, char* buffer, std::size_t size);
long long FloodWrite(int fd, const char* data, std::size_t size);
void FloodClose(int fd);
void FloodShutdown(int fd);
int FloodAccept(int listener);

int main(int argc, char** argv) {
  TimingApplication app(argc, argv);
  shell::SetUpApplication();
  const long long megabytes = argc > 1 ? std::atoll(argv[1]) : 50;
  const bool pane = argc > 2 && std::string(argv[2]) == "pane";
  const long long total = megabytes * 1024 * 1024;

  // The sink: reads and drops everything, on a thread of its own.
  std::uint16_t sinkPort = 0;
  int listener = FloodListen(sinkPort);
  if (listener < 0) return 1;
  std::atomic<long long> sunk{0};
  std::thread sink([&] {
    int fd = FloodAccept(listener);
    std::vector<char> buffer(1 << 16);
    for (;;) {
      long long n = FloodRead(fd, buffer.data(), buffer.size());
      if (n <= 0) break;
      sunk += n;
    }
    FloodClose(fd);
  });

  engine::CommandLine line = engine::ParseCommandLine(
      {"127.0.0.1", std::to_string(sinkPort), "0", "-size", "2MB", "-detail", "High"}, "TAPLINE");
  TimedForm form(line);
  if (form.StartSockets() != 0) return 1;
  form.resize(900, 700);
  form.show();
  if (!QTest::qWaitForWindowExposed(&form)) return 1;
  engine::Relay& relay = form.RelayEngine();
  relay.StartRelay(form.CurrentOptions());
  if (!QTest::qWaitFor([&] { return relay.ListenSocket != winsock::INVALID_SOCKET; }, 5000)) return 1;

  // The loop's turns, seen through a 1 ms timer: the longest interval between two of its firings.
  QElapsedTimer clock;
  clock.start();
  qint64 last = clock.nsecsElapsed();
  qint64 longestGap = 0;
  std::vector<qint64> gaps;
  QTimer tick;
  tick.setTimerType(Qt::PreciseTimer);
  QObject::connect(&tick, &QTimer::timeout, [&] {
    qint64 now = clock.nsecsElapsed();
    longestGap = std::max(longestGap, now - last);
    gaps.push_back(now - last);
    last = now;
  });
  tick.start(1);

  // The client: lines of 78 printable characters and CR LF, as fast as the relay takes them.
  std::thread client([&, port = relay.LocalPort] {
    int fd = FloodConnect(port);
    std::string chunk;
    for (int i = 0; i < 820; ++i) {  // 64 KB of lines at a time
      char head[16];
      std::snprintf(head, sizeof head, "%07d ", i);
      std::string text = std::string(head) + "The quick brown fox jumps over the lazy dog; flood of the log view. ";
      text.resize(78, '.');
      chunk += text + "\r\n";
    }
    long long sent = 0;
    while (sent < total) {
      std::size_t want = static_cast<std::size_t>(std::min<long long>(total - sent, static_cast<long long>(chunk.size())));
      long long n = FloodWrite(fd, chunk.data(), want);
      if (n <= 0) break;
      sent += n;
    }
    FloodClose(fd);
  });

  QTimer select;
  if (pane) {
    form.findChild<QTabWidget*>(QStringLiteral("LogTabs"))->setCurrentIndex(1);
    auto* list = form.findChild<QTableView*>(QStringLiteral("ConnectionList"));
    QObject::connect(&select, &QTimer::timeout, [&select, list] {
      if (list->model()->rowCount() == 0) return;
      list->selectRow(0);
      select.stop();
    });
    select.start(10);
  }
  const qint64 started = clock.nsecsElapsed();
  bool relayed = QTest::qWaitFor([&] { return sunk.load() >= total; }, 600000);
  const qint64 relayedAt = clock.nsecsElapsed();
  // Then the view catches up with what is still queued; a stop lets the display queue finish.
  bool closed = QTest::qWaitFor([&] { return relay.ConnectionCount == 0; }, 60000);
  relay.StopRelay();
  bool shown = QTest::qWaitFor([&] { return relay.Log.WorkersEnded(); }, 600000);
  const qint64 shownAt = clock.nsecsElapsed();
  tick.stop();
  client.join();
  FloodShutdown(listener);
  sink.join();
  FloodClose(listener);

  std::sort(gaps.begin(), gaps.end());
  auto percentile = [&](double p) {
    return gaps.empty() ? 0.0 : gaps[static_cast<std::size_t>(p * static_cast<double>(gaps.size() - 1))] / 1e6;
  };
  const double relaySeconds = static_cast<double>(relayedAt - started) / 1e9;
  const double shownSeconds = static_cast<double>(shownAt - started) / 1e9;
  std::printf("window flood: %lld MB of text lines, detail High, log buffer 2 MB, %s, %s%s%s\n", megabytes,
              pane ? "Connections tab shown, the connection selected" : "log tab shown",
              relayed ? "all relayed" : "NOT ALL RELAYED", closed ? "" : ", connection still open",
              shown ? "" : ", view still behind");
  std::printf("  longest gap between two turns of the message loop: %8.1f ms   (99th percentile %.1f ms, "
              "99.9th %.1f ms, %zu turns seen)\n",
              static_cast<double>(longestGap) / 1e6, percentile(0.99), percentile(0.999), gaps.size());
  std::printf("  relayed in %.2f s (%.1f MB/s); everything shown in the view after %.2f s\n", relaySeconds,
              static_cast<double>(megabytes) / relaySeconds, shownSeconds);
  std::printf("  view insertion: %lld batches, %.1f MB, mean %.3f ms, longest %.1f ms, %.1f ms per MB\n",
              form.inserts, static_cast<double>(form.insertedChars) / 1048576.0,
              form.inserts ? static_cast<double>(form.insertNs) / static_cast<double>(form.inserts) / 1e6 : 0.0,
              static_cast<double>(form.insertMaxNs) / 1e6,
              form.insertedChars ? static_cast<double>(form.insertNs) / 1e6 / (static_cast<double>(form.insertedChars) / 1048576.0)
                                 : 0.0);
  std::printf("  first-line removal: %lld lines, mean %.2f us, longest %.1f us\n", form.deletes,
              form.deletes ? static_cast<double>(form.deleteNs) / static_cast<double>(form.deletes) / 1e3 : 0.0,
              static_cast<double>(form.deleteMaxNs) / 1e3);
  std::printf("  longest event handling: relay turn (socket notifier) %.1f ms (%lld turns, mean %.2f ms), "
              "timer %.1f ms, other %.1f ms\n",
              static_cast<double>(app.socketTurnMax) / 1e6, app.socketTurns,
              app.socketTurns ? static_cast<double>(app.socketTurnNs) / static_cast<double>(app.socketTurns) / 1e6 : 0.0,
              static_cast<double>(app.timerMax) / 1e6, static_cast<double>(app.otherMax) / 1e6);
  std::printf("  view holds %lld characters (limit 2,097,152 plus at most one batch)\n",
              static_cast<long long>(form.TextLength()));
  return relayed ? 0 : 1;
}
