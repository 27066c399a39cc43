// Bringing a freshly opened Store to the state its directory describes.
#pragma once

#include <optional>
#include <string>

#include "format/status.h"
#include "store/store.h"

namespace corvid {

// Loads snapshot.bin when it exists and decodes, then replays every whole
// entry of wal.bin through apply_put and apply_delete. When replay stopped at
// bytes that do not decode (not at a failed read), *truncate_log_to is the
// end of the last whole entry: the log must be cut there before appending.
Status recover_store(Store& store, const std::string& snapshot_path, const std::string& wal_path,
                     std::optional<uint64_t>* truncate_log_to);

}  // namespace corvid
