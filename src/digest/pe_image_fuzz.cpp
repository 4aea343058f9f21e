// Feeds arbitrary bytes to the PE loader and, when they load, to the code
// page digest.
#include <cstddef>
#include <cstdint>

#include "digest/pe_image.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kestrin::PeImage image = kestrin::loadImageFromMemory(data, size);
  if (!image) return 0;
  const std::uint32_t end = kestrin::codeExtent(image);
  if (end > image.size && end > 3) __builtin_trap();
  kestrin::FileDigest state;
  const int result = kestrin::codePagesDigest(image, state.words, kestrin::kDigestWindowWords);
  if (result != kestrin::kCodePagesOk && result != kestrin::kCodePagesNoCode &&
      result != kestrin::kCodePagesNoRelocations) {
    __builtin_trap();
  }
  return 0;
}
