#include "crypto/prime_search.h"

#include "crypto/modular.h"
#include "crypto/secure_wipe.h"

namespace kestrin {

using namespace bignum;

namespace {

// Residues of the candidate modulo each small prime, stepped along with it.
struct Residues {
  std::uint16_t value[kSmallPrimeCount];

  void start(const Digit* a, int digits) {
    for (int i = 0; i < kSmallPrimeCount; ++i) {
      value[i] = static_cast<std::uint16_t>(remainderDigit(a, digits, kSmallPrimes[i]));
    }
  }

  void addTwo() {
    for (int i = 0; i < kSmallPrimeCount; ++i) {
      std::uint16_t next = static_cast<std::uint16_t>(value[i] + 2);
      value[i] = next >= kSmallPrimes[i] ? static_cast<std::uint16_t>(next - kSmallPrimes[i]) : next;
    }
  }

  // Trial division in ascending order: the first prime dividing a fails it,
  // unless a is that prime.
  bool pass(const Digit* a, int digits) const {
    for (int i = 0; i < kSmallPrimeCount; ++i) {
      if (value[i] == 0) return digitCount(a, digits) == 1 && a[0] == kSmallPrimes[i];
    }
    return true;
  }
};

}  // namespace

bool fermatTest(const Digit* a, int digits) {
  Digit two[kMaxDigits];
  Digit result[kMaxDigits];
  assignDigit(two, 2, digits);
  modExp(result, two, a, digits, a, digits);
  const bool passed = compare(result, two, digits) == 0;
  secureWipe(result);
  return passed;
}

PrimeSearch findPrime(Digit* prime, const Digit* low, const Digit* high, int digits,
                      RandomSource& random) {
  std::uint8_t bytes[kMaxBytes];
  Digit a[kMaxDigits];
  Digit range[kMaxDigits];
  Digit last[kMaxDigits];
  Residues residues;
  PrimeSearch result = PrimeSearch::kNoPrime;

  const std::size_t byteCount = static_cast<std::size_t>(digits) * kDigitBytes;
  if (!drawNonZeroBytes(random, bytes, byteCount)) {
    result = PrimeSearch::kRandomFailed;
  } else {
    // a = (random mod (high - low + 1)) + low, made odd and kept in range.
    decode(a, digits, bytes, byteCount);
    subtract(range, high, low, digits);
    addDigit(range, range, 1, digits);
    mod(a, a, digits, range, digits);
    add(a, a, low, digits);
    a[0] |= 1;
    if (compare(a, low, digits) < 0) addDigit(a, a, 2, digits);
    if (compare(a, high, digits) > 0) subtractDigit(a, a, 2, digits);

    subtractDigit(last, high, 2, digits);
    residues.start(a, digits);
    for (;;) {
      if (residues.pass(a, digits) && fermatTest(a, digits)) {
        assign(prime, a, digits);
        result = PrimeSearch::kFound;
        break;
      }
      if (compare(a, last, digits) > 0) break;
      addDigit(a, a, 2, digits);
      residues.addTwo();
    }
  }
  secureWipe(bytes);
  secureWipe(a);
  secureWipe(range);
  secureWipe(residues);
  return result;
}

}  // namespace kestrin
