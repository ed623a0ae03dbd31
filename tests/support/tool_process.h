#ifndef TESTS_SUPPORT_TOOL_PROCESS_H_
#define TESTS_SUPPORT_TOOL_PROCESS_H_

// Runs of the daqevstat binary (DAQEVSTAT_TOOL_PATH, which the test target
// defines): what a finished run left, and a child the test talks to while
// it runs.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_folder.h"

namespace daqevstat::testing {

// What a run of the daqevstat binary left: its exit status and output.
struct ToolRun {
  int exit_code = -1;
  std::string out;
  std::string err;
};

// The lines of `text`, without their line ends.
inline std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// `arg` as one word of a shell command line.
inline std::string shell_quoted(const std::string& arg) {
  std::string out = "'";
  for (char c : arg) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// The binary running as a child with `args`, its standard output and error
// in "<dir>/<name>out" and "<dir>/<name>err" and its standard input from a
// pipe the test writes (`piped_input`) or /dev/null. The destructor kills a
// child still running.
//
// Thread safety: one object belongs to one thread.
class ToolProcess {
 public:
  ToolProcess(const std::string& dir, const std::vector<std::string>& args, bool piped_input,
              const std::string& name = "")
      : err_(dir + "/" + name + "err") {
    int input[2] = {-1, -1};
    if (piped_input && ::pipe(input) != 0) return;
    const std::string out_path = dir + "/" + name + "out";
    pid_ = ::fork();
    if (pid_ == 0) {
      const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int err = ::open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int in = piped_input ? input[0] : ::open("/dev/null", O_RDONLY);
      ::dup2(in, 0);
      ::dup2(out, 1);
      ::dup2(err, 2);
      if (piped_input) ::close(input[1]);
      std::vector<char*> argv;
      std::string tool = DAQEVSTAT_TOOL_PATH;
      argv.push_back(tool.data());
      std::vector<std::string> copy = args;
      for (std::string& arg : copy) argv.push_back(arg.data());
      argv.push_back(nullptr);
      ::execv(tool.c_str(), argv.data());
      ::_exit(127);
    }
    if (piped_input) {
      ::close(input[0]);
      input_ = input[1];
    }
  }
  ToolProcess(const ToolProcess&) = delete;
  ToolProcess& operator=(const ToolProcess&) = delete;
  ~ToolProcess() {
    if (input_ >= 0) ::close(input_);
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  // The URL it prints, waiting up to 20 s; "" when none came.
  std::string url() const {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < until) {
      const std::string err = read_file(err_);
      const std::size_t at = err.find("listening on ");
      const std::size_t end = err.find('\n', at);
      if (at != std::string::npos && end != std::string::npos) {
        return err.substr(at + 13, end - at - 13);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return "";
  }

  void send(const std::string& text) {
    ASSERT_EQ(static_cast<ssize_t>(text.size()), ::write(input_, text.data(), text.size()));
  }
  void close_input() {
    ::close(input_);
    input_ = -1;
  }

  // Exit status, waiting up to `seconds` (then killed: -1).
  int wait(int seconds = 30) {
    if (pid_ <= 0 || reaped_) return -1;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > until) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        reaped_ = true;
        return -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    reaped_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string err() const { return read_file(err_); }
  void terminate() {
    if (pid_ > 0 && !reaped_) ::kill(pid_, SIGTERM);
  }
  // Ends it with SIGTERM, killing it after 20 s.
  void stop() {
    terminate();
    wait(20);
  }

 private:
  std::string err_;
  pid_t pid_ = -1;
  int input_ = -1;
  bool reaped_ = false;
};

}  // namespace daqevstat::testing

#endif  // TESTS_SUPPORT_TOOL_PROCESS_H_
