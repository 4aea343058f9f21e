#include "crypto/bignum.h"

#include <bit>

#include "core/byte_order.h"
#include "crypto/secure_wipe.h"

namespace kestrin::bignum {
namespace {

inline Digit low(DoubleDigit x) { return static_cast<Digit>(x); }
inline Digit high(DoubleDigit x) { return static_cast<Digit>(x >> kDigitBits); }

// a[0, digits) -= q x b[0, digits); returns the digit to take from a[digits].
Digit subtractProduct(Digit* a, const Digit* b, Digit q, int digits) {
  Digit borrow = 0;
  for (int i = 0; i < digits; ++i) {
    DoubleDigit product = static_cast<DoubleDigit>(q) * b[i] + borrow;
    Digit part = low(product);
    borrow = high(product) + (a[i] < part ? 1 : 0);
    a[i] -= part;
  }
  return borrow;
}

}  // namespace

bool decode(Digit* a, int digits, const std::uint8_t* bytes, std::size_t length) {
  const std::size_t capacity = static_cast<std::size_t>(digits) * kDigitBytes;
  std::size_t excess = length > capacity ? length - capacity : 0;
  for (std::size_t i = 0; i < excess; ++i) {
    if (bytes[i] != 0) {
      assignZero(a, digits);
      return false;
    }
  }
  bytes += excess;
  length -= excess;
  // Whole digits from the end of the string, then the partial top digit.
  int i = 0;
  for (; length >= kDigitBytes; ++i, length -= kDigitBytes) a[i] = loadBe32(bytes + length - kDigitBytes);
  if (length > 0) {
    Digit top = 0;
    for (std::size_t k = 0; k < length; ++k) top = (top << 8) | bytes[k];
    a[i++] = top;
  }
  for (; i < digits; ++i) a[i] = 0;
  return true;
}

bool encode(std::uint8_t* bytes, std::size_t length, const Digit* a, int digits) {
  const std::size_t needed = (static_cast<std::size_t>(bitCount(a, digits)) + 7) / 8;
  for (std::size_t i = 0; i < length; ++i) bytes[i] = 0;
  if (needed > length) return false;
  for (std::size_t position = 0; position < needed; ++position) {
    bytes[length - 1 - position] =
        static_cast<std::uint8_t>(a[position / kDigitBytes] >> (8 * (position % kDigitBytes)));
  }
  return true;
}

void assign(Digit* a, const Digit* b, int digits) {
  for (int i = 0; i < digits; ++i) a[i] = b[i];
}

void assignZero(Digit* a, int digits) {
  for (int i = 0; i < digits; ++i) a[i] = 0;
}

void assignDigit(Digit* a, Digit value, int digits) {
  if (digits == 0) return;
  assignZero(a, digits);
  a[0] = value;
}

int digitCount(const Digit* a, int digits) {
  while (digits > 0 && a[digits - 1] == 0) --digits;
  return digits;
}

int bitCount(const Digit* a, int digits) {
  digits = digitCount(a, digits);
  if (digits == 0) return 0;
  return (digits - 1) * kDigitBits + std::bit_width(a[digits - 1]);
}

bool isZero(const Digit* a, int digits) { return digitCount(a, digits) == 0; }

int compare(const Digit* a, const Digit* b, int digits) {
  for (int i = digits - 1; i >= 0; --i) {
    if (a[i] != b[i]) return a[i] > b[i] ? 1 : -1;
  }
  return 0;
}

Digit add(Digit* a, const Digit* b, const Digit* c, int digits) {
  Digit carry = 0;
  for (int i = 0; i < digits; ++i) {
    DoubleDigit sum = static_cast<DoubleDigit>(b[i]) + c[i] + carry;
    a[i] = low(sum);
    carry = high(sum);
  }
  return carry;
}

Digit subtract(Digit* a, const Digit* b, const Digit* c, int digits) {
  Digit borrow = 0;
  for (int i = 0; i < digits; ++i) {
    DoubleDigit difference = static_cast<DoubleDigit>(b[i]) - c[i] - borrow;
    a[i] = low(difference);
    borrow = high(difference) != 0 ? 1 : 0;
  }
  return borrow;
}

Digit addDigit(Digit* a, const Digit* b, Digit digit, int digits) {
  Digit carry = digit;
  for (int i = 0; i < digits; ++i) {
    DoubleDigit sum = static_cast<DoubleDigit>(b[i]) + carry;
    a[i] = low(sum);
    carry = high(sum);
  }
  return carry;
}

Digit subtractDigit(Digit* a, const Digit* b, Digit digit, int digits) {
  Digit borrow = digit;
  for (int i = 0; i < digits; ++i) {
    DoubleDigit difference = static_cast<DoubleDigit>(b[i]) - borrow;
    a[i] = low(difference);
    borrow = high(difference) != 0 ? 1 : 0;
  }
  return borrow;
}

void multiply(Digit* a, const Digit* b, const Digit* c, int digits) {
  Digit product[kMaxProductDigits] = {};
  const int bDigits = digitCount(b, digits);
  const int cDigits = digitCount(c, digits);
  for (int i = 0; i < bDigits; ++i) {
    Digit carry = 0;
    for (int j = 0; j < cDigits; ++j) {
      DoubleDigit t = static_cast<DoubleDigit>(b[i]) * c[j] + product[i + j] + carry;
      product[i + j] = low(t);
      carry = high(t);
    }
    product[i + cDigits] = carry;
  }
  assign(a, product, 2 * digits);
  secureWipe(product);
}

Digit shiftLeft(Digit* a, const Digit* b, int shift, int digits) {
  if (shift == 0) {
    assign(a, b, digits);
    return 0;
  }
  Digit carry = 0;
  for (int i = 0; i < digits; ++i) {
    Digit value = b[i];
    a[i] = (value << shift) | carry;
    carry = value >> (kDigitBits - shift);
  }
  return carry;
}

Digit shiftRight(Digit* a, const Digit* b, int shift, int digits) {
  if (shift == 0) {
    assign(a, b, digits);
    return 0;
  }
  Digit carry = 0;
  for (int i = digits - 1; i >= 0; --i) {
    Digit value = b[i];
    a[i] = (value >> shift) | carry;
    carry = value << (kDigitBits - shift);
  }
  return carry >> (kDigitBits - shift);
}

// Knuth's algorithm D on a normalised divisor.
void divide(Digit* quotient, Digit* remainder, const Digit* c, int cDigits, const Digit* d,
            int dDigits) {
  const int dd = digitCount(d, dDigits);
  const int cc = digitCount(c, cDigits);
  Digit u[kMaxDividendDigits + 1] = {};
  Digit v[kMaxProductDigits] = {};
  Digit q[kMaxDividendDigits] = {};

  const int shift = std::countl_zero(d[dd - 1]);
  shiftLeft(v, d, shift, dd);
  u[cc] = shiftLeft(u, c, shift, cc);

  if (dd == 1) {
    DoubleDigit rest = u[cc];
    for (int j = cc - 1; j >= 0; --j) {
      DoubleDigit value = (rest << kDigitBits) | u[j];
      q[j] = low(value / v[0]);
      rest = value % v[0];
    }
    u[0] = low(rest);
    for (int i = 1; i <= cc; ++i) u[i] = 0;
  } else {
    const Digit top = v[dd - 1];
    const Digit next = v[dd - 2];
    for (int j = cc - dd; j >= 0; --j) {
      const DoubleDigit numerator = (static_cast<DoubleDigit>(u[j + dd]) << kDigitBits) | u[j + dd - 1];
      DoubleDigit qHat = numerator / top;
      DoubleDigit rHat = numerator % top;
      while (high(qHat) != 0 ||
             qHat * next > ((rHat << kDigitBits) | u[j + dd - 2])) {
        --qHat;
        rHat += top;
        if (high(rHat) != 0) break;
      }
      Digit borrow = subtractProduct(u + j, v, low(qHat), dd);
      Digit topDigit = u[j + dd];
      u[j + dd] = topDigit - borrow;
      if (topDigit < borrow) {
        --qHat;
        u[j + dd] += add(u + j, u + j, v, dd);
      }
      q[j] = low(qHat);
    }
  }

  if (quotient != nullptr) {
    assignZero(quotient, cDigits);
    assign(quotient, q, cc >= dd ? cc - dd + 1 : 0);
  }
  if (remainder != nullptr) {
    // Below the divisor, c shifted may have spilled into u[cc].
    assignZero(remainder, dDigits);
    shiftRight(remainder, u, shift, cc < dd ? cc + 1 : dd);
  }
  secureWipe(u);
  secureWipe(v);
  secureWipe(q);
}

Digit remainderDigit(const Digit* a, int digits, Digit divisor) {
  DoubleDigit rest = 0;
  for (int i = digits - 1; i >= 0; --i) rest = ((rest << kDigitBits) | a[i]) % divisor;
  return low(rest);
}

}  // namespace kestrin::bignum
