// Runs tapline-cli as a child process for end-to-end tests: its standard output goes to a file the test
// reads, and the port it listens on is taken from its log.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace tapline::test {

class CliProcess {
 public:
  // Starts tapline-cli with `args`; standard output and standard error go to files in a temp folder.
  // `fileLimit` > 0 caps the child's descriptors (RLIMIT_NOFILE) from the start, `sizeLimit` > 0 the
  // size of every file it writes (RLIMIT_FSIZE), its standard output included.
  // `stdoutFd` >= 0 is the child's standard output instead of the file (a pipe the test holds, say);
  // Output() is then empty, and the log is read from `logPath` (the run's -file) where one is given.
  explicit CliProcess(const std::vector<std::string>& args, int fileLimit = 0, long sizeLimit = 0,
                      int stdoutFd = -1, const std::string& logPath = "");
  ~CliProcess();  // kills the child if it still runs

  // Waits until the log shows "Local Port (N) opened" and answers N (0 when it did not come in time).
  int WaitForPort(int milliseconds = 10000);
  // Waits until the log holds `text`.
  bool WaitForOutput(const std::string& text, int milliseconds = 10000);
  void Signal(int signal);
  // Waits for the exit and answers the exit code (-1 when it did not end in time, -2 for a signal).
  int Wait(int milliseconds = 20000);

  std::string Output() const;  // standard output (or the log file named at the start) so far
  std::string Errors() const;  // standard error so far
  // Resident memory (kB) and open descriptors of the child now.
  long ResidentKilobytes() const;
  int OpenDescriptors() const;
  // The highest descriptor number the child has open now (-1 when unknown).
  int HighestDescriptor() const;
  // Processor time the child has used so far, in clock ticks (user and system).
  long CpuTicks() const;
  // How often `text` occurs in standard output so far.
  int Count(const std::string& text) const;

 private:
  pid_t pid_ = -1;
  std::string out_;
  bool ownOut_ = true;
  std::string err_;
};

std::string Sha256(const std::string& data);
// `size` bytes of a fixed pseudo-random sequence (the same for the same seed).
std::string RandomBytes(std::size_t size, unsigned seed);

}  // namespace tapline::test
