// Stands in for libFuzzer's main where the targets are built without it: runs
// LLVMFuzzerTestOneInput once over every file named on the command line, and
// over every regular file (recursively) of every directory named there. An
// input that crashes or trips a check aborts the process, so a replay passes
// exactly when each input runs to its end.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

bool run_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot open %s\n", path.c_str());
    return false;
  }
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
  // A pointer into an empty vector may be null; libFuzzer never passes null.
  static const std::uint8_t kNone = 0;
  const auto* data = bytes.empty() ? &kNone : reinterpret_cast<const std::uint8_t*>(bytes.data());
  LLVMFuzzerTestOneInput(data, bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s CORPUS_DIR_OR_FILE...\n", argv[0]);
    return 2;
  }
  bool ok = true;
  std::size_t count = 0;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path arg(argv[i]);
    std::error_code error;
    if (std::filesystem::is_directory(arg, error)) {
      // Sorted, so a failing replay is reproducible in the same order.
      std::vector<std::filesystem::path> files;
      for (const auto& entry : std::filesystem::recursive_directory_iterator(arg, error)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
      }
      if (error) {
        std::fprintf(stderr, "cannot list %s: %s\n", argv[i], error.message().c_str());
        ok = false;
      }
      std::sort(files.begin(), files.end());
      for (const auto& file : files) {
        ok = run_file(file) && ok;
        ++count;
      }
    } else {
      ok = run_file(arg) && ok;
      ++count;
    }
  }
  std::fprintf(stderr, "%s: replayed %zu inputs\n", argv[0], count);
  // An empty corpus would let a replay test pass without running anything.
  if (count == 0) {
    std::fprintf(stderr, "no inputs found\n");
    ok = false;
  }
  return ok ? 0 : 1;
}
