// Checks arbitrary bytes as a downloaded image; an accepted image must
// describe exactly the bytes that follow its header.
#include <cstdint>

#include "core/wire.h"
#include "update/updater.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kestrin::ImageHeader header;
  if (kestrin::checkImage(data, size, &header) == kestrin::ImageCheck::kOk) {
    if (header.payloadSize != size - kestrin::wire::kImageHeaderSize) __builtin_trap();
    std::uint8_t again[kestrin::wire::kImageHeaderSize];
    kestrin::writeImageHeader(header.version, header.activationTime, header.payloadSize, again);
    for (std::size_t i = 0; i < sizeof again; ++i) {
      if (i != 2 && again[i] != data[i]) __builtin_trap();
    }
  }
  return 0;
}
