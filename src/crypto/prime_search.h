// The probable-prime search of RSA key generation.
#pragma once

#include <array>
#include <cstdint>

#include "crypto/bignum.h"
#include "crypto/random_source.h"

namespace kestrin {

inline constexpr int kSmallPrimeCount = 1027;
inline constexpr std::uint16_t kLargestSmallPrime = 8191;

// The odd primes from 3 to 8191, ascending: the trial divisors.
inline constexpr std::array<std::uint16_t, kSmallPrimeCount> kSmallPrimes = [] {
  std::array<std::uint16_t, kSmallPrimeCount> primes{};
  std::array<bool, kLargestSmallPrime + 1> composite{};
  int count = 0;
  for (int i = 3; i <= kLargestSmallPrime; i += 2) {
    if (composite[i]) continue;
    primes[count++] = static_cast<std::uint16_t>(i);
    for (int j = i * i; j <= kLargestSmallPrime; j += 2 * i) composite[j] = true;
  }
  return primes;
}();
// A sieve that found fewer primes would leave the last entry zero; one that
// found more would not compile.
static_assert(kSmallPrimes[kSmallPrimeCount - 1] == kLargestSmallPrime);

enum class PrimeSearch { kFound, kNoPrime, kRandomFailed };

// Searches the `digits`-digit numbers from low to high (low above 0) in
// steps of 2 for a probable prime.  The start is drawn as 4 x digits
// non-zero random bytes read big-endian, reduced into the range and made odd.
// A candidate passes trial division by kSmallPrimes (a candidate equal to
// one of them passes) and then the Fermat test to base 2.  The search runs
// upwards only and stops at high.
PrimeSearch findPrime(bignum::Digit* prime, const bignum::Digit* low, const bignum::Digit* high,
                      int digits, RandomSource& random);

// True when 2^a mod a = 2.
bool fermatTest(const bignum::Digit* a, int digits);

}  // namespace kestrin
