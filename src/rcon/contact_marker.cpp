#include "rcon/contact_marker.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/line_scanner.h"
#include "core/wire.h"

namespace kestrin {

void parseCvarReply(const char* reply, char* name, char* value) {
  LineScanner scan(reply);
  if (!scan.literal(wire::kReplyLetter) || !scan.run('"') || !scan.until('"', name, kCvarValueSize) ||
      !scan.run('"'))
    return;
  scan.blanks();
  if (!scan.literal('i') || !scan.literal('s')) return;
  scan.blanks();
  if (!scan.run('"')) return;
  scan.until('"', value, kCvarValueSize);
}

bool cleanContactValue(char* value) {
  std::size_t length = std::strlen(value);
  if (length < 4) {
    value[0] = '\0';
    return true;
  }
  const std::size_t searchLength = std::strlen(kContactMarkerSearch);
  // After a cut the text behind it moves up to p, so p is looked at again:
  // markers next to each other all go.
  for (std::size_t p = 0; p + searchLength <= length;) {
    if (std::strncmp(value + p, kContactMarkerSearch, searchLength) != 0) {
      ++p;
      continue;
    }
    char* first = std::strchr(value + p, '}');
    if (first == nullptr) return false;
    char* second = std::strchr(first + 1, '}');
    if (second == nullptr) return false;
    std::memmove(value + p, second + 1, std::strlen(second + 1) + 1);
    length = std::strlen(value);
  }
  return true;
}

void formatContactValue(const char* oldValue, const char* externalIp, char* out) {
  static constexpr const char* kMarkerOpen = "{KESTRIN REQ}{";
  // Quotes, marker, address, closing brace and the terminating zero.
  std::size_t fixed = 2 + std::strlen(kMarkerOpen) + std::strlen(externalIp) + 1 + 1;
  std::size_t room = fixed < kContactValueSize ? kContactValueSize - fixed : 0;
  int keep = static_cast<int>(std::min(std::strlen(oldValue), room));
  std::snprintf(out, kContactValueSize, "\"%.*s%s%s}\"", keep, oldValue, kMarkerOpen, externalIp);
}

}  // namespace kestrin
