#include "durable_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>
#include <system_error>
#include <vector>

#include "support/temp_folder.h"

namespace {

using daqevstat::testing::read_file;
using daqevstat::testing::TempFolder;

mode_t mode_of(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(0, ::stat(path.c_str(), &info)) << path;
  return info.st_mode & 07777;
}

// The target changes only at install, whole, with the mode asked for; a
// staged file not installed and a failed write leave nothing behind.
TEST(DurableFileTest, TheTargetChangesWholeAtInstallAndNothingElseStays) {
  const TempFolder folder("durable_file");
  const std::string target = folder.file("target");
  daqhost::write_file_durably(target, "old\n", 0640);
  {
    daqhost::StagedFile staged(target, "new\n", 0600);
    EXPECT_EQ((std::vector<std::string>{"target", staged.path().substr(folder.path().size() + 1)}),
              folder.entries());
    EXPECT_EQ("old\n", read_file(target));
  }
  EXPECT_EQ(std::vector<std::string>{"target"}, folder.entries());
  {
    daqhost::StagedFile staged(target, "new\n", 0600);
    staged.install();
  }
  EXPECT_EQ("new\n", read_file(target));
  EXPECT_EQ(0600u, mode_of(target));
  EXPECT_EQ(std::vector<std::string>{"target"}, folder.entries());

  try {
    daqhost::write_file_durably(folder.file("missing/target"), "x", 0644);
    ADD_FAILURE() << "expected std::system_error";
  } catch (const std::system_error& e) {
    EXPECT_EQ(ENOENT, e.code().value());
  }
  EXPECT_EQ(std::vector<std::string>{"target"}, folder.entries());
}

}  // namespace
