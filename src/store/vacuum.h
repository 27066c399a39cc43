// Vacuum: copying the current records into fresh files, renumbered densely
// from 0, and switching the Store over to them.
//
// A crash at any moment leaves a directory that opens to the state just
// before the vacuum or just after it. The copies are written as .vac files
// and synced; then the snapshot of the new state is written and synced as
// snapshot.bin.vac together with the directory: from that point on the
// vacuum counts as done. Then the copies are renamed into place, the
// snapshot is installed and the log, whose entries the new state already
// reflects, is emptied. At open, a decodable snapshot.bin.vac finishes an
// interrupted vacuum; without one, leftover .vac files are dropped.
#pragma once

#include <string>

#include "format/log_writer.h"
#include "format/status.h"
#include "store/store.h"

namespace corvid {

// Runs a whole vacuum; the caller holds the store lock exclusively and the
// log's lock. Failures of file operations come back as a Status; a row
// outside the table or a failed mapping panics.
Status vacuum_store(Store& store, const std::string& dir, LogWriter& log);

// Called at open, before the data files are opened.
Status finish_interrupted_vacuum(const std::string& dir);

}  // namespace corvid
