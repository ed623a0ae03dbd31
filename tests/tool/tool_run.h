#ifndef TESTS_TOOL_TOOL_RUN_H_
#define TESTS_TOOL_TOOL_RUN_H_

#include <fstream>
#include <sstream>
#include <string>

namespace daqevstat::testing {

// What a run of the daqevstat binary left: its exit status and output.
struct ToolRun {
  int exit_code = -1;
  std::string out;
  std::string err;
};

// The whole content of a file; empty when it cannot be read.
inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace daqevstat::testing

#endif  // TESTS_TOOL_TOOL_RUN_H_
