#ifndef HOST_DURABLE_FILE_H_
#define HOST_DURABLE_FILE_H_

#include <sys/types.h>

#include <string>

#include "host_export.h"

namespace daqhost {

// The one way this system replaces a file (the configuration, the tool's
// settings and pictures). Not installed: servers reach it only through
// Config::save.
//
// A file's new content staged beside it, so that a file is replaced whole
// or not at all, and a replacement survives a power failure: the content
// goes to a temporary file in the same folder, which is synced; install()
// renames it over the target; sync_folder_of() then makes the rename itself
// durable. Every failure throws std::system_error with the errno; callers
// add the file and what they were doing.
//
// Thread safety: one object belongs to one thread; distinct objects, even
// for the same target, may be used concurrently (each has its own
// temporary name). The temporary file's descriptor is close-on-exec from
// its creation on, so a program started meanwhile by another thread does not
// inherit it.
class HOST_EXPORT StagedFile {
 public:
  // Creates "<target>.tmp-XXXXXX" holding `content` with `mode`, synced.
  // Leaves no file behind when it throws.
  StagedFile(const std::string& target, const std::string& content, mode_t mode);
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;
  // Removes the temporary file unless it was installed.
  ~StagedFile();

  const std::string& path() const { return path_; }

  // Renames the temporary file over the target; afterwards there is nothing
  // to remove.
  void install();

 private:
  std::string target_;
  std::string path_;
};

// Syncs the folder that holds `path`. A file system that cannot sync a
// folder (EINVAL) offers nothing more to wait for, and is no failure.
HOST_EXPORT void sync_folder_of(const std::string& path);

// StagedFile, install and sync_folder_of in one.
HOST_EXPORT void write_file_durably(const std::string& path, const std::string& content,
                                    mode_t mode);

}  // namespace daqhost

#endif  // HOST_DURABLE_FILE_H_
