#include "durable_file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <vector>

namespace daqhost {
namespace {

[[noreturn]] void fail(int error) { throw std::system_error(error, std::system_category()); }

bool write_all(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

StagedFile::StagedFile(const std::string& target, const std::string& content, mode_t mode)
    : target_(target) {
  const std::string pattern = target + ".tmp-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) fail(errno);
  path_.assign(name.data());
  bool ok = write_all(fd, content) && ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
  int error = errno;
  // close reports delayed write errors on some file systems.
  if (::close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    ::unlink(path_.c_str());
    fail(error);
  }
}

StagedFile::~StagedFile() {
  if (!path_.empty()) ::unlink(path_.c_str());
}

void StagedFile::install() {
  if (::rename(path_.c_str(), target_.c_str()) != 0) fail(errno);
  path_.clear();
}

void sync_folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string(".")
                          : slash == 0               ? "/"
                                                     : path.substr(0, slash);
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) fail(errno);
  int error = 0;
  if (::fsync(fd) != 0 && errno != EINVAL) error = errno;
  ::close(fd);
  if (error != 0) fail(error);
}

void write_file_durably(const std::string& path, const std::string& content, mode_t mode) {
  StagedFile staged(path, content, mode);
  staged.install();
  sync_folder_of(path);
}

}  // namespace daqhost
