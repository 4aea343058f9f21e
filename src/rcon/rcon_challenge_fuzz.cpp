// The challenge answer and the dotted address reader on arbitrary text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "rcon/rcon_transport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::uint32_t value = 0;
  kestrin::parseChallenge(text.c_str(), &value);
  kestrin::parseIpv4Address(text.c_str(), &value);
  return 0;
}
