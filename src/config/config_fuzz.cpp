// Feeds arbitrary bytes to the configuration loader through a real file.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "config/config.h"
#include "core/print.h"
#include "platform/platform.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = "config_fuzz_" + std::to_string(kestrin::platform::milliseconds()) + ".cfg";
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return 0;
  std::fwrite(data, 1, size, file);
  std::fclose(file);
  kestrin::Config config;
  config.load(path.c_str());
  for (std::uint32_t i = 0; i < config.sectionCount; ++i) {
    kestrin::ConfigSection& section = config.sections[i];
    char out[kestrin::kConfigValueSize];
    for (std::uint32_t n = section.findFirst("rcon", out); n != 0; n = section.findNext("rcon", out)) {
      if (std::strlen(out) != n || n >= kestrin::kConfigValueSize) __builtin_trap();
    }
  }
  std::remove(path.c_str());
  return 0;
}
