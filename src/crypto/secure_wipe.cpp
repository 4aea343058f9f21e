#include "crypto/secure_wipe.h"

#include <cstring>

namespace kestrin {

void secureWipe(void* memory, std::size_t length) {
  std::memset(memory, 0, length);
  // The compiler must assume the assembly reads the memory, so the stores
  // above cannot be dropped as dead.
  asm volatile("" : : "r"(memory) : "memory");
}

}  // namespace kestrin
