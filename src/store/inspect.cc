#include "store/inspect.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>

#include "format/file_names.h"
#include "format/log_reader.h"
#include "format/record_state.h"
#include "format/record_table.h"
#include "format/snapshot.h"
#include "store/db.h"
#include "store/dir_lock.h"
#include "store/load_gate.h"
#include "store/record_check.h"
#include "store/vacuum.h"

namespace corvid {

namespace {

bool ends_with(const std::string& name, std::string_view suffix) {
  return name.size() > suffix.size() &&
         name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::vector<std::string> leftovers_in(const std::string& dir) {
  std::vector<std::string> out;
  DIR* d = ::opendir(directory_path(dir).c_str());
  if (d == nullptr) return out;
  while (dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (ends_with(name, kTempSuffix) || ends_with(name, kVacuumSuffix)) out.push_back(name);
  }
  ::closedir(d);
  std::sort(out.begin(), out.end());
  return out;
}

// Checks every live record of `snap` against the files (record_check.h);
// reports at most kShown records and counts them all.
void check_records(const RecordState& snap, const RowRun& run, const DataFiles& files,
                   Verification* out) {
  constexpr uint64_t kShown = 20;
  const HashMap<uint32_t, uint64_t> named = hashes_by_id(snap.index);
  uint64_t found = 0;
  std::string key;
  snap.live.for_each([&](uint32_t id) {
    auto it = named.find(id);
    const char* damage = record_damage(files, snap, run, id,
                                       it == named.end() ? nullptr : &it->second, &key, nullptr);
    if (damage != nullptr && ++found <= kShown) {
      out->damage.push_back("record " + std::to_string(id) + ": " + damage);
    }
  });
  if (found > kShown) {
    out->damage.push_back(std::to_string(found - kShown) + " more record finding(s)");
  }
  out->damage_count += found;
}

void check_snapshot(const RecordState& snap, Verification* out) {
  auto find = [&](std::string what) {
    out->damage.push_back(std::move(what));
    ++out->damage_count;
  };
  if (roaring_bitmap_intersect(snap.live.raw(), snap.dead.raw())) {
    find("live and dead records overlap");
  }
  // Ids at or above record_count do not decode at all.
  if (snap.index.size() != snap.live.cardinality()) {
    find("the index has " + std::to_string(snap.index.size()) + " entries for " +
         std::to_string(snap.live.cardinality()) + " live records");
  }
}

}  // namespace

Status inspect_directory(const std::string& dir, Inspection* out) {
  std::unique_ptr<Db> db;
  Status s = Db::open_read_only(dir, 16, &db, /*salvage=*/true);
  if (!s.ok()) return s;
  *out = Inspection();
  for (std::string_view name : kStoreFiles) {
    struct stat st;
    if (::stat(join_path(dir, name).c_str(), &st) == 0) {
      out->file_sizes[std::string(name)] = static_cast<uint64_t>(st.st_size);
    }
  }
  out->leftovers = leftovers_in(dir);
  out->writer = lock_holder(dir);
  out->report = db->report();
  return db->stats(&out->state);
}

Status verify_directory(const std::string& dir, Verification* out) {
  const StorePaths paths(dir);
  Status s = check_store_directory(paths);
  if (!s.ok()) return s;
  *out = Verification();
  out->writer = lock_holder(dir);
  const bool live_writer = out->writer.has_value();
  // The files are read as between two of a live writer's installs.
  LoadGate gate = LoadGate::for_loading(paths.wal);
  StorePaths state_paths = paths;
  bool interrupted = false;
  s = committed_vacuum(paths, &state_paths, &interrupted);
  if (!s.ok()) return s;
  if (interrupted) {
    out->notes.push_back("a vacuum had committed but not finished; the next writer completes it");
  }
  for (const std::string& name : leftovers_in(dir)) {
    if (live_writer || (interrupted && ends_with(name, kVacuumSuffix))) {
      out->notes.push_back("work file " + name + " (in flight)");
    } else {
      out->damage.push_back("leftover file " + name);
      ++out->damage_count;
    }
  }

  SnapshotImage image;
  bool decoded = false;
  const bool present = path_exists(state_paths.snapshot);
  s = read_snapshot(state_paths.snapshot, &image, &decoded);
  if (!s.ok()) return s;
  if (present && !decoded) {
    out->damage.push_back(std::string(kSnapshotFile) + " does not decode");
    ++out->damage_count;
  }
  if (decoded) {
    DataFiles files;
    Status opened = DataFiles::open(state_paths.data, OpenMode::kReadOnly, &files);
    if (opened.ok()) opened = files.map_table();
    if (!opened.ok()) {
      out->damage.push_back("the data files cannot be read: " + opened.message());
      ++out->damage_count;
    } else {
      const std::string damage = snapshot_damage(image, files);
      if (!damage.empty()) {
        out->damage.push_back(std::string(kSnapshotFile) + ": " + damage);
        ++out->damage_count;
      }
      RecordState snap;
      image.build_within(&snap, files.rows_on_disk());
      check_snapshot(snap, out);
      check_records(snap, {image.rows_named(), snap.keys_end, snap.vals_end}, files, out);
    }
  }

  WalReplay replay;
  s = read_wal(
      paths.wal, [](WalEntry&) {}, &replay);
  if (!s.ok()) return s;
  const std::string tail_bytes = std::to_string(replay.file_length - replay.whole_end);
  const std::string tail_at =
      " after its last whole entry at offset " + std::to_string(replay.whole_end);
  if (replay.read_error) {
    out->damage.push_back(std::string(kWalFile) + " could not be read to its end");
    ++out->damage_count;
  } else if (replay.torn() && live_writer) {
    out->notes.push_back(std::string(kWalFile) + " has " + tail_bytes + " byte(s) in flight" +
                         tail_at + ": entries the writer has not finished writing");
  } else if (replay.torn()) {
    out->damage.push_back(std::string(kWalFile) + " has " + tail_bytes + " undecodable byte(s)" +
                          tail_at);
    ++out->damage_count;
  }
  return Status();
}

}  // namespace corvid
