// Feeds arbitrary bytes to the PE loader and, when they load, to the code
// page digest.
#include <cstddef>
#include <cstdint>

#include "digest/pe_image.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kestrin::PeImage image = kestrin::loadImageFromMemory(data, size);
  // Images far larger than the input take no other path through the
  // digest, only longer to walk; they are loaded but not digested.
  constexpr std::uint32_t kLargestDigestedImage = 1u << 20;
  if (!image || image.size > kLargestDigestedImage) return 0;
  // Section data may overwrite the headers in the image, so the extent is
  // not bounded by the loaded size; it must only be computed safely.
  (void)kestrin::codeExtent(image);
  kestrin::FileDigest state;
  const int result = kestrin::codePagesDigest(image, state.words, kestrin::kDigestWindowWords);
  // Section data may also overwrite the MZ mark; running out of memory for
  // one page is not expected.
  if (result != kestrin::kCodePagesOk && result != kestrin::kCodePagesNoCode &&
      result != kestrin::kCodePagesNoRelocations && result != kestrin::kCodePagesNotMz) {
    __builtin_trap();
  }
  return 0;
}
