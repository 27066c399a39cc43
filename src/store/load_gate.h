// The gate between a reader's load and a writer's installs. A read-only open
// reads the snapshot, the log and the data files one after another; a writer
// replaces the snapshot and empties the log at persist, and renames a
// vacuum's files into place. The reader holds wal.bin -- the one file no
// operation replaces -- locked shared while it loads, the writer holds it
// exclusively while it installs, so a reader sees the files before an
// install or after it, never half of each. A missing wal.bin or a file
// system without locks leaves the gate open.
#pragma once

#include <string>

#include "format/file_util.h"

namespace corvid {

class LoadGate {
 public:
  // A reader's hold on the log at `wal_path`, waiting while a writer installs.
  static LoadGate for_loading(const std::string& wal_path);
  // A writer's hold, on its open log `fd` (not owned), or on the log at a
  // path when it has none open yet.
  static LoadGate for_installing(int fd);
  static LoadGate for_installing(const std::string& wal_path);

  LoadGate() = default;
  LoadGate(LoadGate&& other) noexcept;
  LoadGate& operator=(LoadGate&&) = delete;
  ~LoadGate();

 private:
  static LoadGate on_path(const std::string& wal_path, int operation);

  Fd owned_;
  int fd_ = -1;  // locked, or -1
};

}  // namespace corvid
