// corvid: inspect, verify, dump, load and edit a storage directory from the shell.
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

#include "cli/json_lines.h"
#include "format/buffered_reader.h"
#include "store/db.h"
#include "store/inspect.h"
#include "store/panic.h"

namespace corvid::cli {

namespace {

constexpr uint64_t kCacheSize = 16;

// A failure that ends the command with one line on stderr.
struct Failure {
  std::string message;
  int code = 1;
};

[[noreturn]] void fail(std::string message, int code = 1) {
  throw Failure{std::move(message), code};
}

void require_directory(const std::string& dir) {
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0) fail(dir + ": " + Status::FromErrno(errno).message());
  if (!S_ISDIR(st.st_mode)) fail(dir + ": not a directory");
}

// The engine's own refusals at open (another writer, no store there) name
// the directory already; system errors get it in front.
[[noreturn]] void fail_open(const std::string& dir, const Status& s, int code = 1) {
  bool named =
      s.code() == 0 && (s.kind() == ErrorKind::kWouldBlock || s.kind() == ErrorKind::kNotFound);
  fail(named ? s.message() : dir + ": " + s.message(), code);
}

// For put, delete and load: the writer's open, which claims the directory.
std::unique_ptr<Db> open_writer(const std::string& dir) {
  std::unique_ptr<Db> db;
  Status s = Db::open(dir, kCacheSize, &db);
  if (!s.ok()) fail_open(dir, s);
  return db;
}

// For get and dump: nothing on disk changes, and a live writer may go on.
std::unique_ptr<Db> open_reader(const std::string& dir) {
  std::unique_ptr<Db> db;
  Status s = Db::open_read_only(dir, kCacheSize, &db);
  if (!s.ok()) fail_open(dir, s);
  return db;
}

void check(const std::string& dir, const Status& s) {
  if (!s.ok()) fail(dir + ": " + s.message());
}

void require_utf8(const std::string& key) {
  if (!valid_utf8(key)) fail("the key is not valid UTF-8");
}

// A progress bar on stderr, shown only when stderr is a terminal.
class Progress {
 public:
  Progress(const char* label, uint64_t total)
      : label_(label), total_(total), shown_(::isatty(STDERR_FILENO)) {}
  ~Progress() {
    if (shown_ && drawn_) std::fputc('\n', stderr);
  }
  void update(uint64_t done, uint64_t count) {
    if (!shown_ || (count % 4096 != 0 && done != total_)) return;
    drawn_ = true;
    int width = 30;
    int filled = total_ == 0 ? width : static_cast<int>(width * std::min(done, total_) / total_);
    std::fprintf(stderr, "\r%s [%s%s] %llu records", label_, std::string(filled, '#').c_str(),
                 std::string(width - filled, ' ').c_str(), static_cast<unsigned long long>(count));
    std::fflush(stderr);
  }

 private:
  const char* label_;
  uint64_t total_;
  bool shown_;
  bool drawn_ = false;
};

// ---- stat ----

std::string writer_text(const std::optional<long>& writer) {
  return writer ? "process " + std::to_string(*writer) + " holds it for writing" : "none";
}

void print_stat(const std::string& dir, const Inspection& in, bool json) {
  const OpenReport& r = in.report;
  const RecordCounts& st = in.state.records;
  const uint64_t live_bytes = in.state.live_bytes;
  const uint64_t in_use = st.keys_end + st.vals_end;
  const uint64_t garbage = in_use > live_bytes ? in_use - live_bytes : 0;
  const double share =
      in_use == 0 ? 0.0 : static_cast<double>(garbage) / static_cast<double>(in_use);
  // With a live writer, bytes after the last whole entry are entries it is
  // still writing, not damage.
  const bool torn = r.log.torn();
  const bool in_flight = torn && in.writer.has_value();
  if (json) {
    std::ostringstream o;
    o << "{\"directory\": " << json_string(dir) << ", \"writer\": ";
    if (in.writer) {
      o << *in.writer;
    } else {
      o << "null";
    }
    o << ", \"damage\": ";
    if (r.damage.empty()) {
      o << "null";
    } else {
      o << json_string(r.damage);
    }
    o << ", \"vacuum_interrupted\": " << (r.vacuum_interrupted ? "true" : "false")
      << ", \"files\": {";
    bool first = true;
    for (const auto& [name, size] : in.file_sizes) {
      o << (first ? "" : ", ") << "\"" << name << "\": " << size;
      first = false;
    }
    o << "}, \"snapshot\": {\"present\": " << (r.snapshot_present ? "true" : "false")
      << ", \"decodes\": " << (r.snapshot_decoded ? "true" : "false");
    if (r.snapshot_decoded) {
      o << ", \"index_entries\": " << r.snapshot.index_entries << ", \"live\": " << r.snapshot.live
        << ", \"dead\": " << r.snapshot.dead << ", \"record_count\": " << r.snapshot.record_count
        << ", \"keys_end\": " << r.snapshot.keys_end << ", \"vals_end\": " << r.snapshot.vals_end;
    }
    o << "}, \"log\": {\"entries\": " << r.log.entries << ", \"whole_bytes\": " << r.log.whole_end
      << ", \"torn\": " << (torn && !in_flight ? "true" : "false")
      << ", \"in_flight\": " << (in_flight ? "true" : "false")
      << ", \"read_error\": " << (r.log.read_error ? "true" : "false") << "}"
      << ", \"records\": {\"live\": " << st.live << ", \"dead\": " << st.dead
      << ", \"record_count\": " << st.record_count << "}"
      << ", \"bytes\": {\"in_use\": " << in_use << ", \"live\": " << live_bytes
      << ", \"garbage\": " << garbage << ", \"garbage_share\": " << share << "}, \"leftovers\": [";
    for (size_t i = 0; i < in.leftovers.size(); ++i) {
      o << (i ? ", " : "") << json_string(in.leftovers[i]);
    }
    o << "]}";
    std::cout << o.str() << "\n";
    return;
  }
  std::cout << "directory   " << dir << "\n";
  std::cout << "writer      " << writer_text(in.writer) << "\n";
  for (const auto& [name, size] : in.file_sizes) {
    std::cout << "file        " << name << ": " << size << " bytes\n";
  }
  std::cout << "snapshot    ";
  if (!r.snapshot_present) {
    std::cout << "none\n";
  } else if (!r.snapshot_decoded) {
    std::cout << "present but does not decode (ignored at open)\n";
  } else {
    std::cout << r.snapshot.index_entries << " index entries, " << r.snapshot.live << " live, "
              << r.snapshot.dead << " dead, record_count " << r.snapshot.record_count
              << ", keys_end " << r.snapshot.keys_end << ", vals_end " << r.snapshot.vals_end
              << "\n";
  }
  std::cout << "log         " << r.log.entries << " whole entries (" << r.log.whole_end
            << " bytes)";
  if (in_flight) {
    std::cout << ", then " << r.log.file_length - r.log.whole_end << " byte(s) in flight";
  } else if (torn) {
    std::cout << ", then a torn or undecodable tail";
  }
  std::cout << (r.log.read_error ? ", then a read error" : "") << "\n";
  if (r.vacuum_interrupted) {
    std::cout << "vacuum      committed but not finished: shown as it ends; the next writer "
                 "completes it\n";
  }
  std::cout << "records     " << st.live << " live, " << st.dead << " dead, record_count "
            << st.record_count << "\n";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.1f%%", 100.0 * share);
  std::cout << "garbage     " << garbage << " of " << in_use << " bytes (" << buf << ")\n";
  if (!r.damage.empty()) std::cout << "damage      " << r.damage << "\n";
  std::cout << "leftovers   ";
  if (in.leftovers.empty()) std::cout << "none";
  for (size_t i = 0; i < in.leftovers.size(); ++i) std::cout << (i ? ", " : "") << in.leftovers[i];
  std::cout << "\n";
}

int run_stat(const std::string& dir, bool json) {
  Inspection in;
  Status s = inspect_directory(dir, &in);
  if (!s.ok()) fail_open(dir, s);
  print_stat(dir, in, json);
  return 0;
}

int run_verify(const std::string& dir) {
  Verification v;
  Status s = verify_directory(dir, &v);
  if (!s.ok()) fail_open(dir, s, 2);
  if (v.writer) std::cout << "note: " << writer_text(v.writer) << "\n";
  for (const std::string& note : v.notes) std::cout << "note: " << note << "\n";
  for (const std::string& what : v.damage) std::cout << "damage: " << what << "\n";
  if (v.damage_count == 0) {
    std::cout << "clean\n";
    return 0;
  }
  std::cout << v.damage_count << " finding(s)\n";
  return 1;
}

int run_dump(const std::string& dir) {
  auto db = open_reader(dir);
  uint64_t total = 0;
  check(dir, db->len(&total));
  Progress progress("dump", total);
  uint64_t count = 0;
  check(dir, db->for_each_live([&](const std::string& key, const std::string& value) {
    // Every key was text when it was put: one that is not is damage.
    if (!valid_utf8(key)) fail(dir + ": a stored key is not valid UTF-8: run corvid verify");
    std::string line = dump_line(key, value);
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
    ++count;
    progress.update(count, count);
  }));
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) fail("cannot write to standard output");
  return 0;
}

int run_load(const std::string& dir) {
  struct stat st;
  uint64_t total = ::fstat(STDIN_FILENO, &st) == 0 && S_ISREG(st.st_mode) ? st.st_size : 0;
  auto db = open_writer(dir);
  Progress progress("load", total);
  std::string line, key, value, error;
  uint64_t number = 0, bytes = 0, stored = 0;
  // Each record is in the store as soon as it is put; a bad line stops the
  // load, and the records before it stay.
  auto stop = [&](const std::string& why) {
    fail("line " + std::to_string(number) + ": " + why + " (" + std::to_string(stored) +
         " record(s) before it were stored)");
  };
  while (std::getline(std::cin, line)) {
    ++number;
    bytes += line.size() + 1;
    if (line.empty()) continue;
    if (!parse_line(line, &key, &value, &error)) stop(error);
    Status s = db->set_bytes(key, value);
    if (!s.ok()) stop(s.message());
    ++stored;
    progress.update(bytes, number);
  }
  Status s = db->persist();
  if (!s.ok()) fail(dir + ": persist: " + s.message());
  return 0;
}

// ---- salvage ----

// True when both paths name one existing directory.
bool same_directory(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return ::stat(directory_path(a).c_str(), &sa) == 0 &&
         ::stat(directory_path(b).c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

int run_salvage(const std::string& dir, const std::string& target) {
  if (same_directory(dir, target)) fail("the new store must be another directory than " + dir);
  std::unique_ptr<Db> from;
  Status s = Db::open_read_only(dir, kCacheSize, &from, /*salvage=*/true);
  if (!s.ok()) fail_open(dir, s);
  if (check_store_directory(StorePaths(target)).ok()) {
    fail(target + " holds a store already: salvage into a new directory");
  }
  if (!from->report().damage.empty()) std::cout << "note: " << from->report().damage << "\n";
  auto to = open_writer(target);
  constexpr uint64_t kShown = 20;
  uint64_t copied = 0, lost = 0;
  check(dir, from->salvage(
                 [&](const std::string& key, const std::string& value) {
                   Status put = to->set_bytes(key, value);
                   if (!put.ok()) fail(target + ": " + put.message());
                   ++copied;
                 },
                 [&](uint32_t id, const char* why) {
                   if (++lost <= kShown) {
                     std::cout << "lost: record " << id << ": " << why << "\n";
                   }
                 }));
  if (lost > kShown) std::cout << "lost: " << lost - kShown << " more record(s)\n";
  s = to->persist();
  if (!s.ok()) fail(target + ": persist: " + s.message());
  std::cout << copied << " record(s) copied into " << target << ", " << lost
            << " could not be read\n";
  return lost == 0 ? 0 : 1;
}

int run_get(const std::string& dir, const std::string& key) {
  require_utf8(key);
  auto db = open_reader(dir);
  bool found = false;
  check(dir, db->get(key, [&](const std::string* value) {
    found = value != nullptr;
    if (found) std::fwrite(value->data(), 1, value->size(), stdout);
  }));
  if (!found) fail("key not found");
  return 0;
}

int run_put(const std::string& dir, const std::string& key) {
  require_utf8(key);
  std::string value((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
  auto db = open_writer(dir);
  Status s = db->set_bytes(key, std::move(value));
  if (!s.ok()) fail(s.message());
  return 0;
}

int run_delete(const std::string& dir, const std::string& key) {
  require_directory(dir);
  require_utf8(key);
  auto db = open_writer(dir);
  bool found = false;
  check(dir, db->delete_key(key, &found));
  if (!found) fail("key not found");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"corvid: inspect, verify, dump, load and edit a Corvid storage directory"};
  app.set_version_flag("--version", "corvid " CORVID_VERSION);
  app.require_subcommand(1);
  std::string dir, key;
  bool json = false;

  auto* stat = app.add_subcommand(
      "stat",
      "Sizes, snapshot, log and garbage of a store, read without changing a file (also beside "
      "a live writer)");
  stat->add_option("DIR", dir, "storage directory")->required();
  stat->add_flag("--json", json, "print one JSON object");
  auto* verify = app.add_subcommand(
      "verify",
      "Check the snapshot against the data files and the log, read-only; exit 0 when "
      "clean, 1 on damage, 2 when the directory cannot be read");
  verify->add_option("DIR", dir, "storage directory")->required();
  auto* dump = app.add_subcommand(
      "dump",
      "Write every live key and value as JSON lines {\"key\", \"value_b64\"}, changing no file");
  dump->add_option("DIR", dir, "storage directory")->required();
  auto* load = app.add_subcommand("load", "Read JSON lines from stdin into a store, then persist");
  load->add_option("DIR", dir, "storage directory (created if missing)")->required();
  auto* get = app.add_subcommand("get", "Write the value of KEY to stdout, changing no file");
  get->add_option("DIR", dir, "storage directory")->required();
  get->add_option("KEY", key, "the key")->required();
  auto* put = app.add_subcommand("put", "Store stdin as the value of KEY");
  put->add_option("DIR", dir, "storage directory (created if missing)")->required();
  put->add_option("KEY", key, "the key")->required();
  std::string target;
  auto* salvage = app.add_subcommand(
      "salvage",
      "Copy every record of DIR that can still be read and checked into the new store NEW, "
      "reporting the others; DIR is never written. Exit 0 when every record was copied");
  salvage->add_option("DIR", dir, "storage directory, damaged")->required();
  salvage->add_option("NEW", target, "the new storage directory (created)")->required();
  auto* del = app.add_subcommand("delete", "Delete KEY");
  del->add_option("DIR", dir, "storage directory")->required();
  del->add_option("KEY", key, "the key")->required();

  CLI11_PARSE(app, argc, argv);
  try {
    if (*stat) return run_stat(dir, json);
    if (*verify) return run_verify(dir);
    if (*dump) return run_dump(dir);
    if (*load) return run_load(dir);
    if (*get) return run_get(dir, key);
    if (*put) return run_put(dir, key);
    if (*del) return run_delete(dir, key);
    if (*salvage) return run_salvage(dir, target);
  } catch (const Failure& f) {
    std::fprintf(stderr, "corvid: %s\n", f.message.c_str());
    return f.code;
  } catch (const Panic& p) {
    std::fprintf(stderr, "corvid: %s: %s (at %s:%u)\n", dir.c_str(), p.error().message().c_str(),
                 source_path(p.where()), static_cast<unsigned>(p.where().line()));
    return 1;
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "corvid: out of memory\n");
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "corvid: %s\n", e.what());
    return 1;
  }
  return 0;
}

}  // namespace corvid::cli

int main(int argc, char** argv) { return corvid::cli::main(argc, argv); }
