#ifndef HOST_EQ_CONFIG_H_
#define HOST_EQ_CONFIG_H_

#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "host_export.h"
#include "thread_annotations.h"

// Raised by the configuration reader for a file it cannot read or parse; the
// message names the file and the line.
class HOST_EXPORT config_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One property's entry in the configuration, as D_fct::find_prop_name gives it.
struct D_conf_struct {
  std::string name;
  int data_type = 0;   // type code the property registered with (DATA_INT, ...)
  bool found = false;  // the file held a value that parsed as data_type
  union {
    int d_int;
    float d_float;
  };
  std::string text;  // the value as written in the file
  int line = 0;      // line of the file it came from; 0 if none

  D_conf_struct() : d_int(0) {}
};

// The configuration of one location: property values read from a file and
// written back to it, so that settings survive a restart.
//
// File format, one property a line:
//   # comment
//   <property name> <value>
// Blank lines and lines whose first non-blank character is '#' are skipped.
// A name is any run of non-blank characters; the value is the rest of the
// line with surrounding blanks (space, tab, carriage return) removed. A later
// line for the same name replaces an earlier one.
//
// Values of registered names are parsed by their type code: DATA_INT as a
// decimal 32-bit int (an optional sign, digits, nothing else), DATA_FLOAT as
// a float in fixed or scientific form, "nan" and "inf" included (any form
// quelmar::write_conf_value_to_stream writes). A number outside the type's
// range does not parse. Other codes take the text as it is: found is true
// for any non-empty value and the entry's union stays 0.
//
// Thread-safe: all members may be called concurrently; one mutex guards the
// entries. The entry of a registered name lives as long as the Config, so a
// pointer returned by find stays valid until the Config is destroyed; its
// fields are rewritten by load, load_text, insert and set_text, so a reader
// through that pointer must not run concurrently with those.
class HOST_EXPORT Config {
 public:
  Config() = default;
  Config(const Config&) = delete;
  Config& operator=(const Config&) = delete;

  // Reads `path`, replacing what was read before; registrations made with
  // insert are kept and their entries parsed anew. A missing file is not an
  // error (nothing is found). Throws config_error naming file and line on a
  // line without a value, or naming the file when it cannot be read; the
  // Config then keeps what it held before the call.
  void load(const std::string& path);

  // Parses text in the file format above; `origin` names it in errors.
  void load_text(const std::string& text, const std::string& origin);

  // Registers a property name with the type code its value is parsed as.
  // A value for it that was read and does not parse as that type leaves the
  // entry with found false and logs one line naming file and line through
  // quelmar::printtostderr. Registering a name again changes its type code.
  void insert(const std::string& name, int data_type);

  // The entry of a registered name, or null.
  D_conf_struct* find(const std::string& name);

  // Sets the text stored for a name (as the file would give it) and, for a
  // registered name, parses it like a value read from a file. An empty text
  // removes the value.
  void set_text(const std::string& name, const std::string& text);

  // Writes every name that has a non-empty text, with its text, in name
  // order, to `path` through a temporary file in the same directory that is
  // renamed into place, so a reader sees the old file or the new one, never
  // part of one; the directory is then synced, so the new file survives a
  // power failure. Throws config_error when the file cannot be written, or
  // when a pair cannot be written so that load reads it back (a name that is
  // empty, starts with '#' or holds a blank, a text that holds a line break);
  // the file on disk is then left as it was. Only when the directory cannot
  // be synced is the new file already in place; the error says so.
  void save(const std::string& path) const;

  // The content save(path) writes, for a caller that stores it its own way.
  // Throws config_error naming `path` for a pair that save would refuse.
  std::string text(const std::string& path) const;

 private:
  // Parses entry.text by entry.data_type into found and the union; returns
  // the log line to write when the text does not parse, else an empty string.
  static std::string parse_entry(D_conf_struct& entry, const std::string& origin);

  mutable quelmar::Mutex mutex_;
  std::string origin_ GUARDED_BY(mutex_);
  std::map<std::string, D_conf_struct> entries_ GUARDED_BY(mutex_);
  std::set<std::string> registered_ GUARDED_BY(mutex_);
};

#endif  // HOST_EQ_CONFIG_H_
