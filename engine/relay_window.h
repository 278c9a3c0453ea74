// What the relay needs from its front end (the window, the terminal, a test double): the five counter
// labels, the running state, the log view and the status panel of the local address. Main thread only.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "log/log_view.h"

namespace tapline::engine {

// The option a refused start names, so that a window can put the focus there.
enum class Field {
  RemoteHost, RemotePort, LocalPort, LogFile, ListenAddress, CaptureFile, Tls, ConnectTimeout, SplitFolder, JsonFile
};

enum class Counter {
  Connections,             // LabelConns
  ClientToServerTotal,     // LabelCSTrans
  ClientToServerBuffered,  // LabelCSBuf
  ServerToClientTotal,     // LabelSCTrans
  ServerToClientBuffered,  // LabelSCBuf
};

// A start refused by its field checks: the message (without full stop) and the field to focus.
class ValidationError : public std::runtime_error {
 public:
  ValidationError(const std::string& message, Field field) : std::runtime_error(message), field_(field) {}
  Field field() const { return field_; }

 private:
  Field field_;
};

class RelayWindow : public log::LogView {
 public:
  // Shows a counter in its label (through FormatCount) right after it changed.
  virtual void ShowCount(Counter counter, std::int64_t value) = 0;
  // Switches the controls between the stopped and started states.
  virtual void SetRunningState(bool running) = 0;
  // Empties the log view.
  virtual void ClearLogView() = 0;
  // The second status panel: the machine's own address.
  virtual void ShowLocalAddress(const std::string& address) = 0;
};

}  // namespace tapline::engine
