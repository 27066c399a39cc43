#include "store/load_gate.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <utility>

namespace corvid {

namespace {

bool take(int fd, int operation) {
  while (::flock(fd, operation) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

}  // namespace

LoadGate LoadGate::on_path(const std::string& wal_path, int operation) {
  LoadGate gate;
  if (!open_file(wal_path, O_RDONLY, &gate.owned_).ok()) return gate;
  if (take(gate.owned_.get(), operation)) gate.fd_ = gate.owned_.get();
  return gate;
}

LoadGate LoadGate::for_loading(const std::string& wal_path) { return on_path(wal_path, LOCK_SH); }

LoadGate LoadGate::for_installing(int fd) {
  LoadGate gate;
  if (take(fd, LOCK_EX)) gate.fd_ = fd;
  return gate;
}

LoadGate LoadGate::for_installing(const std::string& wal_path) {
  return on_path(wal_path, LOCK_EX);
}

LoadGate::LoadGate(LoadGate&& other) noexcept
    : owned_(std::move(other.owned_)), fd_(std::exchange(other.fd_, -1)) {}

LoadGate::~LoadGate() {
  // Unlocked explicitly: a copy of the descriptor inherited by a child made
  // meanwhile must not keep the gate shut.
  if (fd_ >= 0) ::flock(fd_, LOCK_UN);
}

}  // namespace corvid
