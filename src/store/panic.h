// Failures with no error path. The engine stops the operation by throwing a
// Panic that carries the error and where it happened; each front end catches
// it at its boundary and shows it in its own words.
#pragma once

#include <cstring>
#include <exception>
#include <source_location>

#include "format/status.h"

namespace corvid {

class Panic : public std::exception {
 public:
  Panic(Status error, std::source_location where) : error_(std::move(error)), where_(where) {}
  const char* what() const noexcept override { return "corvid engine panic"; }
  const Status& error() const { return error_; }
  const std::source_location& where() const { return where_; }

 private:
  Status error_;
  std::source_location where_;
};

[[noreturn]] inline void panic(Status error,
                               std::source_location where = std::source_location::current()) {
  throw Panic(std::move(error), where);
}

// The source file from "src/" on, as the build saw it.
inline const char* source_path(const std::source_location& where) {
  const char* src = std::strstr(where.file_name(), "src/");
  return src != nullptr ? src : where.file_name();
}

// Ends the operation with a Panic when `status` failed.
inline void unwrap(const Status& status,
                   std::source_location where = std::source_location::current()) {
  if (!status.ok()) panic(status, where);
}

}  // namespace corvid
