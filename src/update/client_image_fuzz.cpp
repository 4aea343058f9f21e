// Checks arbitrary bytes as an image and loads them as "cldll.dat" through a
// real file: an accepted image describes exactly the bytes behind its
// header, and it is loaded exactly when it is accepted.  The file lives in a
// folder of the fuzzer's own, entered only for the load, so that paths
// given to the fuzzer keep their meaning.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "core/wire.h"
#include "platform/platform.h"
#include "update/updater.h"

namespace {

namespace fs = std::filesystem;

// The fuzzer's own folder, removed at exit.
struct Folder {
  fs::path path = fs::temp_directory_path() /
                  ("kestrin-client-image-fuzz-" + std::to_string(kestrin::platform::milliseconds()));
  Folder() { fs::create_directories(path); }
  ~Folder() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
};

}  // namespace

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

  static const Folder folder;
  const fs::path previous = fs::current_path();
  fs::current_path(folder.path);
  std::FILE* file = std::fopen(kestrin::kClientImageFileName, "wb");
  if (file == nullptr) __builtin_trap();
  std::fwrite(data, 1, size, file);
  std::fclose(file);
  kestrin::UpdateState state;
  const bool loaded = kestrin::loadClientImage(state);
  fs::current_path(previous);

  if (loaded != valid) __builtin_trap();
  if (loaded && (state.clientImageSize != size - kImageHeaderSize || state.clientImageVersion.load() != header.version ||
                 std::memcmp(state.clientImageData.get(), data + kImageHeaderSize, state.clientImageSize) != 0))
    __builtin_trap();
  return 0;
}
