#ifndef HOST_EQ_CONFIG_H_
#define HOST_EQ_CONFIG_H_

#include <map>
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
  int data_type = 0;    // type code the property registered with (DATA_INT, ...)
  bool found = false;   // the file held a value that parsed as data_type
  union {
    int d_int;
    float d_float;
  };
  std::string text;     // the value as written in the file
  int line = 0;         // line of the file it came from; 0 if none

  D_conf_struct() : d_int(0) {}
};

// The configuration of one location: property values read from a file and
// written back to it, so that settings survive a restart.
//
// File format, one property a line:
//   # comment
//   <property name> <value>
// Blank lines and lines starting with '#' are skipped. A name is any run of
// non-blank characters; the value is the rest of the line with surrounding
// blanks removed. A later line for the same name replaces an earlier one.
//
// Thread-safe: all members may be called concurrently. Pointers returned by
// find stay valid until the Config is destroyed or load is called again.
class HOST_EXPORT Config {
 public:
  Config() = default;
  Config(const Config&) = delete;
  Config& operator=(const Config&) = delete;

  // Reads `path`, replacing what was read before; registrations made with
  // insert are kept and their entries parsed anew. A missing file is not an
  // error (nothing is found). Throws config_error naming file and line on a
  // line without a value or on an unreadable file.
  void load(const std::string& path);

  // Parses text in the file format above; `origin` names it in errors.
  void load_text(const std::string& text, const std::string& origin);

  // Registers a property name with the type code its value is parsed as.
  // A value for it that was read and does not parse as that type leaves the
  // entry with found false and logs one line naming file and line.
  void insert(const std::string& name, int data_type);

  // The entry of a registered name, or null.
  D_conf_struct* find(const std::string& name);

  // Sets the text stored for a name (as the file would give it).
  void set_text(const std::string& name, const std::string& text);

  // Writes every name/text pair, in name order, to `path` through a
  // temporary file renamed into place. Throws config_error on failure.
  void save(const std::string& path) const;

 private:
  void parse_entry(D_conf_struct& entry) const;

  mutable quelmar::Mutex mutex_;
  std::string origin_ GUARDED_BY(mutex_);
  std::map<std::string, D_conf_struct> entries_ GUARDED_BY(mutex_);
};

#endif  // HOST_EQ_CONFIG_H_
