#include "tool/simulate/settings_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "eq_config.h"
#include "eq_data.h"
#include "eq_fct.h"
#include "quelmar_types.h"
#include "support/temp_folder.h"
#include "vrel_daq_event_stat.h"

namespace daqevstat::tool {
namespace {

using daqevstat::testing::TempFolder;

const std::string kEnd = std::string(kSettingsEndMarker) + "\n";

// One run of the tool: a location that loads the settings, then the
// statistics object built on it, as simulate and shell do.
struct Session {
  explicit Session(const std::string& path)
      : load(load_settings(location, path)), stat("EVSTAT settings test", &location) {}

  int write(const std::string& suffix, int value) {
    EqData in;
    EqData out;
    in.set(value);
    location.remote_set("EVSTAT" + suffix, &in, &out);
    EXPECT_EQ(0, out.error()) << suffix;
    return out.get_int();
  }

  int read(const std::string& suffix) {
    EqData out;
    location.remote_get("EVSTAT" + suffix, nullptr, &out);
    EXPECT_EQ(0, out.error()) << suffix;
    return out.get_int();
  }

  EqFct location{"EVSTAT"};
  SettingsLoad load;
  vrel_daq_event_stat stat;
};

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.empty());
    previous_sink_ = quelmar::set_log_sink(
        [this](const std::string&, const std::string& text, unsigned) { logs_.push_back(text); });
  }

  void TearDown() override {
    detail::before_settings_rename = nullptr;
    quelmar::set_log_sink(previous_sink_);
  }

  std::vector<std::string> files() const { return folder_.entries(); }

  static std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
  }

  static void write_file(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
  }

  // Sessions that leave FILE with period 45 and FILE.bak with period 30.
  void save_two_periods() {
    Session session(path_);
    session.write(".STAT.ON", 1);
    session.write(".STAT.EV.LOST.PERIOD", 30);
    save_settings(session.location, path_);
    session.write(".STAT.EV.LOST.PERIOD", 45);
    save_settings(session.location, path_);
  }

  // The period a new session starts with once statistics are switched on.
  int period_after_restart() {
    Session session(path_);
    EXPECT_TRUE(session.load.warnings.empty());
    session.write(".STAT.ON", 1);
    return session.read(".STAT.EV.LOST.PERIOD");
  }

  TempFolder folder_{"settings_test"};
  std::string dir_ = folder_.path();
  std::string path_ = dir_ + "/settings.conf";
  std::string bak_ = path_ + ".bak";
  std::vector<std::string> logs_;
  quelmar::LogSink previous_sink_;
};

TEST_F(SettingsTest, SwitchAndPeriodSurviveRestart) {
  {
    Session session(path_);
    EXPECT_TRUE(session.load.created);
    EXPECT_EQ(kEnd, read_file(path_));
    session.write(".STAT.ON", 1);
    session.write(".STAT.EV.LOST.PERIOD", 30);
    save_settings(session.location, path_);  // the shell's `save`
    session.write(".STAT.ON", 0);
    save_settings(session.location, path_);  // at exit
  }
  EXPECT_EQ((std::vector<std::string>{"settings.conf", "settings.conf.bak"}), files());
  const std::string saved = read_file(path_);
  EXPECT_NE(std::string::npos, saved.find("EVSTAT.STAT.ON 0\n")) << saved;
  ASSERT_GT(saved.size(), kEnd.size());
  EXPECT_EQ(kEnd, saved.substr(saved.size() - kEnd.size()));
  EXPECT_NE(std::string::npos, read_file(bak_).find("EVSTAT.STAT.ON 1\n"));

  {
    Session session(path_);
    EXPECT_EQ(path_, session.load.loaded_from);
    EXPECT_FALSE(session.load.created);
    EXPECT_TRUE(session.load.warnings.empty());
    EXPECT_FALSE(session.stat.is_on());
    EXPECT_EQ(0, session.read(".STAT.ON"));
    EXPECT_FALSE(session.location.has_property("EVSTAT.STAT.EV.LOST.PERIOD"));
    session.write(".STAT.ON", 1);
    EXPECT_EQ(30, session.read(".STAT.EV.LOST.PERIOD"));
  }

  // Servers read the same file with the host's own reader.
  Config plain;
  plain.load(path_);
  plain.insert("EVSTAT.STAT.EV.LOST.PERIOD", DATA_INT);
  EXPECT_EQ(30, plain.find("EVSTAT.STAT.EV.LOST.PERIOD")->d_int);
  EXPECT_TRUE(logs_.empty());
}

TEST_F(SettingsTest, InterruptedSaveLeavesOldSettingsLoadable) {
  save_two_periods();
  const std::string before = read_file(path_);

  // The process dies after the new file is synced, before the rename: its
  // temporary file stays behind.
  static std::string leftover;
  leftover = dir_ + "/settings.conf.tmp-crash";
  detail::before_settings_rename = [](const std::string& temp) {
    ASSERT_EQ(0, ::link(temp.c_str(), leftover.c_str()));
    throw std::runtime_error("power lost");
  };
  {
    Session session(path_);
    session.write(".STAT.ON", 1);
    session.write(".STAT.EV.LOST.PERIOD", 60);
    EXPECT_THROW(save_settings(session.location, path_), std::runtime_error);
  }
  detail::before_settings_rename = nullptr;
  EXPECT_EQ(before, read_file(path_));
  EXPECT_EQ(before, read_file(bak_));
  EXPECT_NE(std::string::npos, read_file(leftover).find("EVSTAT.STAT.EV.LOST.PERIOD 60\n"));
  EXPECT_EQ(
      (std::vector<std::string>{"settings.conf", "settings.conf.bak", "settings.conf.tmp-crash"}),
      files())
      << "only the simulated leftover may remain";
  EXPECT_EQ(45, period_after_restart());
}

TEST_F(SettingsTest, DamagedFileFallsBackToBackup) {
  save_two_periods();
  const std::string good = read_file(path_);
  const std::string backup = read_file(bak_);
  const std::size_t value_line = good.find("EVSTAT.STAT.EV.LOST.PERIOD");
  ASSERT_NE(std::string::npos, value_line);
  const std::string value_line_no =
      std::to_string(std::count(good.begin(), good.begin() + value_line, '\n') + 1);
  const std::string marker_line_no = std::to_string(std::count(good.begin(), good.end(), '\n'));

  struct Damage {
    std::string content;
    std::string problem;
  };
  const std::vector<Damage> damages = {
      {good.substr(0, good.size() - 5), ":" + marker_line_no + ": no end marker (file cut short)"},
      {good.substr(0, value_line + 27), ":" + value_line_no + ": no end marker (file cut short)"},
      {"", ":1: no end marker (file cut short)"},
      {"EVSTAT.STAT.ON 1\nEVSTAT.STAT.EV.LOST.PERIOD\n" + kEnd,
       ":2: missing value for 'EVSTAT.STAT.EV.LOST.PERIOD'"},
      {std::string("EVSTAT.STAT.ON 1\n\n\0\0", 20) + kEnd, ":3: NUL byte (file damaged)"},
  };
  for (const Damage& damage : damages) {
    SCOPED_TRACE(damage.problem);
    write_file(path_, damage.content);
    {
      Session session(path_);
      EXPECT_EQ(bak_, session.load.loaded_from);
      EXPECT_EQ(std::vector<std::string>{path_ + damage.problem + "; using " + bak_},
                session.load.warnings);
      session.write(".STAT.ON", 1);
      EXPECT_EQ(30, session.read(".STAT.EV.LOST.PERIOD"));
      EXPECT_EQ(damage.content, read_file(path_)) << "loading touches no file";

      // Saving replaces the damaged file but keeps the good backup.
      save_settings(session.location, path_);
      EXPECT_EQ(backup, read_file(bak_));
    }
    EXPECT_EQ(30, period_after_restart());
  }
}

TEST_F(SettingsTest, NoSoundFileStopsAndTouchesNeither) {
  const std::string malformed = "EVSTAT.STAT.ON\n" + kEnd;
  const std::string cut_short = "EVSTAT.STAT.ON 1\n";
  const timespec old_times[2] = {{1000000000, 0}, {1000000000, 0}};
  const auto mtime_of = [](const std::string& path) {
    struct stat info {};
    EXPECT_EQ(0, ::stat(path.c_str(), &info));
    return info.st_mtim.tv_sec;
  };
  const auto expect_error = [this](const std::string& expected) {
    EqFct location("EVSTAT");
    location.config().load_text("KEPT 1\n", "earlier");
    try {
      load_settings(location, path_);
      ADD_FAILURE() << "loaded";
    } catch (const SettingsError& e) {
      EXPECT_EQ(expected, e.what());
    }
    location.config().insert("KEPT", DATA_INT);
    EXPECT_TRUE(location.config().find("KEPT")->found) << "configuration untouched";
  };

  write_file(path_, malformed);
  ASSERT_EQ(0, ::utimensat(AT_FDCWD, path_.c_str(), old_times, 0));
  expect_error(path_ + ":1: missing value for 'EVSTAT.STAT.ON'; no sound backup: " + bak_ +
               ": missing");
  EXPECT_EQ(malformed, read_file(path_));
  EXPECT_EQ(1000000000, mtime_of(path_));
  EXPECT_EQ(std::vector<std::string>{"settings.conf"}, files());

  write_file(bak_, cut_short);
  ASSERT_EQ(0, ::utimensat(AT_FDCWD, bak_.c_str(), old_times, 0));
  expect_error(path_ + ":1: missing value for 'EVSTAT.STAT.ON'; no sound backup: " + bak_ +
               ":2: no end marker (file cut short)");
  ::unlink(path_.c_str());
  expect_error(path_ + ": missing; no sound backup: " + bak_ +
               ":2: no end marker (file cut short)");
  ASSERT_EQ(0, ::mkfifo(path_.c_str(), 0644));  // must not wait for a writer
  expect_error(path_ + ": not a regular file; no sound backup: " + bak_ +
               ":2: no end marker (file cut short)");
  ::unlink(path_.c_str());
  EXPECT_EQ(cut_short, read_file(bak_));
  EXPECT_EQ(1000000000, mtime_of(bak_));
  EXPECT_EQ(std::vector<std::string>{"settings.conf.bak"}, files());
}

TEST_F(SettingsTest, MissingFileIsCreatedUnlessABackupIsThere) {
  EqFct location("EVSTAT");
  const SettingsLoad load = load_settings(location, path_);
  EXPECT_TRUE(load.created);
  EXPECT_EQ("", load.loaded_from);
  EXPECT_EQ(kEnd, read_file(path_));
  struct stat info {};
  ASSERT_EQ(0, ::stat(path_.c_str(), &info));
  EXPECT_EQ(0644u, info.st_mode & 0777);

  // A missing file beside a sound backup: the backup is loaded, nothing made.
  ASSERT_EQ(0, ::rename(path_.c_str(), bak_.c_str()));
  const SettingsLoad fallback = load_settings(location, path_);
  EXPECT_FALSE(fallback.created);
  EXPECT_EQ(bak_, fallback.loaded_from);
  EXPECT_EQ(std::vector<std::string>{path_ + ": missing; using " + bak_}, fallback.warnings);
  EXPECT_EQ(std::vector<std::string>{"settings.conf.bak"}, files());
}

TEST_F(SettingsTest, SaveKeepsModeAndUnwritablePathsAreNamed) {
  save_two_periods();
  ASSERT_EQ(0, ::chmod(path_.c_str(), 0600));
  EqFct location("EVSTAT");
  load_settings(location, path_);
  save_settings(location, path_);
  for (const std::string& path : {path_, bak_}) {
    struct stat info {};
    ASSERT_EQ(0, ::stat(path.c_str(), &info));
    EXPECT_EQ(0600u, info.st_mode & 0777) << path;
  }

  // A missing folder, and a "folder" that is a file (refused even to root).
  for (const std::string& bad : {dir_ + "/no/such/settings.conf", path_ + "/settings.conf"}) {
    SCOPED_TRACE(bad);
    EqFct other("EVSTAT");
    try {
      load_settings(other, bad);
      ADD_FAILURE() << "created";
    } catch (const SettingsError& e) {
      EXPECT_EQ(0u, std::string(e.what()).find(bad + ": ")) << e.what();
    }
    try {
      save_settings(location, bad);
      ADD_FAILURE() << "saved";
    } catch (const SettingsError& e) {
      EXPECT_EQ(0u, std::string(e.what()).find(bad + ": cannot save: ")) << e.what();
    }
  }
  EXPECT_EQ((std::vector<std::string>{"settings.conf", "settings.conf.bak"}), files());
}

}  // namespace
}  // namespace daqevstat::tool
