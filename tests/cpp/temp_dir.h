// A fresh directory under /tmp for one test.
#pragma once

#include <cstdlib>
#include <string>

namespace corvid {

inline std::string temp_dir() {
  char tmpl[] = "/tmp/corvid-test-XXXXXX";
  return ::mkdtemp(tmpl);
}

}  // namespace corvid
