// Erasing key material.  The stores are followed by a compiler barrier that
// claims to read the memory, so they cannot be dropped even when the memory
// is never used again.
#pragma once

#include <cstddef>

namespace kestrin {

// Sets `length` bytes at `memory` to zero.
void secureWipe(void* memory, std::size_t length);

// Zeroes a whole object or array of trivially copyable data.
template <typename T>
void secureWipe(T& object) {
  secureWipe(static_cast<void*>(&object), sizeof(T));
}

}  // namespace kestrin
