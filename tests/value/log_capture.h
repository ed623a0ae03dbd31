#ifndef TESTS_VALUE_LOG_CAPTURE_H_
#define TESTS_VALUE_LOG_CAPTURE_H_

#include <string>
#include <utility>
#include <vector>

#include "quelmar_types.h"

namespace quelmar {
namespace testing {

// Collects the lines handed to printtostderr while it lives. For
// single-threaded tests: the lines vector is not locked.
class LogCapture {
 public:
  struct Line {
    std::string source;
    std::string text;
    unsigned int flags;
  };

  LogCapture()
      : previous_(set_log_sink(
            [this](const std::string& source, const std::string& text, unsigned int flags) {
              lines_.push_back(Line{source, text, flags});
            })) {}
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  ~LogCapture() { set_log_sink(std::move(previous_)); }

  const std::vector<Line>& lines() const { return lines_; }

 private:
  std::vector<Line> lines_;
  LogSink previous_;
};

}  // namespace testing
}  // namespace quelmar

#endif  // TESTS_VALUE_LOG_CAPTURE_H_
