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

std::unique_ptr<Db> open_db(const std::string& dir) {
  std::unique_ptr<Db> db;
  Status s = Db::open(dir, kCacheSize, &db);
  if (!s.ok()) fail(dir + ": " + s.message());
  return db;
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

void print_stat(const std::string& dir, const Inspection& in, bool json) {
  double share = in.keys_end + in.vals_end == 0
                     ? 0.0
                     : 100.0 * static_cast<double>(in.garbage_bytes) /
                           static_cast<double>(in.keys_end + in.vals_end);
  if (json) {
    std::ostringstream o;
    o << "{\"directory\": " << json_string(dir) << ", \"files\": {";
    bool first = true;
    for (const auto& [name, size] : in.file_sizes) {
      o << (first ? "" : ", ") << "\"" << name << "\": " << size;
      first = false;
    }
    o << "}, \"snapshot\": {\"present\": " << (in.snapshot_present ? "true" : "false")
      << ", \"decodes\": " << (in.snapshot_decoded ? "true" : "false");
    if (in.snapshot_decoded) {
      o << ", \"index_entries\": " << in.snapshot_index_entries
        << ", \"live\": " << in.snapshot_live << ", \"dead\": " << in.snapshot_dead
        << ", \"record_count\": " << in.snapshot_counters.record_count
        << ", \"keys_end\": " << in.snapshot_counters.keys_end
        << ", \"vals_end\": " << in.snapshot_counters.vals_end;
    }
    o << "}, \"log\": {\"entries\": " << in.log_entries << ", \"whole_bytes\": " << in.log_whole_end
      << ", \"torn\": " << (in.log_torn ? "true" : "false")
      << ", \"read_error\": " << (in.log_read_error ? "true" : "false") << "}"
      << ", \"records\": {\"live\": " << in.live << ", \"dead\": " << in.dead
      << ", \"record_count\": " << in.record_count << "}"
      << ", \"bytes\": {\"in_use\": " << in.keys_end + in.vals_end
      << ", \"live\": " << in.live_bytes << ", \"garbage\": " << in.garbage_bytes
      << ", \"garbage_share\": " << share / 100.0 << "}, \"leftovers\": [";
    for (size_t i = 0; i < in.leftovers.size(); ++i) {
      o << (i ? ", " : "") << json_string(in.leftovers[i]);
    }
    o << "]}";
    std::cout << o.str() << "\n";
    return;
  }
  std::cout << "directory   " << dir << "\n";
  for (const auto& [name, size] : in.file_sizes) {
    std::cout << "file        " << name << ": " << size << " bytes\n";
  }
  std::cout << "snapshot    ";
  if (!in.snapshot_present) {
    std::cout << "none\n";
  } else if (!in.snapshot_decoded) {
    std::cout << "present but does not decode (ignored at open)\n";
  } else {
    std::cout << in.snapshot_index_entries << " index entries, " << in.snapshot_live << " live, "
              << in.snapshot_dead << " dead, record_count " << in.snapshot_counters.record_count
              << ", keys_end " << in.snapshot_counters.keys_end << ", vals_end "
              << in.snapshot_counters.vals_end << "\n";
  }
  std::cout << "log         " << in.log_entries << " whole entries (" << in.log_whole_end
            << " bytes)" << (in.log_torn ? ", then a torn or undecodable tail" : "")
            << (in.log_read_error ? ", then a read error" : "") << "\n";
  std::cout << "records     " << in.live << " live, " << in.dead << " dead, record_count "
            << in.record_count << "\n";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.1f%%", share);
  std::cout << "garbage     " << in.garbage_bytes << " of " << in.keys_end + in.vals_end
            << " bytes (" << buf << ")\n";
  std::cout << "leftovers   ";
  if (in.leftovers.empty()) std::cout << "none";
  for (size_t i = 0; i < in.leftovers.size(); ++i) std::cout << (i ? ", " : "") << in.leftovers[i];
  std::cout << "\n";
}

int run_stat(const std::string& dir, bool json) {
  Inspection in;
  Status s = inspect_directory(dir, &in);
  if (!s.ok()) fail(dir + ": " + s.message());
  print_stat(dir, in, json);
  return 0;
}

int run_verify(const std::string& dir) {
  std::vector<Finding> findings;
  Status s = verify_directory(dir, &findings);
  if (!s.ok()) fail(dir + ": " + s.message(), 2);
  for (const Finding& f : findings) std::cout << "damage: " << f.what << "\n";
  if (findings.empty()) {
    std::cout << "clean\n";
    return 0;
  }
  std::cout << findings.size() << " finding(s)\n";
  return 1;
}

int run_dump(const std::string& dir) {
  require_directory(dir);
  auto db = open_db(dir);
  Progress progress("dump", db->len());
  uint64_t count = 0;
  db->for_each_live([&](const std::string& key, const std::string& value) {
    std::string line = dump_line(key, value);
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
    ++count;
    progress.update(count, count);
  });
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) fail("cannot write to standard output");
  return 0;
}

int run_load(const std::string& dir) {
  struct stat st;
  uint64_t total = ::fstat(STDIN_FILENO, &st) == 0 && S_ISREG(st.st_mode) ? st.st_size : 0;
  auto db = open_db(dir);
  Progress progress("load", total);
  std::string line, key, value, error;
  uint64_t number = 0, bytes = 0;
  while (std::getline(std::cin, line)) {
    ++number;
    bytes += line.size() + 1;
    if (line.empty()) continue;
    if (!parse_line(line, &key, &value, &error)) {
      fail("line " + std::to_string(number) + ": " + error + " (" + std::to_string(number - 1) +
           " lines loaded before it, not persisted)");
    }
    Status s = db->set_bytes(key, value);
    if (!s.ok()) fail("line " + std::to_string(number) + ": " + s.message());
    progress.update(bytes, number);
  }
  Status s = db->persist();
  if (!s.ok()) fail(dir + ": persist: " + s.message());
  return 0;
}

int run_get(const std::string& dir, const std::string& key) {
  require_directory(dir);
  require_utf8(key);
  auto db = open_db(dir);
  bool found = db->get(key, [](const std::string* value) {
    if (value != nullptr) std::fwrite(value->data(), 1, value->size(), stdout);
    return value != nullptr;
  });
  if (!found) fail("key not found");
  return 0;
}

int run_put(const std::string& dir, const std::string& key) {
  require_utf8(key);
  std::string value((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
  auto db = open_db(dir);
  Status s = db->set_bytes(key, std::move(value));
  if (!s.ok()) fail(s.message());
  return 0;
}

int run_delete(const std::string& dir, const std::string& key) {
  require_directory(dir);
  require_utf8(key);
  auto db = open_db(dir);
  if (!db->delete_key(key)) fail("key not found");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"corvid: inspect, verify, dump, load and edit a Corvid storage directory"};
  app.require_subcommand(1);
  std::string dir, key;
  bool json = false;

  auto* stat = app.add_subcommand(
      "stat", "Sizes, snapshot, log and garbage of a store, read without changing a file");
  stat->add_option("DIR", dir, "storage directory")->required();
  stat->add_flag("--json", json, "print one JSON object");
  auto* verify = app.add_subcommand(
      "verify",
      "Check the snapshot against the data files and the log, read-only; exit 0 when "
      "clean, 1 on damage, 2 when the directory cannot be read");
  verify->add_option("DIR", dir, "storage directory")->required();
  auto* dump = app.add_subcommand(
      "dump", "Write every live key and value as JSON lines {\"key\", \"value_b64\"}");
  dump->add_option("DIR", dir, "storage directory")->required();
  auto* load = app.add_subcommand("load", "Read JSON lines from stdin into a store, then persist");
  load->add_option("DIR", dir, "storage directory (created if missing)")->required();
  auto* get = app.add_subcommand("get", "Write the value of KEY to stdout");
  get->add_option("DIR", dir, "storage directory")->required();
  get->add_option("KEY", key, "the key")->required();
  auto* put = app.add_subcommand("put", "Store stdin as the value of KEY");
  put->add_option("DIR", dir, "storage directory (created if missing)")->required();
  put->add_option("KEY", key, "the key")->required();
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
  } catch (const Failure& f) {
    std::fprintf(stderr, "corvid: %s\n", f.message.c_str());
    return f.code;
  } catch (const Panic& p) {
    std::fprintf(stderr, "corvid: %s: the store is damaged: %s\n", dir.c_str(), p.what());
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
