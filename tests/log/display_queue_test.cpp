// The display queue: batches of same-coloured lines, pause and resume, discard, finish, trimming, and
// memory pressure met by draining the queue.
#include <algorithm>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "log/format_count.h"
#include "log/traffic_log.h"
#include "tests/support/fake_window.h"
#include "tests/support/loopback.h"

namespace tapline::log {
namespace {

class DisplayQueue : public ::testing::Test {
 protected:
  DisplayQueue() : log(heap, loop) { heap.SetDrainHook([this] { return log.DrainOneBatch(); }); }
  ~DisplayQueue() override { heap.SetDrainHook(nullptr); }

  // Lets the worker deliver until it has nothing left (or the time is up).
  void Deliver(int ms = 300) { test::PumpFor(loop, ms); }

  platform::EventLoop loop;
  platform::Heap heap;
  TrafficLog log;
  test::FakeWindow view;
};

TEST_F(DisplayQueue, ConsecutiveLinesOfOneColourAreInsertedTogether) {
  log.CreateProcessor(view);
  log.LogMessage("one");
  log.LogMessage("two");
  log.LogMessage("three");
  log.LogError("four");
  log.LogMessage(7, "five");
  log.LogMessage(7, "six");
  Deliver();
  ASSERT_EQ(view.batches.size(), 3u);
  EXPECT_EQ(view.batches[0].first, MessageLine);
  EXPECT_EQ(view.batches[1].first, ErrorLine);
  EXPECT_EQ(view.batches[2].first, MessageLine);
  EXPECT_EQ(view.Texts(), (std::vector<std::string>{"one", "two", "three", "four", "7: five", "7: six"}));
}

TEST_F(DisplayQueue, DataLinesCarryNoTimeStampEvenWithASocket) {
  log.CreateProcessor(view);
  log.LogLine("raw data", DataLine, 12, -1, 2);
  log.LogLine("message", MessageLine, 12, -1, 0);
  Deliver();
  ASSERT_EQ(view.batches.size(), 2u);
  EXPECT_EQ(view.batches[0].second, "raw data\r\n");
  EXPECT_NE(view.batches[1].second.find("; 12: message\r\n"), std::string::npos);
  EXPECT_NE(view.batches[1].second.substr(0, 4), "12: ") << "the socket follows the time stamp";
}

TEST_F(DisplayQueue, LinesAboveTheDetailLevelAreNotQueuedButCountAsDone) {
  log.CreateProcessor(view);
  log.DetailLevel = 0;
  EXPECT_TRUE(log.LogLine("header", MessageLine, -1, -1, 1));
  log.DetailLevel = 7;  // above High acts as High
  EXPECT_TRUE(log.LogLine("dump", DataLine, -1, -1, 2));
  Deliver();
  EXPECT_EQ(view.Texts(), (std::vector<std::string>{"dump"}));
}

TEST_F(DisplayQueue, PauseShowsAtMostOneMoreBatchUntilResume) {
  log.CreateProcessor(view);
  for (int i = 0; i < 6; ++i) {
    if (i % 2) {
      log.LogError(std::to_string(i).c_str());
    } else {
      log.LogMessage(std::to_string(i).c_str());
    }
  }
  log.Processor()->Pause();
  Deliver(150);
  EXPECT_LE(view.batches.size(), 1u);
  log.LogMessage("while paused");
  Deliver(150);
  EXPECT_LE(view.batches.size(), 1u);
  log.Processor()->Resume();
  Deliver();
  EXPECT_EQ(view.Texts(), (std::vector<std::string>{"0", "1", "2", "3", "4", "5", "while paused"}));
}

TEST_F(DisplayQueue, DiscardDropsWhatWaitsAndLaterLinesStillCome) {
  log.CreateProcessor(view);
  log.LogMessage("old");
  log.LogError("older");
  log.Processor()->Discard();
  log.LogInform("new");
  Deliver();
  EXPECT_EQ(view.Texts(), (std::vector<std::string>{"new"}));
}

TEST_F(DisplayQueue, FinishDeliversEverythingQueuedThenTheWorkerEnds) {
  log.CreateProcessor(view);
  log.Processor()->Pause();
  for (int i = 0; i < 20; ++i) {
    if (i % 2) {
      log.LogInform(std::to_string(i).c_str());
    } else {
      log.LogMessage(std::to_string(i).c_str());
    }
  }
  log.FinishProcessor();
  EXPECT_EQ(log.Processor(), nullptr);
  ASSERT_TRUE(test::PumpUntil(loop, [&] { return log.WorkersEnded(); }));
  EXPECT_EQ(view.lines.size(), 20u);
  EXPECT_EQ(view.Texts().back(), "19");
}

TEST_F(DisplayQueue, FinishWithNothingQueuedStillEndsTheWorker) {
  log.CreateProcessor(view);
  Deliver(30);
  log.FinishProcessor();
  ASSERT_TRUE(test::PumpUntil(loop, [&] { return log.WorkersEnded(); }));
  EXPECT_TRUE(view.lines.empty());
}

TEST_F(DisplayQueue, AFailedAllocationDrainsBatchesUntilItSucceeds) {
  log.CreateProcessor(view);
  log.Processor()->Pause();
  log.LogMessage("a");
  log.LogError("b");
  log.LogMessage("c");
  heap.FailNext(2);  // the next record succeeds only after two batches made room
  EXPECT_TRUE(log.LogInform("d"));
  EXPECT_EQ(view.Texts(), (std::vector<std::string>{"a", "b"})) << "drained while paused";
  log.Processor()->Resume();
  Deliver();
  EXPECT_EQ(view.Texts(), (std::vector<std::string>{"a", "b", "c", "d"}));
}

TEST_F(DisplayQueue, ALineThatCannotBeAllocatedIsInTheFileButNotInTheView) {
  std::string path = ::testing::TempDir() + "queue-oom.txt";
  ASSERT_TRUE(log.File.Create(path));
  log.CreateProcessor(view);
  log.Processor()->Pause();
  log.LogMessage("queued");
  heap.SetFailing(true);
  EXPECT_FALSE(log.LogInform("lost to the view"));
  heap.SetFailing(false);
  EXPECT_EQ(view.Texts(), (std::vector<std::string>{"queued"})) << "the queue was emptied first";
  log.File.Close();
  std::ifstream in(path, std::ios::binary);
  std::stringstream file;
  file << in.rdbuf();
  EXPECT_NE(file.str().find("; queued\r\n"), std::string::npos);
  EXPECT_NE(file.str().find("; lost to the view\r\n"), std::string::npos);
  log.Processor()->Resume();
  Deliver();
  EXPECT_FALSE(view.Has("lost to the view"));
}

TEST_F(DisplayQueue, AFloodTheViewCannotTakeIsSkippedPastTheBoundCountedInOneNoteAndKeptWholeInTheFile) {
  std::string path = ::testing::TempDir() + "queue-flood.txt";
  ASSERT_TRUE(log.File.Create(path));
  log.CreateProcessor(view);
  RequestProcessor& queue = *log.Processor();
  queue.SetBound(64 * 1024);
  queue.Pause();  // the view takes nothing meanwhile, as a terminal nobody reads
  std::size_t most = 0;
  for (int i = 0; i < 5000; ++i) {
    log.LogMessage(7, ("line " + std::to_string(i) + std::string(80, '.')).c_str());
    most = std::max(most, queue.QueuedBytes());
  }
  EXPECT_LE(most, 64u * 1024) << "the queue holds no more than its bound";
  queue.Resume();
  Deliver();
  log.LogMessage(7, "after the flood");
  log.FinishProcessor();
  Deliver();
  ASSERT_GE(view.lines.size(), 3u);
  std::vector<std::string> texts = view.Texts();
  // What was shown is the start of the flood, then one note for the rest, then the lines after it.
  EXPECT_EQ(texts.back(), "7: after the flood");
  const std::string& note = texts[texts.size() - 2];
  std::size_t shown = texts.size() - 2;
  EXPECT_EQ(note, FormatCount(static_cast<std::int64_t>(5000 - shown)) + " lines not shown");
  EXPECT_EQ(view.lines[view.lines.size() - 2].colour, MessageLine);
  EXPECT_EQ(texts[shown - 1], "7: line " + std::to_string(shown - 1) + std::string(80, '.')) << "in order, none lost before the gap";
  EXPECT_EQ(log.File.Close(), 0);
  std::ifstream in(path, std::ios::binary);
  std::stringstream file;
  file << in.rdbuf();
  EXPECT_NE(file.str().find("; 7: line 4999."), std::string::npos) << "the file holds every line";
  EXPECT_EQ(file.str().find("not shown"), std::string::npos) << "the note is the view's alone";

  // A view that must get every line is fed at once past the bound instead: nothing skipped.
  view.lines.clear();
  view.lossless = true;
  log.CreateProcessor(view);
  log.Processor()->SetBound(64 * 1024);
  log.Processor()->Pause();
  for (int i = 0; i < 5000; ++i) {
    log.LogMessage(7, ("line " + std::to_string(i) + std::string(80, '.')).c_str());
    ASSERT_LE(log.Processor()->QueuedBytes(), 64u * 1024);
  }
  log.Processor()->Resume();
  log.FinishProcessor();
  Deliver();
  EXPECT_EQ(view.lines.size(), 5000u) << "every line, and no note of any skipped";
}

TEST_F(DisplayQueue, TrimmingKeepsTheViewWithinItsSizeBeforeEachInsertion) {
  view.bufferSize = 32768;
  std::string line(98, 'x');  // 100 characters with CR LF
  for (int i = 0; i < 326; ++i) view.text += line + "\r\n";
  ASSERT_EQ(view.TextLength(), 32600);
  EXPECT_EQ(TrimLogBuffer(view, 300), 32400) << "lines go from the top until 300 more fit";
  EXPECT_LE(view.TextLength() + 300, 32768);

  // A batch larger than the whole limit empties the view and is inserted whole.
  EXPECT_EQ(TrimLogBuffer(view, 40000), 0);
  view.bufferSize = -1;
  view.text = std::string(100000, 'y');
  EXPECT_EQ(TrimLogBuffer(view, 5000), 100000) << "unlimited keeps everything";
}

}  // namespace
}  // namespace tapline::log
