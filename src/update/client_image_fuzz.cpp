// Checks arbitrary bytes as an image and hands them to the client-image load
// as if read from "cldll.dat": an accepted image describes exactly the bytes
// behind its header, and it is loaded exactly when it is accepted.
#include <cstdint>
#include <cstring>
#include <memory>

#include "core/wire.h"
#include "update/updater.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using kestrin::wire::kImageHeaderSize;
  kestrin::ImageHeader header;
  const bool valid = kestrin::checkImage(data, size, &header) == kestrin::ImageCheck::kOk;
  if (valid) {
    if (header.payloadSize != size - kImageHeaderSize) __builtin_trap();
    std::uint8_t again[kImageHeaderSize];
    kestrin::writeImageHeader(header.version, header.activationTime, header.payloadSize, again);
    for (std::size_t i = 0; i < sizeof again; ++i) {
      if (i != 2 && again[i] != data[i]) __builtin_trap();
    }
  }

  std::unique_ptr<std::uint8_t[]> image(new std::uint8_t[size + 1]);
  if (size > 0) std::memcpy(image.get(), data, size);
  kestrin::UpdateState state;
  const bool loaded = kestrin::takeClientImage(state, std::move(image), size);
  if (loaded != valid) __builtin_trap();
  if (loaded && (state.clientImageSize != size - kImageHeaderSize || state.clientImageVersion.load() != header.version ||
                 std::memcmp(state.clientImageData.get(), data + kImageHeaderSize, state.clientImageSize) != 0))
    __builtin_trap();
  return 0;
}
