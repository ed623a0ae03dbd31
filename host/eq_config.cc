#include "eq_config.h"

#include <errno.h>
#include <sys/stat.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "durable_file.h"
#include "eq_data.h"
#include "quelmar_types.h"

namespace {

constexpr const char* kLogSource = "config";

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string trim(const std::string& text) {
  std::size_t first = 0;
  std::size_t last = text.size();
  while (first < last && is_blank(text[first])) ++first;
  while (last > first && is_blank(text[last - 1])) --last;
  return text.substr(first, last - first);
}

[[noreturn]] void throw_config_error(const std::string& message) { throw config_error(message); }

std::string errno_text(int error) { return std::system_category().message(error); }

// std::from_chars takes no leading '+'; a single one is accepted here, as
// strtol would, but not a second sign after it.
template <typename T>
bool parse_number(const std::string& text, T& out) {
  const char* first = text.data();
  const char* const last = first + text.size();
  if (first != last && *first == '+') {
    ++first;
    if (first != last && *first == '-') return false;
  }
  T value{};
  const auto [end, error] = std::from_chars(first, last, value);
  if (error != std::errc() || end != last) return false;
  out = value;
  return true;
}

struct ParsedLine {
  std::string text;
  int line = 0;
};

// Splits text in the file format into name -> (value, line); a later line
// for a name replaces an earlier one.
std::map<std::string, ParsedLine> parse_lines(const std::string& text, const std::string& origin) {
  std::map<std::string, ParsedLine> lines;
  std::size_t pos = 0;
  int number = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    ++number;
    const std::string line = trim(text.substr(pos, end - pos));
    pos = end + 1;
    if (line.empty() || line[0] == '#') continue;
    std::size_t name_end = 0;
    while (name_end < line.size() && !is_blank(line[name_end])) ++name_end;
    const std::string name = line.substr(0, name_end);
    const std::string value = trim(line.substr(name_end));
    if (value.empty()) {
      throw_config_error(origin + ":" + std::to_string(number) + ": missing value for '" + name +
                         "'");
    }
    lines[name] = ParsedLine{value, number};
  }
  return lines;
}

void emit_logs(const std::vector<std::string>& logs) {
  for (const std::string& line : logs) quelmar::printtostderr(kLogSource, line, quelmar::kLogFlags);
}

}  // namespace

std::string Config::parse_entry(D_conf_struct& entry, const std::string& origin) {
  entry.found = false;
  entry.d_int = 0;
  if (entry.text.empty()) return {};
  const char* expected = nullptr;
  switch (entry.data_type) {
    case DATA_INT: {
      int value = 0;
      if (parse_number(entry.text, value)) {
        entry.d_int = value;
        entry.found = true;
      } else {
        expected = "an int";
      }
      break;
    }
    case DATA_FLOAT: {
      float value = 0.0f;
      if (parse_number(entry.text, value)) {
        entry.d_float = value;
        entry.found = true;
      } else {
        expected = "a float";
      }
      break;
    }
    default:
      entry.found = true;
      break;
  }
  if (expected == nullptr) return {};
  std::string where;
  if (entry.line > 0) where = origin + ":" + std::to_string(entry.line) + ": ";
  return where + "bad value '" + entry.text + "' for " + entry.name + ", expected " + expected;
}

void Config::load(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    const int error = errno;
    if (error == ENOENT) {
      load_text(std::string(), path);
      return;
    }
    throw_config_error(path + ": cannot read: " + errno_text(error));
  }
  std::string text;
  char buffer[8192];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
  const bool failed = std::ferror(file) != 0;
  const int error = errno;
  std::fclose(file);
  if (failed) throw_config_error(path + ": cannot read: " + errno_text(error));
  load_text(text, path);
}

void Config::load_text(const std::string& text, const std::string& origin) {
  // Parse completely before touching the entries, so a malformed file
  // leaves the configuration as it was.
  std::map<std::string, ParsedLine> lines = parse_lines(text, origin);
  std::vector<std::string> logs;
  {
    quelmar::MutexLock lock(mutex_);
    origin_ = origin;
    // Registered entries are updated in place so that pointers from find
    // stay valid.
    for (auto it = entries_.begin(); it != entries_.end();) {
      const bool registered = registered_.count(it->first) != 0;
      auto read = lines.find(it->first);
      if (read != lines.end()) {
        it->second.text = std::move(read->second.text);
        it->second.line = read->second.line;
        lines.erase(read);
      } else if (registered) {
        it->second.text.clear();
        it->second.line = 0;
      } else {
        it = entries_.erase(it);
        continue;
      }
      if (registered) {
        std::string log = parse_entry(it->second, origin_);
        if (!log.empty()) logs.push_back(std::move(log));
      }
      ++it;
    }
    // What remains was read for names nobody has registered yet.
    for (auto& [name, read] : lines) {
      D_conf_struct& entry = entries_[name];
      entry.name = name;
      entry.text = std::move(read.text);
      entry.line = read.line;
    }
  }
  emit_logs(logs);
}

void Config::insert(const std::string& name, int data_type) {
  std::string log;
  {
    quelmar::MutexLock lock(mutex_);
    registered_.insert(name);
    D_conf_struct& entry = entries_[name];
    entry.name = name;
    entry.data_type = data_type;
    log = parse_entry(entry, origin_);
  }
  if (!log.empty()) emit_logs({log});
}

D_conf_struct* Config::find(const std::string& name) {
  quelmar::MutexLock lock(mutex_);
  if (registered_.count(name) == 0) return nullptr;
  auto it = entries_.find(name);
  return it != entries_.end() ? &it->second : nullptr;
}

void Config::set_text(const std::string& name, const std::string& text) {
  std::string log;
  {
    quelmar::MutexLock lock(mutex_);
    const bool registered = registered_.count(name) != 0;
    if (text.empty() && !registered) {
      entries_.erase(name);
      return;
    }
    D_conf_struct& entry = entries_[name];
    entry.name = name;
    entry.text = text;
    entry.line = 0;
    if (registered) log = parse_entry(entry, origin_);
  }
  if (!log.empty()) emit_logs({log});
}

std::string Config::text(const std::string& path) const {
  std::string content;
  quelmar::MutexLock lock(mutex_);
  for (const auto& [name, entry] : entries_) {
    // What load would read back: the reader trims the value, and a value of
    // blanks only would be a line without a value.
    const std::string value = trim(entry.text);
    if (value.empty()) continue;
    bool name_ok = !name.empty() && name[0] != '#';
    for (char c : name) name_ok = name_ok && !is_blank(c);
    if (!name_ok) throw_config_error(path + ": cannot save the name '" + name + "'");
    if (value.find('\n') != std::string::npos) {
      throw_config_error(path + ": cannot save the value of '" + name + "': it holds a line break");
    }
    content.append(name).append(" ").append(value).push_back('\n');
  }
  return content;
}

void Config::save(const std::string& path) const {
  const std::string content = text(path);

  // A file that exists keeps its permissions.
  struct stat old_file {};
  const mode_t mode = ::stat(path.c_str(), &old_file) == 0 ? (old_file.st_mode & 07777) : 0644;
  try {
    daqhost::StagedFile staged(path, content, mode);
    staged.install();
  } catch (const std::system_error& e) {
    throw_config_error(path + ": cannot save: " + errno_text(e.code().value()));
  }
  // The rename is an entry of the directory: until the directory is synced,
  // a power failure may bring back the old file.
  try {
    daqhost::sync_folder_of(path);
  } catch (const std::system_error& e) {
    throw_config_error(
        path + ": saved, but its directory cannot be synced: " + errno_text(e.code().value()));
  }
}
