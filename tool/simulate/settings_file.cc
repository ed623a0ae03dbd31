#include "tool/simulate/settings_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "durable_file.h"
#include "eq_config.h"

namespace daqevstat::tool {

namespace detail {
void (*before_settings_rename)(const std::string& temp_path) = nullptr;
}  // namespace detail

namespace {

using daqhost::StagedFile;
using daqhost::sync_folder_of;

// Far above any real settings file; a larger file is not read into memory.
constexpr std::size_t kMaxSettingsBytes = 1 << 20;
constexpr mode_t kNewFileMode = 0644;

[[noreturn]] void fail(const std::string& message) { throw SettingsError(message); }

std::string errno_text(int error) { return std::system_category().message(error); }

std::string marker_line() { return std::string(kSettingsEndMarker) + "\n"; }

// 1-based number of the line that holds text[pos].
std::size_t line_at(const std::string& text, std::size_t pos) {
  return static_cast<std::size_t>(std::count(text.begin(), text.begin() + pos, '\n')) + 1;
}

bool ends_with_marker(const std::string& text) {
  // Blank space after the marker (a line break, an editor's trailing blank
  // line) leaves the file complete.
  const std::size_t last = text.find_last_not_of(" \t\r\n");
  if (last == std::string::npos) return false;
  const std::size_t line_start = text.rfind('\n', last);
  const std::size_t first = line_start == std::string::npos ? 0 : line_start + 1;
  std::string line = text.substr(first, last + 1 - first);
  line.erase(0, line.find_first_not_of(" \t"));
  return line == kSettingsEndMarker;
}

// Why `text` read from `path` is not a sound settings file, or "".
std::string text_problem(const std::string& text, const std::string& path) {
  const std::size_t nul = text.find('\0');
  if (nul != std::string::npos) {
    return path + ":" + std::to_string(line_at(text, nul)) + ": NUL byte (file damaged)";
  }
  if (!ends_with_marker(text)) {
    // The line where the marker should have been: the one after the last
    // complete line.
    return path + ":" + std::to_string(line_at(text, text.size())) +
           ": no end marker (file cut short)";
  }
  try {
    Config scratch;  // nothing registered: only the line syntax is checked
    scratch.load_text(text, path);
  } catch (const config_error& e) {
    return e.what();
  }
  return {};
}

struct FileCheck {
  bool exists = false;
  std::string text;            // the file's bytes when it was read
  std::string problem;         // why it is not sound; empty for a sound file
  mode_t mode = kNewFileMode;  // the file's own when it could be examined

  bool sound() const { return exists && problem.empty(); }
};

FileCheck check_file(const std::string& path) {
  FileCheck check;
  // O_NONBLOCK: opening a FIFO named by mistake must not wait for a writer.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    const int error = errno;
    if (error != ENOENT) {
      check.exists = true;
      check.problem = path + ": cannot read: " + errno_text(error);
    }
    return check;
  }
  check.exists = true;
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    check.problem = path + ": cannot read: " + errno_text(errno);
  } else if (!S_ISREG(info.st_mode)) {
    check.problem = path + ": not a regular file";
  } else if (static_cast<std::size_t>(info.st_size) > kMaxSettingsBytes) {
    check.problem = path + ": too large for a settings file";
  } else {
    check.mode = info.st_mode & 07777;
    char buffer[8192];
    for (;;) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n == 0) break;
      if (n < 0) {
        if (errno == EINTR) continue;
        check.problem = path + ": cannot read: " + errno_text(errno);
        break;
      }
      check.text.append(buffer, static_cast<std::size_t>(n));
      if (check.text.size() > kMaxSettingsBytes) {
        check.problem = path + ": too large for a settings file";
        break;
      }
    }
  }
  ::close(fd);
  if (check.problem.empty()) check.problem = text_problem(check.text, path);
  return check;
}

// The durable-write steps, with their errors as SettingsError starting
// with `what`.
template <typename Step>
void durably(const std::string& what, Step&& step) {
  try {
    step();
  } catch (const std::system_error& e) {
    fail(what + errno_text(e.code().value()));
  }
}

// Writes `content` to `path` through a synced temporary file, then syncs
// the folder.
void write_new_file(const std::string& path, const std::string& content) {
  const std::string what = path + ": cannot create: ";
  std::optional<StagedFile> temp;
  durably(what, [&] { temp.emplace(path, content, kNewFileMode); });
  durably(what, [&] { temp->install(); });
  durably(path + ": created, but its folder cannot be synced: ", [&] { sync_folder_of(path); });
}

}  // namespace

std::string settings_backup_path(const std::string& path) { return path + ".bak"; }

SettingsLoad load_settings(EqFct& location, const std::string& path) {
  const FileCheck file = check_file(path);
  if (file.sound()) {
    location.config().load_text(file.text, path);
    SettingsLoad result;
    result.loaded_from = path;
    return result;
  }
  const std::string backup_path = settings_backup_path(path);
  const FileCheck backup = check_file(backup_path);
  if (!file.exists && !backup.exists) {
    write_new_file(path, marker_line());
    location.config().load_text(std::string(), path);
    SettingsLoad result;
    result.created = true;
    return result;
  }
  const std::string why = file.exists ? file.problem : path + ": missing";
  if (!backup.sound()) {
    fail(why +
         "; no sound backup: " + (backup.exists ? backup.problem : backup_path + ": missing"));
  }
  location.config().load_text(backup.text, backup_path);
  SettingsLoad result;
  result.loaded_from = backup_path;
  result.warnings.push_back(why + "; using " + backup_path);
  return result;
}

void save_settings(EqFct& location, const std::string& path) {
  location.update_config();
  std::string content;
  try {
    content = location.config().text(path);
  } catch (const config_error& e) {
    fail(e.what());
  }
  content += marker_line();

  const std::string what = path + ": cannot save: ";
  const FileCheck previous = check_file(path);
  std::optional<StagedFile> temp;
  durably(what, [&] { temp.emplace(path, content, previous.mode); });

  // The previous file becomes the backup by a copy renamed into place, so
  // FILE stays in place throughout: a server reading FILE with the host's
  // reader never finds it missing. A previous file that is not sound (cut
  // short, or what a failed load fell back from) is not worth keeping over
  // the backup there is.
  if (previous.sound()) {
    const std::string backup_path = settings_backup_path(path);
    const std::string backup_what =
        path + ": cannot keep the previous file as " + backup_path + ": ";
    std::optional<StagedFile> backup;
    durably(backup_what, [&] { backup.emplace(backup_path, previous.text, previous.mode); });
    durably(backup_what, [&] { backup->install(); });
  }

  if (detail::before_settings_rename != nullptr) detail::before_settings_rename(temp->path());
  durably(what, [&] { temp->install(); });
  durably(path + ": saved, but its folder cannot be synced: ", [&] { sync_folder_of(path); });
}

}  // namespace daqevstat::tool
