// Arbitrary bytes, laid over a good signature of "abc" by exclusive or, as
// that image's signature file: never a crash; one not malformed is a single
// DER SEQUENCE of at most 72 bytes spanning the file; the good one passes.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/wire.h"
#include "support/test_keys.h"
#include "update/updater.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using kestrin::testing::kAbcSignature;
  static const std::string key = kestrin::testing::kVerifyingKey;
  static const std::uint8_t image[] = {'a', 'b', 'c'};
  std::vector<std::uint8_t> signature(data, data + size);
  for (std::size_t i = 0; i < size && i < sizeof kAbcSignature; ++i) signature[i] ^= kAbcSignature[i];

  const char* problem = kestrin::imageSignatureProblem(key, image, sizeof image, signature.data(), size);
  const bool malformed = problem != nullptr && std::strcmp(problem, "Malformed signature") == 0;
  if (size > kestrin::wire::kImageSignatureMaxSize && !malformed) __builtin_trap();
  if (!malformed && (size < 8 || signature[0] != 0x30 || signature[1] + 2u != size)) __builtin_trap();
  if (size == sizeof kAbcSignature && std::memcmp(signature.data(), kAbcSignature, size) == 0 && problem != nullptr)
    __builtin_trap();
  return 0;
}
