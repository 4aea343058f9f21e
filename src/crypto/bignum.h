// Multi-precision unsigned integers of fixed capacity: arrays of 32-bit
// digits, least significant digit first.  Every function takes the digit
// count of its operands and never reads or writes past it; nothing
// allocates.  Sums and differences wrap within the digit count given.
//
// This is the digit layer; modular arithmetic is built on it in modular.h.
// The functions keep no state and may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrin::bignum {

using Digit = std::uint32_t;
using DoubleDigit = std::uint64_t;

inline constexpr int kDigitBits = 32;
inline constexpr int kDigitBytes = 4;
// A 1024-bit number and one spare digit.
inline constexpr int kMaxDigits = 33;
inline constexpr int kMaxBytes = kMaxDigits * kDigitBytes;
// The product of two numbers of kMaxDigits.
inline constexpr int kMaxProductDigits = 2 * kMaxDigits;
// The longest dividend: room for the square of a power of two one 64-bit
// word above any number of kMaxDigits.
inline constexpr int kMaxDividendDigits = kMaxProductDigits + 3;

// Reads a big-endian byte string (its last byte least significant) into
// `digits` digits.  False when a non-zero byte does not fit; `a` is then zero.
bool decode(Digit* a, int digits, const std::uint8_t* bytes, std::size_t length);
// Writes `a` right-aligned into `length` bytes, zero-filled on the left.
// False when the value needs more bytes; `bytes` is then all zero.
bool encode(std::uint8_t* bytes, std::size_t length, const Digit* a, int digits);

void assign(Digit* a, const Digit* b, int digits);
void assignZero(Digit* a, int digits);
void assignDigit(Digit* a, Digit value, int digits);

// Significant digits: the index of the highest non-zero digit plus one.
int digitCount(const Digit* a, int digits);
// Significant bits.
int bitCount(const Digit* a, int digits);
bool isZero(const Digit* a, int digits);
// -1, 0 or 1 as a is below, equal to or above b.
int compare(const Digit* a, const Digit* b, int digits);

// a = b + c; returns the carry out.  a may be b or c.
Digit add(Digit* a, const Digit* b, const Digit* c, int digits);
// a = b - c; returns the borrow out.  a may be b or c.
Digit subtract(Digit* a, const Digit* b, const Digit* c, int digits);
// a = b + digit, a = b - digit; carry or borrow out.
Digit addDigit(Digit* a, const Digit* b, Digit digit, int digits);
Digit subtractDigit(Digit* a, const Digit* b, Digit digit, int digits);

// a (2 x digits) = b x c; digits at most kMaxDigits.  a may overlap b or c.
void multiply(Digit* a, const Digit* b, const Digit* c, int digits);

// a = b << shift, a = b >> shift, for 0 <= shift < 32; returns the bits
// shifted out.  a may be b.
Digit shiftLeft(Digit* a, const Digit* b, int shift, int digits);
Digit shiftRight(Digit* a, const Digit* b, int shift, int digits);

// c = quotient x d + remainder.  quotient has cDigits digits (may be null),
// remainder dDigits digits (may be null).  cDigits at most kMaxDividendDigits,
// dDigits at most kMaxProductDigits; d must not be zero.
void divide(Digit* quotient, Digit* remainder, const Digit* c, int cDigits, const Digit* d,
            int dDigits);

// The remainder of a by a single non-zero digit.
Digit remainderDigit(const Digit* a, int digits, Digit divisor);

}  // namespace kestrin::bignum
