// Arbitrary bytes as a web configuration file. The loader either fills the
// options or throws std::runtime_error with a message naming the file, and
// leaves the options as they were when it throws. Besides crashes and
// sanitizer reports, the harness aborts on any other exception, on a
// message that does not name the file, and on options changed by a refusal.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "daqevstat_http.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "web_config fuzzer: %s\n", what);
  std::abort();
}

// The input as a file nothing else sees, for as long as the call runs.
class InputFile {
 public:
  InputFile(const std::uint8_t* data, std::size_t size) : fd_(::memfd_create("web.yml", 0)) {
    if (fd_ < 0) fail("no memfd");
    for (std::size_t done = 0; done < size;) {
      const ssize_t n = ::write(fd_, data + done, size - done);
      if (n <= 0) fail("cannot write the input");
      done += static_cast<std::size_t>(n);
    }
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile() { ::close(fd_); }

  const std::string& path() const { return path_; }

 private:
  int fd_;
  std::string path_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 64 * 1024) return 0;
  const InputFile file(data, size);
  daqnet::HttpServerOptions options;
  options.host = "kept";
  try {
    daqnet::load_web_config(file.path(), options);
  } catch (const std::runtime_error& e) {
    if (std::string(e.what()).find(file.path()) == std::string::npos) {
      fail("a refusal that does not name the file");
    }
    if (options.host != "kept" || !options.tls.cert_file.empty() || !options.users.empty() ||
        !options.response_headers.empty()) {
      fail("a refusal changed the options");
    }
    return 0;
  } catch (...) {
    fail("an exception other than std::runtime_error");
  }
  if (options.host != "kept") fail("the file changed what it cannot set");
  for (const daqnet::HttpUser& user : options.users) {
    if (user.password_hash.size() != 60) fail("a user without a bcrypt hash");
  }
  return 0;
}
