// The checks asked of every client in each check request, with the answers
// expected.  One per server, set at start-up and read-only afterwards; every
// client session points at it.
#pragma once

#include <cstdint>

#include "core/wire.h"

namespace kestrin {

struct CheckIdList {
  // Entries of checkIds and checkExpected in use, at most kMaxCheckIds.
  std::uint16_t checkIdCount = 0;
  std::uint32_t checkIds[wire::kMaxCheckIds] = {};
  std::uint32_t checkExpected[wire::kMaxCheckIds] = {};
};

}  // namespace kestrin
