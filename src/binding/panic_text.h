// The text of a PanicException: how the module shows an engine panic.
#pragma once

#include <string>

#include "format/status.h"

namespace corvid::py {

// A row or table beyond its bounds reads as the bound itself; every other
// failure as the unwrap of a failed step, with the error's kind, number and
// description.
std::string panic_text(const Status& error);

}  // namespace corvid::py
