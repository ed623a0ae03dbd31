#include "tool/shell/command_lines.h"

#include <editline/readline.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <iostream>

namespace daqevstat::tool {
namespace {

constexpr const char* kPrompt = "daqevstat> ";

volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void on_interrupt(int /*signal*/) { g_interrupted = 1; }

// Catches SIGINT and SIGTERM for its lifetime. Without SA_RESTART, so a read
// blocked on standard input returns and the shell ends cleanly (a local one
// stops its server and saves the settings) instead of the process dying.
class InterruptGuard {
 public:
  InterruptGuard() {
    g_interrupted = 0;
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGINT, &action, &old_int_);
    sigaction(SIGTERM, &action, &old_term_);
  }
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;
  ~InterruptGuard() {
    sigaction(SIGINT, &old_int_, nullptr);
    sigaction(SIGTERM, &old_term_, nullptr);
  }

 private:
  struct sigaction old_int_ {};
  struct sigaction old_term_ {};
};

void run_interactive(const std::string& banner,
                     const std::function<bool(const std::string&)>& execute) {
  // Left to catch them, the line editor would pass SIGINT and SIGTERM on to
  // the whole process group; our own handler ends the shell instead.
  rl_catch_signals = 0;
  std::cout << banner << "\n" << std::flush;
  while (g_interrupted == 0) {
    char* input = readline(kPrompt);
    if (input == nullptr) {
      std::cout << "\n";  // so that the next prompt of the caller starts on its own line
      return;
    }
    const std::string line(input);
    std::free(input);
    if (g_interrupted != 0) {
      std::cout << "\n";
      return;
    }
    if (line.find_first_not_of(" \t") != std::string::npos) add_history(line.c_str());
    if (!execute(line)) return;
  }
}

void run_script(const std::function<bool(const std::string&)>& execute) {
  std::string line;
  while (g_interrupted == 0 && std::getline(std::cin, line)) {
    if (!execute(line)) return;
  }
}

}  // namespace

bool command_lines_interrupted() { return g_interrupted != 0; }

void read_command_lines(const std::string& banner,
                        const std::function<bool(const std::string&)>& execute) {
  InterruptGuard interrupts;
  if (::isatty(STDIN_FILENO) != 0) {
    run_interactive(banner, execute);
  } else {
    run_script(execute);
  }
}

}  // namespace daqevstat::tool
