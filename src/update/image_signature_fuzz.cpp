// Arbitrary bytes, laid over a good signature of "abc" by exclusive or, as
// that image's signature file, up to the verification: the size bound comes
// before the key, and bytes in the DER form are a SEQUENCE spanning the
// file.  Reading the key and the ECDSA verification, which cost a hundred
// times more than these stages, are left to the unit tests.
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/wire.h"
#include "platform/platform.h"
#include "support/test_keys.h"
#include "update/updater.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using kestrin::testing::kAbcSignature;
  std::vector<std::uint8_t> signature(data, data + size);
  for (std::size_t i = 0; i < size && i < sizeof kAbcSignature; ++i) signature[i] ^= kAbcSignature[i];

  // Beyond the size bound a signature is malformed before any key is read.
  if (size > kestrin::wire::kImageSignatureMaxSize) {
    const char* problem = kestrin::imageSignatureProblem("", data, size, signature.data(), size);
    if (problem == nullptr || std::strcmp(problem, "Malformed signature") != 0) __builtin_trap();
  }
  if (kestrin::platform::isDerSignature(signature.data(), size) &&
      (size < 8 || signature[0] != 0x30 || (size <= 129 && signature[1] + 2u != size)))
    __builtin_trap();
  return 0;
}
