// The files of a storage directory, named in one place.
#pragma once

#include <string>
#include <string_view>

namespace corvid {

inline constexpr std::string_view kSnapshotFile = "snapshot.bin";
inline constexpr std::string_view kWalFile = "wal.bin";
inline constexpr std::string_view kOffsetsFile = "offsets.bin";
inline constexpr std::string_view kKeysFile = "keys.bin";
inline constexpr std::string_view kValsFile = "vals.bin";
// Work files: vacuum's copies and the snapshot persist writes before its rename.
inline constexpr std::string_view kVacuumSuffix = ".vac";
inline constexpr std::string_view kTempSuffix = ".tmp";

inline constexpr std::string_view kStoreFiles[] = {kSnapshotFile, kWalFile, kOffsetsFile, kKeysFile,
                                                   kValsFile};

// `name` under `dir` with one "/" between, or the bare name when `dir` is empty.
inline std::string join_path(std::string_view dir, std::string_view name) {
  std::string out(dir);
  if (!out.empty() && out.back() != '/') out += '/';
  out += name;
  return out;
}

// The directory as system calls take it: "." for the empty path.
inline std::string directory_path(std::string_view dir) {
  return dir.empty() ? "." : std::string(dir);
}
// The directory as messages name it.
inline std::string quoted_dir(std::string_view dir) {
  std::string out(1, '\'');
  out += directory_path(dir);
  out += '\'';
  return out;
}

inline std::string vacuum_copy(const std::string& path) {
  return path + std::string(kVacuumSuffix);
}
inline std::string temp_copy(const std::string& path) { return path + std::string(kTempSuffix); }

// The three data files: the record table and the key and value bytes.
struct DataPaths {
  std::string offsets, keys, vals;
};

// Every path of the storage directory `dir`, formed once.
struct StorePaths {
  explicit StorePaths(std::string_view dir)
      : dir(dir),
        snapshot(join_path(dir, kSnapshotFile)),
        wal(join_path(dir, kWalFile)),
        data{join_path(dir, kOffsetsFile), join_path(dir, kKeysFile), join_path(dir, kValsFile)} {}

  std::string dir;  // as given
  std::string snapshot;
  std::string wal;
  DataPaths data;
};

}  // namespace corvid
