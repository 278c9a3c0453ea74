#include "tests/cli/cli_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <cstring>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

namespace tapline::test {

namespace {
std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}
}  // namespace

CliProcess::CliProcess(const std::vector<std::string>& args, int fileLimit, long sizeLimit, int stdoutFd,
                       const std::string& logPath) {
  static int counter = 0;
  std::string base = ::testing::TempDir() + "tapline-cli-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
  out_ = base + ".out";
  err_ = base + ".err";
  std::string outPath = out_;
  if (stdoutFd >= 0) {
    out_ = logPath;  // the test's own file: left in place
    ownOut_ = false;
  }
  pid_ = fork();
  if (pid_ == 0) {
    int out = stdoutFd >= 0 ? dup(stdoutFd) : open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(out, 1);
    dup2(err, 2);
    close(out);
    close(err);
    // Nothing the test process happens to hold reaches the child.
    for (int fd = 3; fd < 4096; ++fd) close(fd);
    if (fileLimit > 0) {
      rlimit limit{static_cast<rlim_t>(fileLimit), static_cast<rlim_t>(fileLimit)};
      setrlimit(RLIMIT_NOFILE, &limit);
    }
    if (sizeLimit > 0) {
      rlimit limit{static_cast<rlim_t>(sizeLimit), static_cast<rlim_t>(sizeLimit)};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    std::vector<char*> argv;
    std::string program = TAPLINE_CLI_PATH;
    argv.push_back(program.data());
    std::vector<std::string> copy = args;
    for (std::string& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
}

CliProcess::~CliProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (ownOut_) unlink(out_.c_str());
  unlink(err_.c_str());
}

std::string CliProcess::Output() const { return ReadFile(out_); }
std::string CliProcess::Errors() const { return ReadFile(err_); }

bool CliProcess::WaitForOutput(const std::string& text, int milliseconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (std::chrono::steady_clock::now() < deadline) {
    if (Output().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return Output().find(text) != std::string::npos;
}

int CliProcess::WaitForPort(int milliseconds) {
  if (!WaitForOutput("Waiting for connections", milliseconds)) return 0;
  std::string out = Output();
  auto at = out.find("Local Port (");
  if (at == std::string::npos) return 0;
  return std::atoi(out.c_str() + at + 12);
}

void CliProcess::Signal(int signal) {
  if (pid_ > 0) kill(pid_, signal);
}

int CliProcess::Wait(int milliseconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return -1;
}

std::string Sha256(const std::string& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr);
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < length; ++i) {
    out += hex[digest[i] >> 4];
    out += hex[digest[i] & 15];
  }
  return out;
}

}  // namespace tapline::test

namespace tapline::test {

long CliProcess::ResidentKilobytes() const {
  std::string status = ReadFile("/proc/" + std::to_string(pid_) + "/status");
  auto at = status.find("VmRSS:");
  return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 6);
}

int CliProcess::OpenDescriptors() const {
  int n = 0;
  std::string dir = "/proc/" + std::to_string(pid_) + "/fd";
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

int CliProcess::HighestDescriptor() const {
  int highest = -1;
  std::string dir = "/proc/" + std::to_string(pid_) + "/fd";
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] != '.') highest = std::max(highest, std::atoi(e->d_name));
    }
    closedir(d);
  }
  return highest;
}

long CliProcess::CpuTicks() const {
  std::string stat = ReadFile("/proc/" + std::to_string(pid_) + "/stat");
  auto close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream in(stat.substr(close + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && in >> field; ++i) {
    if (i == 14) utime = std::stol(field);
    if (i == 15) stime = std::stol(field);
  }
  return utime + stime;
}

int CliProcess::Count(const std::string& text) const {
  std::string out = Output();
  int n = 0;
  for (auto at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) ++n;
  return n;
}

std::string RandomBytes(std::size_t size, unsigned seed) {
  std::string data(size, '\0');
  std::mt19937_64 random(seed);
  for (std::size_t i = 0; i + 8 <= size; i += 8) {
    std::uint64_t v = random();
    std::memcpy(&data[i], &v, 8);
  }
  return data;
}

}  // namespace tapline::test
