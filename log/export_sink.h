// A traffic sink that writes an export of a relay run (one file per direction, JSON Lines): made at the
// start, told of a failed write once, closed at the stop. Main thread only.
#pragma once

#include <string>

#include "log/traffic_sink.h"

namespace tapline::log {

class ExportSink : public TrafficSink {
 public:
  // The first write failure as a log line naming the file and the reason; empty when there is none or it
  // was taken before. After a failure the sink writes nothing more.
  virtual std::string TakeFailure() = 0;
  // Writes out what is held and closes every file.
  virtual void Close() = 0;
};

// The reason for the last failed call, as the system words it.
std::string SystemReason(int error);

}  // namespace tapline::log
