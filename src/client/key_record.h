// The key record: the 44-byte plaintext inside every key frame, carrying a
// player's ids and a Blowfish key.  Pure functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/wire.h"

namespace kestrin {

// The plaintext inside every key frame.
struct KeyRecord {
  std::uint32_t userId = 0;
  std::uint32_t wonId = 0;
  std::uint8_t key[wire::kKeyRecordKeyCapacity] = {};
  std::uint32_t keyLength = 0;
};

void writeKeyRecord(const KeyRecord& record, std::uint8_t* out);
KeyRecord readKeyRecord(const std::uint8_t* bytes);

}  // namespace kestrin
