// Completing or dropping what an interrupted vacuum left in a directory.
// The vacuum itself is Store::vacuum (vacuum.cc explains its commit point).
#pragma once

#include "format/file_names.h"
#include "format/status.h"

namespace corvid {

// At a read-write open, before the data files are opened: installs the
// files of a vacuum that had committed, or drops those of one that had not.
Status finish_interrupted_vacuum(const StorePaths& paths);

// For a read-only open, which changes nothing: *state_paths names where the
// state the next open reaches is, and *committed says whether that is a
// vacuum that had committed but not yet put its files in place (its
// snapshot, and each data file's copy until that copy was renamed). Fails
// only when the vacuum's snapshot exists but cannot be opened.
Status committed_vacuum(const StorePaths& paths, StorePaths* state_paths, bool* committed);

}  // namespace corvid
