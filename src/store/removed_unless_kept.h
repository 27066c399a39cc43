// Work files that an operation removes again on every way out, failures and
// panics included, unless it kept them: a failed persist or vacuum leaves
// no partial file behind to keep a full disk full.
#pragma once

#include <unistd.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace corvid {

class RemovedUnlessKept {
 public:
  explicit RemovedUnlessKept(std::initializer_list<std::string> paths) : paths_(paths) {}
  ~RemovedUnlessKept() {
    if (kept_) return;
    for (const std::string& p : paths_) ::unlink(p.c_str());  // missing ones: nothing to do
  }
  RemovedUnlessKept(const RemovedUnlessKept&) = delete;
  RemovedUnlessKept& operator=(const RemovedUnlessKept&) = delete;

  void keep() { kept_ = true; }

 private:
  std::vector<std::string> paths_;
  bool kept_ = false;
};

}  // namespace corvid
