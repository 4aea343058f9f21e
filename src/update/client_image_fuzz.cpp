// Loads arbitrary bytes as "cldll.dat" through a real file, in a folder of
// the fuzzer's own.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "core/wire.h"
#include "platform/platform.h"
#include "update/updater.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool inFolder = [] {
    std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                   ("kestrin-client-image-fuzz-" + std::to_string(kestrin::platform::milliseconds()));
    std::filesystem::create_directories(folder);
    std::filesystem::current_path(folder);
    static const std::filesystem::path removed = folder;
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::current_path(removed.parent_path(), ignored);
      std::filesystem::remove_all(removed, ignored);
    });
    return true;
  }();
  (void)inFolder;
  std::FILE* file = std::fopen(kestrin::kClientImageFileName, "wb");
  if (file == nullptr) return 0;
  std::fwrite(data, 1, size, file);
  std::fclose(file);

  kestrin::UpdateState state;
  bool loaded = kestrin::loadClientImage(state);
  kestrin::ImageHeader header;
  bool valid = kestrin::checkImage(data, size, &header) == kestrin::ImageCheck::kOk;
  if (loaded != valid) __builtin_trap();
  if (loaded && (state.clientImageSize != size - kestrin::wire::kImageHeaderSize ||
                 state.clientImageVersion.load() != header.version ||
                 std::memcmp(state.clientImageData.get(), data + kestrin::wire::kImageHeaderSize,
                             state.clientImageSize) != 0))
    __builtin_trap();
  return 0;
}
