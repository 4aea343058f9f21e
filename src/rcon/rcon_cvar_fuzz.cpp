// A console-variable reply, then the marker cleaning and the new value, as
// the connect step runs them on the "sv_contact" reply.
#include <cstddef>
#include <cstdint>
#include <string>

#include "rcon/game_thread.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  char name[kestrin::kCvarValueSize] = {};
  char value[kestrin::kCvarValueSize] = {};
  kestrin::parseCvarReply(text.c_str(), name, value);
  if (kestrin::cleanContactValue(value)) {
    char out[kestrin::kContactValueSize];
    kestrin::formatContactValue(value, "255.255.255.255", out);
  }
  return 0;
}
