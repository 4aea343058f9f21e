// A bounded reader for the scanf-like line formats of the remote console
// ("status", "users", console variables, the challenge answer) and of the
// "rcon" configuration value.  Every directive follows the scanf rule it
// stands for, but numbers that do not fit their type and texts that do not
// fit their buffer make the directive fail instead of overflowing.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrin {

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
