// Feeds arbitrary text to the update-list reader, as the list fetch would
// hand it over (zero-terminated, at most 512 bytes), the hosts it names to
// the address reader, and the text to the line routines with a key and
// separator taken from the input.
#include <cstdint>
#include <cstring>
#include <string>

#include "core/line_scanner.h"
#include "core/wire.h"
#include "update/updater.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data),
                   size < kestrin::wire::kUpdateListSize ? size : kestrin::wire::kUpdateListSize);
  kestrin::UpdateList list;
  bool found = kestrin::readUpdateList(text.c_str(), &list);
  if (!found && (list.hasTime || list.server.named || list.client.named)) __builtin_trap();
  for (const kestrin::ImageSource* source : {&list.server, &list.client}) {
    if (std::strlen(source->host) + std::strlen(source->path) >= 127) __builtin_trap();
    // A host is fetched from by its address when it reads as one.
    std::uint32_t address = 0;
    if (kestrin::isDottedQuad(source->host)) kestrin::parseDottedQuad(source->host, &address);
  }

  if (size < 2) return 0;
  char separator = static_cast<char>(data[0]);
  std::size_t keyLength = data[1] % 8 < size - 2 ? data[1] % 8 : size - 2;
  std::string key(reinterpret_cast<const char*>(data + 2), keyLength);
  kestrin::LineText value;
  if (kestrin::findKeyValue(key.c_str(), separator, value, text.c_str())) {
    if (std::strlen(value) >= kestrin::wire::kHttpLineSize) __builtin_trap();
  } else if (value[0] != '\0') {
    __builtin_trap();
  }
  return 0;
}
