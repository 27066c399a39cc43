#include "store/inspect.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>

#include "format/log_reader.h"
#include "format/record_table.h"
#include "store/key_hash.h"

namespace corvid {

namespace {

const char* const kFiles[] = {"snapshot.bin", "wal.bin", "offsets.bin", "keys.bin", "vals.bin"};

Status check_dir(const std::string& dir) {
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0) return Status::FromErrno(errno);
  if (!S_ISDIR(st.st_mode)) return Status::FromErrno(ENOTDIR);
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return Status::FromErrno(errno);
  ::closedir(d);
  return Status();
}

std::vector<std::string> leftovers_in(const std::string& dir) {
  std::vector<std::string> out;
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return out;
  while (dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    auto ends = [&](const char* s) {
      std::string suffix = s;
      return name.size() > suffix.size() &&
             name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
    };
    if (ends(".tmp") || ends(".vac")) out.push_back(name);
  }
  ::closedir(d);
  std::sort(out.begin(), out.end());
  return out;
}

// The snapshot, loaded read-only.
struct LoadedSnapshot {
  RecordIndex index = new_hash_map<uint64_t, uint32_t>();
  Bitmap live, dead;
  SnapshotCounters counters;
  bool present = false;
  bool decoded = false;
};

Status load(const std::string& dir, LoadedSnapshot* snap) {
  std::string path = join_path(dir, "snapshot.bin");
  snap->present = path_exists(path);
  return read_snapshot(path, &snap->index, &snap->live, &snap->dead, &snap->counters,
                       &snap->decoded);
}

// Reads one row straight from offsets.bin.
bool read_row(int fd, uint64_t table_len, uint32_t id, RecordEntry* entry) {
  uint8_t row[kRowSize];
  if ((uint64_t{id} + 1) * kRowSize > table_len) return false;
  if (!read_exact_at(fd, row, kRowSize, uint64_t{id} * kRowSize).ok()) return false;
  *entry = decode_row(row);
  return true;
}

}  // namespace

Status inspect_directory(const std::string& dir, Inspection* out) {
  Status s = check_dir(dir);
  if (!s.ok()) return s;
  *out = Inspection();
  for (const char* name : kFiles) {
    struct stat st;
    if (::stat(join_path(dir, name).c_str(), &st) == 0) {
      out->file_sizes[name] = static_cast<uint64_t>(st.st_size);
    }
  }
  out->leftovers = leftovers_in(dir);

  LoadedSnapshot snap;
  s = load(dir, &snap);
  if (!s.ok()) return s;
  out->snapshot_present = snap.present;
  out->snapshot_decoded = snap.decoded;
  // Lengths of every live record, by id, for the garbage count.
  HashMap<uint32_t, uint64_t> lengths = new_hash_map<uint32_t, uint64_t>();
  RecordIndex& index = snap.index;
  Bitmap& live = snap.live;
  Bitmap& dead = snap.dead;
  uint32_t record_count = 0;
  uint64_t keys_end = out->file_sizes.count("keys.bin") ? out->file_sizes["keys.bin"] : 0;
  uint64_t vals_end = out->file_sizes.count("vals.bin") ? out->file_sizes["vals.bin"] : 0;
  if (snap.decoded) {
    out->snapshot_index_entries = index.size();
    out->snapshot_live = live.cardinality();
    out->snapshot_dead = dead.cardinality();
    out->snapshot_counters = snap.counters;
    record_count = snap.counters.record_count;
    keys_end = snap.counters.keys_end;
    vals_end = snap.counters.vals_end;
    Fd offsets;
    uint64_t table_len = 0;
    if (open_file(join_path(dir, "offsets.bin"), O_RDONLY, &offsets).ok()) {
      (void)file_length(offsets.get(), &table_len);
    }
    live.for_each([&](uint32_t id) {
      RecordEntry e;
      if (offsets && read_row(offsets.get(), table_len, id, &e)) {
        lengths[id] = uint64_t{e.key_len} + e.val_len;
      }
    });
  } else {
    index = new_hash_map<uint64_t, uint32_t>();
    live = Bitmap();
    dead = Bitmap();
  }

  // Replay the log against the loaded state, in memory only.
  WalReplay replay;
  s = read_wal(
      join_path(dir, "wal.bin"),
      [&](WalEntry& entry) {
        ++out->log_entries;
        uint64_t h = key_hash(entry.key);
        auto it = index.find(h);
        if (it != index.end()) {
          live.remove(it->second);
          dead.add(it->second);
          lengths.erase(it->second);
          if (entry.type == WalEntry::Type::kDelete) index.erase(it);
        }
        if (entry.type == WalEntry::Type::kPut) {
          uint32_t id = record_count++;
          index.insert_or_assign(h, id);
          live.add(id);
          lengths[id] = entry.key.size() + entry.value.size();
          keys_end += entry.key.size();
          vals_end += entry.value.size();
        }
      },
      &replay);
  if (!s.ok()) return s;
  out->log_whole_end = replay.whole_end;
  out->log_read_error = replay.read_error;
  out->log_torn = !replay.read_error && replay.whole_end < replay.file_length;

  out->live = live.cardinality();
  out->dead = dead.cardinality();
  out->record_count = record_count;
  out->keys_end = keys_end;
  out->vals_end = vals_end;
  for (const auto& [id, bytes] : lengths) out->live_bytes += bytes;
  uint64_t used = keys_end + vals_end;
  out->garbage_bytes = used > out->live_bytes ? used - out->live_bytes : 0;
  return Status();
}

Status verify_directory(const std::string& dir, std::vector<Finding>* findings) {
  Status s = check_dir(dir);
  if (!s.ok()) return s;
  auto find = [&](std::string what) { findings->push_back({std::move(what)}); };
  for (const std::string& name : leftovers_in(dir)) find("leftover file " + name);

  LoadedSnapshot snap;
  s = load(dir, &snap);
  if (!s.ok()) return s;
  if (snap.present && !snap.decoded) find("snapshot.bin does not decode");
  if (snap.decoded) {
    const uint32_t count = snap.counters.record_count;
    if (roaring_bitmap_intersect(snap.live.raw(), snap.dead.raw())) {
      find("live and dead records overlap");
    }
    auto check_below = [&](const Bitmap& set, const char* name) {
      uint64_t above = 0;
      set.for_each([&](uint32_t id) { above += id >= count; });
      if (above > 0) {
        find(std::to_string(above) + " " + name + " record(s) at or above record_count " +
             std::to_string(count));
      }
    };
    check_below(snap.live, "live");
    check_below(snap.dead, "dead");
    if (snap.index.size() != snap.live.cardinality()) {
      find("the index has " + std::to_string(snap.index.size()) + " entries for " +
           std::to_string(snap.live.cardinality()) + " live records");
    }

    Fd offsets, keys, vals;
    uint64_t table_len = 0, keys_len = 0, vals_len = 0;
    for (auto [name, fd, len] :
         {std::tuple{"offsets.bin", &offsets, &table_len}, std::tuple{"keys.bin", &keys, &keys_len},
          std::tuple{"vals.bin", &vals, &vals_len}}) {
      if (!open_file(join_path(dir, name), O_RDONLY, fd).ok() ||
          !file_length(fd->get(), len).ok()) {
        find(std::string(name) + " cannot be read");
      }
    }
    if (snap.counters.keys_end > keys_len) find("keys.bin is shorter than the snapshot's end");
    if (snap.counters.vals_end > vals_len) find("vals.bin is shorter than the snapshot's end");
    // Each live record: a row inside the table, bytes inside the files, and a
    // stored key that hashes to the index entry naming it.
    HashMap<uint32_t, uint64_t> named = new_hash_map<uint32_t, uint64_t>();
    for (const auto& [h, id] : snap.index) named[id] = h;
    uint64_t reported = 0;
    auto report = [&](std::string what) {
      if (++reported <= 20) find(std::move(what));
    };
    std::string key;
    snap.live.for_each([&](uint32_t id) {
      RecordEntry e;
      std::string rec = "record " + std::to_string(id);
      if (!offsets || !read_row(offsets.get(), table_len, id, &e)) {
        return report(rec + ": row lies outside offsets.bin");
      }
      if (e.key_offset + e.key_len > keys_len) return report(rec + ": key lies outside keys.bin");
      if (e.val_offset + e.val_len > vals_len) {
        return report(rec + ": value lies outside vals.bin");
      }
      key.resize(e.key_len);
      if (!read_exact_at(keys.get(), key.data(), key.size(), e.key_offset).ok()) {
        return report(rec + ": key cannot be read");
      }
      auto it = named.find(id);
      if (it == named.end()) return report(rec + ": no index entry names it");
      if (key_hash(key) != it->second) {
        report(rec + ": stored key does not hash to its index entry");
      }
    });
    if (reported > 20) find(std::to_string(reported - 20) + " more record finding(s)");
  }

  WalReplay replay;
  s = read_wal(
      join_path(dir, "wal.bin"), [](WalEntry&) {}, &replay);
  if (!s.ok()) return s;
  if (replay.read_error) {
    find("wal.bin could not be read to its end");
  } else if (replay.whole_end < replay.file_length) {
    find("wal.bin has " + std::to_string(replay.file_length - replay.whole_end) +
         " undecodable byte(s) after its last whole entry at offset " +
         std::to_string(replay.whole_end));
  }
  return Status();
}

}  // namespace corvid
