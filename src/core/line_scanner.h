// The one home of text scanning: the bounded line scanner of the remote
// console's replies and the "rcon" configuration value, the key-value lines
// of HTTP headers and the update list, decimal numbers and dotted IPv4
// addresses.  Everything here is pure and may run on any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/wire.h"

namespace kestrin {

// Text of one header or update-list line: at most 255 characters.
using LineText = char[wire::kHttpLineSize];

// Finds the first line of `text` (ended by a line feed; trailing control
// characters removed) that splits at `separator` into a key beginning with
// `key` and a value; the value goes to `out`.  Lines longer than 255
// characters are passed over whole.  False, with `out` empty, when no line
// matches.
bool findKeyValue(const char* key, char separator, LineText& out, const char* text);

// Splits `text` at the first `character`: `first` gets the text before it,
// `rest` everything after it.  False, with both empty, when the text is
// empty, lacks the character or is longer than 255 characters.
bool splitAt(const char* text, char character, LineText& first, LineText& rest);

// Reads the decimal digits at the start of `text`.  False when it does not
// start with a digit; values above 2^32 - 1 give 2^32.
bool readDecimal(const char* text, std::uint64_t* value);

// True for a text of at most 16 characters holding four groups of digits
// joined by dots (other characters are passed over): a host that is meant
// as an address rather than a name.
bool isDottedQuad(const char* text);
// Reads a dotted IPv4 address strictly: four decimal groups 0 to 255 of at
// most three digits, nothing else.  The address a.b.c.d comes out in host
// order, (a << 24) | (b << 16) | (c << 8) | d.
bool parseDottedQuad(const char* text, std::uint32_t* address);

// A bounded reader for scanf-like line formats.  Every directive follows the
// scanf rule it stands for, but numbers that do not fit their type and texts
// that do not fit their buffer make the directive fail instead of
// overflowing.

class LineScanner {
 public:
  explicit LineScanner(const char* text) : at_(text) {}

  const char* position() const { return at_; }

  // A blank in a format: any run of white space, none included.
  void blanks() {
    while (isSpace(*at_)) ++at_;
  }

  // An ordinary character of a format: must be the next character.
  bool literal(char c) {
    if (*at_ != c) return false;
    ++at_;
    return true;
  }

  // %d into 32 bits: white space, an optional sign, one or more digits.
  bool signedNumber(std::int32_t* out) {
    const char* p = skipSpace(at_);
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    std::uint64_t value = 0;
    if (!digits(&p, negative ? 0x80000000ull : 0x7FFFFFFFull, &value)) return false;
    *out = negative ? static_cast<std::int32_t>(-static_cast<std::int64_t>(value))
                    : static_cast<std::int32_t>(value);
    at_ = p;
    return true;
  }

  // %u into 32 bits: white space, an optional plus, one or more digits.
  bool unsignedNumber(std::uint32_t* out) {
    const char* p = skipSpace(at_);
    if (*p == '+') ++p;
    std::uint64_t value = 0;
    if (!digits(&p, 0xFFFFFFFFull, &value)) return false;
    *out = static_cast<std::uint32_t>(value);
    at_ = p;
    return true;
  }

  // %s: white space, then one or more characters up to the next white space.
  // `out` (capacity bytes) may be null to skip the word; a longer word fails.
  bool word(char* out, std::size_t capacity) {
    const char* p = skipSpace(at_);
    const char* start = p;
    while (*p != '\0' && !isSpace(*p)) ++p;
    return take(start, p, out, capacity);
  }

  // %*["]: one or more of `c`.
  bool run(char c) {
    if (*at_ != c) return false;
    while (*at_ == c) ++at_;
    return true;
  }

  // %[^c] with a width of capacity - 1: one or more characters other than
  // `c`, at most capacity - 1 of them (the rest stays for the next directive).
  bool until(char c, char* out, std::size_t capacity) {
    const char* p = at_;
    while (*p != '\0' && *p != c && static_cast<std::size_t>(p - at_) + 1 < capacity) ++p;
    return take(at_, p, out, capacity);
  }

 private:
  static bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
  static const char* skipSpace(const char* p) {
    while (isSpace(*p)) ++p;
    return p;
  }
  static bool digits(const char** p, std::uint64_t limit, std::uint64_t* value) {
    const char* q = *p;
    if (*q < '0' || *q > '9') return false;
    std::uint64_t v = 0;
    for (; *q >= '0' && *q <= '9'; ++q) {
      v = v * 10 + static_cast<std::uint64_t>(*q - '0');
      if (v > limit) return false;
    }
    *value = v;
    *p = q;
    return true;
  }
  bool take(const char* start, const char* end, char* out, std::size_t capacity) {
    std::size_t length = static_cast<std::size_t>(end - start);
    if (length == 0) return false;
    if (out != nullptr) {
      if (length >= capacity) return false;
      for (std::size_t i = 0; i < length; ++i) out[i] = start[i];
      out[length] = '\0';
    }
    at_ = end;
    return true;
  }

  const char* at_;
};

}  // namespace kestrin
