#ifndef TESTS_SUPPORT_TEMP_FOLDER_H_
#define TESTS_SUPPORT_TEMP_FOLDER_H_

#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

namespace daqevstat::testing {

// The whole content of a file; empty when it cannot be read.
inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The names in the folder `path` ("." and ".." left out), sorted; none when
// it cannot be read.
inline std::vector<std::string> folder_entries(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(path.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A new, empty folder of its own below the test framework's temporary
// folder, removed with everything in it when the object goes; a removal
// that fails fails the test. Construction failing leaves path() empty and
// fails the test.
//
// Thread safety: one object belongs to one thread.
class TempFolder {
 public:
  explicit TempFolder(const std::string& prefix = "daqevstat") {
    std::string pattern = ::testing::TempDir() + prefix + "_XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      ADD_FAILURE() << "cannot create a folder from " << pattern;
      return;
    }
    path_ = pattern;
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  ~TempFolder() {
    if (path_.empty()) return;
    std::error_code error;
    std::filesystem::remove_all(path_, error);
    EXPECT_FALSE(error) << "cannot remove " << path_ << ": " << error.message();
  }

  const std::string& path() const { return path_; }
  // The path of `name` in the folder.
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  std::vector<std::string> entries() const { return folder_entries(path_); }

 private:
  std::string path_;
};

}  // namespace daqevstat::testing

#endif  // TESTS_SUPPORT_TEMP_FOLDER_H_
