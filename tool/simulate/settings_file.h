#ifndef TOOL_SIMULATE_SETTINGS_FILE_H_
#define TOOL_SIMULATE_SETTINGS_FILE_H_

#include <stdexcept>
#include <string>
#include <vector>

#include "eq_fct.h"

namespace daqevstat::tool {

// The settings file of `--config FILE`: the property values of one location
// in the host's configuration format, closed by kSettingsEndMarker. The
// marker is a comment, so the host's Config::load reads the same file; the
// tool itself loads only a file that ends with it, which tells a complete
// file from one cut short. FILE.bak holds the previous sound file.
//
// Invariant of save_settings, at every step and after a crash at any step:
// FILE (or, if FILE is unsound, FILE.bak) is a complete sound file, holding
// either the old settings or the new ones. FILE is replaced only by rename.
//
// Thread safety: the functions hold no lock of their own. load_settings
// must run before any property registers with the location's configuration
// (no statistics object built yet). save_settings may run while clients use
// the location; two saves to the same FILE must not overlap (each leaves
// sound files, but which one ends up as FILE.bak is undetermined).

// The last line of every settings file the tool writes.
inline constexpr char kSettingsEndMarker[] = "# end of daqevstat settings";

// Neither the settings file nor its backup could be loaded (the message
// names both and why), or a file could not be written (the message names
// it); the caller exits 1.
class SettingsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct SettingsLoad {
  // The path actually loaded (FILE or FILE.bak); empty when FILE was created.
  std::string loaded_from;
  // FILE and FILE.bak did not exist; FILE was created with no settings.
  bool created = false;
  // For the user, e.g. "s.conf:3: no end marker (file cut short); using s.conf.bak".
  std::vector<std::string> warnings;
};

// "<path>.bak".
std::string settings_backup_path(const std::string& path);

// Replaces what location.config() holds with the settings in `path`, so that
// the properties registered afterwards take the saved values.
//  - A sound FILE is loaded.
//  - An unsound FILE (unreadable, cut short, malformed: the reason names the
//    file and the line) or a missing FILE falls back to a sound FILE.bak,
//    with a warning naming both.
//  - When neither file exists, FILE is created with no settings.
// Throws SettingsError when neither file is sound, or when FILE cannot be
// created; neither file is touched then, nor the configuration. A value that
// does not parse as its property's type is left to the host, which logs it
// when the property registers.
SettingsLoad load_settings(EqFct& location, const std::string& path);

// Saves every property value of the location as EqFct::save_config does
// (entries read at start stay, current property values override) to `path`:
// a temporary file in the same folder, written with the end marker and
// synced; the previous FILE, if sound, copied to FILE.bak (an unsound one is
// not, so a good backup is never replaced by a broken file); the temporary
// file renamed over FILE; the folder synced. FILE keeps its mode; a new one
// gets 0644. No temporary file is left behind.
// Throws SettingsError naming the file when something cannot be written;
// FILE is then as it was, except when only the final folder sync fails,
// which the message says.
void save_settings(EqFct& location, const std::string& path);

namespace detail {

// Called by save_settings after the new content is synced to `temp_path` and
// FILE.bak is in place, right before the rename over FILE; null in
// production. Tests set it to interrupt a save there. Set it only while no
// save runs.
extern void (*before_settings_rename)(const std::string& temp_path);

}  // namespace detail

}  // namespace daqevstat::tool

#endif  // TOOL_SIMULATE_SETTINGS_FILE_H_
