// A test hook: when the environment variable CORVID_CRASH_AT names a point,
// the process kills itself with SIGKILL on reaching it, so that tests can
// check what the files say after a crash at exactly that moment.
#pragma once

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace corvid {

inline void crash_point(const char* name) {
  static const char* const target = std::getenv("CORVID_CRASH_AT");
  if (target != nullptr && std::strcmp(target, name) == 0) ::kill(::getpid(), SIGKILL);
}

}  // namespace corvid
