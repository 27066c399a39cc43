// Small helpers for tests that drive a Db.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "store/db.h"

namespace corvid {

// The value stored under `key`, or "<none>".
inline std::string value_of(Db& db, const std::string& key) {
  std::string out = "<none>";
  EXPECT_TRUE(db.get(key, [&](const std::string* v) {
                  if (v != nullptr) out = *v;
                }).ok());
  return out;
}

}  // namespace corvid
