// Whether io_uring makes a record's two data-file system calls cheaper: a
// put's two positioned writes (key to keys.bin, value to vals.bin) and a
// cold read's two positioned reads, each made as two pwrite/pread calls or
// as one io_uring submission of two operations waited for together. Files
// in the page cache, as a store's are; median of 5 rounds.
#include <fcntl.h>
#include <liburing.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int kRecords = 200000;
constexpr size_t kKey = 16, kValue = 100;

double now_ns() {
  return std::chrono::duration<double, std::nano>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void check(bool ok, const char* what) {
  if (!ok) {
    std::perror(what);
    std::exit(1);
  }
}

struct Files {
  int keys, vals;
};

Files open_files(const std::string& dir) {
  Files f{::open((dir + "/keys.bin").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644),
          ::open((dir + "/vals.bin").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644)};
  check(f.keys >= 0 && f.vals >= 0, "open");
  return f;
}

// Two waited-for operations through the ring: one submission, one wait.
template <class Prep>
void ring_pair(io_uring* ring, Prep prep) {
  io_uring_sqe* a = io_uring_get_sqe(ring);
  io_uring_sqe* b = io_uring_get_sqe(ring);
  prep(a, b);
  check(io_uring_submit_and_wait(ring, 2) == 2, "io_uring_submit_and_wait");
  io_uring_cqe* cqe;
  for (int i = 0; i < 2; ++i) {
    check(io_uring_wait_cqe(ring, &cqe) == 0 && cqe->res > 0, "cqe");
    io_uring_cqe_seen(ring, cqe);
  }
}

}  // namespace

int main() {
  char tmpl[] = "/tmp/uring-bench-XXXXXX";
  check(::mkdtemp(tmpl) != nullptr, "mkdtemp");
  const std::string dir = tmpl;
  io_uring ring;
  const int err = io_uring_queue_init(8, &ring, 0);
  if (err < 0) {
    std::printf("io_uring unavailable here (%d): nothing to compare\n", err);
    return 0;
  }
  std::string key(kKey, 'k'), value(kValue, 'v');
  std::vector<uint32_t> order(kRecords);
  for (int i = 0; i < kRecords; ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), std::mt19937(1));
  std::vector<double> put_calls, put_ring, rewrite_ring, get_calls, get_ring;
  std::string kbuf(kKey, 0), vbuf(kValue, 0);
  for (int round = 0; round < 5; ++round) {
    Files f = open_files(dir);
    double t = now_ns();
    for (int i = 0; i < kRecords; ++i) {
      check(::pwrite(f.keys, key.data(), kKey, off_t{i} * kKey) == kKey, "pwrite");
      check(::pwrite(f.vals, value.data(), kValue, off_t{i} * kValue) == kValue, "pwrite");
    }
    put_calls.push_back((now_ns() - t) / kRecords);
    t = now_ns();
    for (int i : order) {
      check(::pread(f.keys, kbuf.data(), kKey, off_t{i} * kKey) == kKey, "pread");
      check(::pread(f.vals, vbuf.data(), kValue, off_t{i} * kValue) == kValue, "pread");
    }
    get_calls.push_back((now_ns() - t) / kRecords);
    ::close(f.keys);
    ::close(f.vals);

    f = open_files(dir);
    auto ring_puts = [&] {
      const double start = now_ns();
      for (int i = 0; i < kRecords; ++i) {
        ring_pair(&ring, [&](io_uring_sqe* a, io_uring_sqe* b) {
          io_uring_prep_write(a, f.keys, key.data(), kKey, static_cast<uint64_t>(i) * kKey);
          io_uring_prep_write(b, f.vals, value.data(), kValue, static_cast<uint64_t>(i) * kValue);
        });
      }
      return (now_ns() - start) / kRecords;
    };
    put_ring.push_back(ring_puts());
    // Again over bytes the files hold: writes that do not lengthen a file.
    rewrite_ring.push_back(ring_puts());
    t = now_ns();
    for (int i : order) {
      ring_pair(&ring, [&](io_uring_sqe* a, io_uring_sqe* b) {
        io_uring_prep_read(a, f.keys, kbuf.data(), kKey, static_cast<uint64_t>(i) * kKey);
        io_uring_prep_read(b, f.vals, vbuf.data(), kValue, static_cast<uint64_t>(i) * kValue);
      });
    }
    get_ring.push_back((now_ns() - t) / kRecords);
    ::close(f.keys);
    ::close(f.vals);
  }
  io_uring_queue_exit(&ring);
  ::unlink((dir + "/keys.bin").c_str());
  ::unlink((dir + "/vals.bin").c_str());
  ::rmdir(dir.c_str());
  std::printf("%d records of a %zu-byte key and a %zu-byte value, ns per record, median of 5\n",
              kRecords, kKey, kValue);
  std::printf("put, two pwrite calls          %8.0f\n", median(put_calls));
  std::printf("put, one io_uring submission   %8.0f   (calls / ring: %.2f)\n", median(put_ring),
              median(put_calls) / median(put_ring));
  std::printf("rewrite, one io_uring submission %6.0f   (calls / ring: %.2f)\n",
              median(rewrite_ring), median(put_calls) / median(rewrite_ring));
  std::printf("get, two pread calls           %8.0f\n", median(get_calls));
  std::printf("get, one io_uring submission   %8.0f   (calls / ring: %.2f)\n", median(get_ring),
              median(get_calls) / median(get_ring));
  return 0;
}
