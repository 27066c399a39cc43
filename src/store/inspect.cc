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
#include "store/key_hash.h"
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

// Whether `len` bytes at `offset` lie within `size`, without overflowing.
bool inside(uint64_t offset, uint64_t len, uint64_t size) {
  return len <= size && offset <= size - len;
}

// Checks every live record of `snap` against the files: a row inside the
// table, bytes inside the files, and a stored key that hashes to the index
// entry naming it. Reports at most kShown records.
void check_records(const RecordState& snap, const DataFiles& files, Verification* out) {
  constexpr uint64_t kShown = 20;
  HashMap<uint32_t, uint64_t> named = new_hash_map<uint32_t, uint64_t>();
  for (const auto& [h, id] : snap.index) named[id] = h;
  uint64_t found = 0;
  auto report = [&](uint32_t id, const char* what) {
    if (++found <= kShown) out->damage.push_back("record " + std::to_string(id) + ": " + what);
  };
  std::string key;
  snap.live.for_each([&](uint32_t id) {
    RecordEntry e;
    if (!files.row_on_disk(id) || !files.read_entry(id, &e).ok()) {
      return report(id, "row lies outside offsets.bin");
    }
    if (!inside(e.key_offset, e.key_len, files.keys_length())) {
      return report(id, "key lies outside keys.bin");
    }
    if (!inside(e.val_offset, e.val_len, files.vals_length())) {
      return report(id, "value lies outside vals.bin");
    }
    if (!files.read_key(e, &key).ok()) return report(id, "key cannot be read");
    auto it = named.find(id);
    if (it == named.end()) return report(id, "no index entry names it");
    if (key_hash(key) != it->second) report(id, "stored key does not hash to its index entry");
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
  auto check_below = [&](const Bitmap& set, const char* name) {
    uint64_t above = 0;
    set.for_each([&](uint32_t id) { above += id >= snap.record_count; });
    if (above > 0) {
      find(std::to_string(above) + " " + name + " record(s) at or above record_count " +
           std::to_string(snap.record_count));
    }
  };
  check_below(snap.live, "live");
  check_below(snap.dead, "dead");
  if (snap.index.size() != snap.live.cardinality()) {
    find("the index has " + std::to_string(snap.index.size()) + " entries for " +
         std::to_string(snap.live.cardinality()) + " live records");
  }
}

}  // namespace

Status inspect_directory(const std::string& dir, Inspection* out) {
  std::unique_ptr<Db> db;
  Status s = Db::open_read_only(dir, 16, &db);
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

  RecordState snap;
  bool decoded = false;
  const bool present = path_exists(state_paths.snapshot);
  s = read_snapshot(state_paths.snapshot, &snap, &decoded);
  if (!s.ok()) return s;
  if (present && !decoded) {
    out->damage.push_back(std::string(kSnapshotFile) + " does not decode");
    ++out->damage_count;
  }
  if (decoded) {
    check_snapshot(snap, out);
    DataFiles files;
    Status opened = DataFiles::open(state_paths.data, OpenMode::kReadOnly, &files);
    if (opened.ok()) opened = files.map_table();
    if (!opened.ok()) {
      out->damage.push_back("the data files cannot be read: " + opened.message());
      ++out->damage_count;
    } else {
      if (snap.keys_end > files.keys_length()) {
        out->damage.push_back(std::string(kKeysFile) + " is shorter than the snapshot's end");
        ++out->damage_count;
      }
      if (snap.vals_end > files.vals_length()) {
        out->damage.push_back(std::string(kValsFile) + " is shorter than the snapshot's end");
        ++out->damage_count;
      }
      check_records(snap, files, out);
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
