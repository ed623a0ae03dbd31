#include "tool/shell/command_lines.h"

#include <editline/readline.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <utility>

namespace daqevstat::tool {
namespace {

constexpr const char* kPrompt = "daqevstat> ";

volatile std::sig_atomic_t g_interrupted = 0;

// The completer of the current read_command_lines, and the matches of the
// word being completed; the line editor's callbacks take no context.
Completer g_complete;
std::vector<std::string> g_matches;

extern "C" char* next_match(const char* /*word*/, int state) {
  static std::size_t next = 0;
  if (state == 0) next = 0;
  if (next >= g_matches.size()) return nullptr;
  // The line editor frees each match it is given.
  return strdup(g_matches[next++].c_str());
}

extern "C" char** complete_word(const char* word, int start, int /*end*/) {
  rl_attempted_completion_over = 1;  // no file names in place of ours
  g_matches.clear();
  if (!g_complete) return nullptr;
  const std::string before(rl_line_buffer, static_cast<std::size_t>(std::max(start, 0)));
  const std::string prefix(word);
  for (const std::string& candidate : g_complete(before)) {
    if (candidate.compare(0, prefix.size(), prefix) == 0) g_matches.push_back(candidate);
  }
  if (g_matches.empty()) return nullptr;
  return rl_completion_matches(word, next_match);
}

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
  rl_attempted_completion_function = complete_word;
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
                        const std::function<bool(const std::string&)>& execute,
                        Completer complete) {
  InterruptGuard interrupts;
  g_complete = std::move(complete);
  if (::isatty(STDIN_FILENO) != 0) {
    run_interactive(banner, execute);
  } else {
    run_script(execute);
  }
  g_complete = nullptr;
}

}  // namespace daqevstat::tool
