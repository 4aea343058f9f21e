#include "core/line_scanner.h"

#include <cstring>

namespace kestrin {
namespace {

constexpr std::uint64_t kDecimalCap = std::uint64_t{1} << 32;
constexpr std::size_t kMaxDottedQuadLength = 16;

}  // namespace

bool isDottedQuad(const char* text) {
  std::size_t length = std::strlen(text);
  if (length == 0 || length > kMaxDottedQuadLength) return false;
  bool waitingForDigit = true;
  int switches = 0;
  for (std::size_t i = 0; i < length; ++i) {
    char c = text[i];
    if (waitingForDigit && c >= '0' && c <= '9') {
      waitingForDigit = false;
      ++switches;
    } else if (!waitingForDigit && c == '.') {
      waitingForDigit = true;
      ++switches;
    }
  }
  return switches == 7;
}

bool parseDottedQuad(const char* text, std::uint32_t* address) {
  std::uint32_t result = 0;
  for (int group = 0; group < 4; ++group) {
    if (group > 0 && *text++ != '.') return false;
    if (*text < '0' || *text > '9') return false;
    std::uint32_t value = 0;
    for (int digits = 0; *text >= '0' && *text <= '9'; ++digits, ++text) {
      if (digits == 3) return false;
      value = value * 10 + static_cast<std::uint32_t>(*text - '0');
    }
    if (value > 255) return false;
    result = (result << 8) | value;
  }
  if (*text != '\0') return false;
  *address = result;
  return true;
}

bool splitAt(const char* text, char character, LineText& first, LineText& rest) {
  first[0] = '\0';
  rest[0] = '\0';
  std::size_t length = std::strlen(text);
  if (length == 0 || length >= wire::kHttpLineSize) return false;
  const char* at = static_cast<const char*>(std::memchr(text, character, length));
  if (at == nullptr) return false;
  std::size_t before = static_cast<std::size_t>(at - text);
  std::memcpy(first, text, before);
  first[before] = '\0';
  std::memcpy(rest, at + 1, length - before);  // with the terminator
  return true;
}

bool findKeyValue(const char* key, char separator, LineText& out, const char* text) {
  out[0] = '\0';
  std::size_t keyLength = std::strlen(key);
  LineText line;
  LineText lineKey;
  for (const char* newline = std::strchr(text, '\n'); newline != nullptr;
       text = newline + 1, newline = std::strchr(text, '\n')) {
    std::size_t length = static_cast<std::size_t>(newline - text);
    if (length >= sizeof line) continue;
    std::memcpy(line, text, length);
    while (length > 0 && static_cast<unsigned char>(line[length - 1]) < 32) --length;
    line[length] = '\0';
    if (!splitAt(line, separator, lineKey, out)) continue;
    if (std::strncmp(lineKey, key, keyLength) == 0) return true;
  }
  out[0] = '\0';
  return false;
}

bool readDecimal(const char* text, std::uint64_t* value) {
  if (*text < '0' || *text > '9') return false;
  std::uint64_t result = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    result = result * 10 + static_cast<std::uint64_t>(*text - '0');
    if (result > kDecimalCap) result = kDecimalCap;
  }
  *value = result;
  return true;
}

}  // namespace kestrin
