#include "crypto/modular.h"

#include <bit>

#include "crypto/secure_wipe.h"

namespace kestrin::bignum {
namespace {

// Montgomery arithmetic works on limbs as wide as the compiler can multiply
// at full width; the digit arrays map onto them directly.
#if defined(__SIZEOF_INT128__)
using Limb = std::uint64_t;
using WideLimb = unsigned __int128;
#else
using Limb = std::uint32_t;
using WideLimb = std::uint64_t;
#endif
constexpr int kLimbBits = 8 * sizeof(Limb);
constexpr int kLimbDigits = kLimbBits / kDigitBits;
constexpr int kMaxLimbs = (kMaxDigits + kLimbDigits - 1) / kLimbDigits;

void toLimbs(Limb* out, int limbs, const Digit* in, int digits) {
  for (int i = 0; i < limbs; ++i) {
    Limb limb = 0;
    for (int k = kLimbDigits - 1; k >= 0; --k) {
      const int index = i * kLimbDigits + k;
      limb = (limb << (kDigitBits - 1) << 1) | (index < digits ? in[index] : 0);
    }
    out[i] = limb;
  }
}

void toDigits(Digit* out, int digits, const Limb* in, int limbs) {
  for (int i = 0; i < digits; ++i) {
    const int limb = i / kLimbDigits;
    out[i] = limb < limbs ? static_cast<Digit>(in[limb] >> (kDigitBits * (i % kLimbDigits))) : 0;
  }
}

// The Montgomery form modulo an odd n, with R = 2^(kLimbBits x limbs): the
// modulus, -n^-1 mod 2^kLimbBits and R^2 mod n.
class Montgomery {
 public:
  // n: `digits` digits, odd.
  Montgomery(const Digit* n, int digits) {
    const int nDigits = digitCount(n, digits);
    limbs = (nDigits + kLimbDigits - 1) / kLimbDigits;
    toLimbs(modulus, limbs, n, nDigits);

    // -n^-1 mod 2^kLimbBits by Newton's iteration; n x n = 1 mod 8 for odd n
    // gives three correct bits to start from, each step doubles them.
    Limb inverse = modulus[0];
    for (int bits = 3; bits < kLimbBits; bits *= 2) inverse *= 2 - modulus[0] * inverse;
    negInverse = 0 - inverse;

    powerOfTwoRemainder(rSquared, 2 * limbs);
  }
  Montgomery(const Montgomery&) = delete;
  Montgomery& operator=(const Montgomery&) = delete;
  ~Montgomery() {
    secureWipe(modulus);
    secureWipe(negInverse);
    secureWipe(rSquared);
  }

  int limbs = 0;
  Limb modulus[kMaxLimbs] = {};
  Limb negInverse = 0;
  Limb rSquared[kMaxLimbs] = {};

 private:
  // out = 2^(kLimbBits x count) mod n by long division one limb at a time
  // (Knuth's algorithm D with the divisor normalised to its top bit).
  void powerOfTwoRemainder(Limb* out, int count) const {
    const int n = limbs;
    const int shift = std::countl_zero(modulus[n - 1]);
    Limb divisor[kMaxLimbs] = {};
    Limb rest[kMaxLimbs + 1] = {};
    Limb carried = 0;
    for (int i = 0; i < n; ++i) {
      divisor[i] = shift == 0 ? modulus[i] : (modulus[i] << shift) | carried;
      carried = shift == 0 ? 0 : modulus[i] >> (kLimbBits - shift);
    }
    // The dividend is 2^(kLimbBits x count + shift).  Its top n limbs,
    // 2^shift at limb n - 1, are below a divisor of more than one limb (odd
    // n sets a bit below); each further limb, all zero, is brought down in
    // turn.
    rest[n - 1] = Limb{1} << shift;
    if (n == 1) rest[0] = static_cast<Limb>(rest[0] % divisor[0]);
    for (int k = count - n; k >= 0; --k) {
      for (int i = n; i > 0; --i) rest[i] = rest[i - 1];
      rest[0] = 0;
      if (n == 1) {
        const WideLimb value = static_cast<WideLimb>(rest[1]) << kLimbBits;
        rest[0] = static_cast<Limb>(value % divisor[0]);
        rest[1] = 0;
        continue;
      }
      const WideLimb top = (static_cast<WideLimb>(rest[n]) << kLimbBits) | rest[n - 1];
      WideLimb qHat = top / divisor[n - 1];
      WideLimb rHat = top % divisor[n - 1];
      while ((qHat >> kLimbBits) != 0 ||
             qHat * divisor[n - 2] > ((rHat << kLimbBits) | rest[n - 2])) {
        --qHat;
        rHat += divisor[n - 1];
        if ((rHat >> kLimbBits) != 0) break;
      }
      Limb productCarry = 0;
      Limb borrow = 0;
      for (int i = 0; i < n; ++i) {
        const WideLimb product = qHat * divisor[i] + productCarry;
        productCarry = static_cast<Limb>(product >> kLimbBits);
        const Limb x = rest[i];
        const Limb y = static_cast<Limb>(product);
        rest[i] = x - y - borrow;
        borrow = (x < y || x - y < borrow) ? 1 : 0;
      }
      const bool negative = static_cast<WideLimb>(rest[n]) < static_cast<WideLimb>(productCarry) + borrow;
      rest[n] -= productCarry + borrow;
      if (negative) {
        Limb carry = 0;
        for (int i = 0; i < n; ++i) {
          const WideLimb sum = static_cast<WideLimb>(rest[i]) + divisor[i] + carry;
          rest[i] = static_cast<Limb>(sum);
          carry = static_cast<Limb>(sum >> kLimbBits);
        }
        rest[n] += carry;
      }
    }
    // Undo the normalisation.
    for (int i = 0; i < n; ++i) {
      out[i] = shift == 0 ? rest[i] : (rest[i] >> shift) | (rest[i + 1] << (kLimbBits - shift));
    }
    secureWipe(divisor);
    secureWipe(rest);
  }
};

// A column sum of limb products: three limbs, the lowest first.
struct Column {
  WideLimb low = 0;
  Limb high = 0;

  void add(Limb x, Limb y) { addWide(static_cast<WideLimb>(x) * y); }
  void addWide(WideLimb value) {
    low += value;
    high += low < value ? 1 : 0;
  }
  void addColumn(const Column& other) {
    addWide(other.low);
    high += other.high;
  }
  void doubleIt() {
    high = (high << 1) | static_cast<Limb>(low >> (2 * kLimbBits - 1));
    low <<= 1;
  }
  // Takes out the lowest limb.
  Limb shift() {
    const Limb out = static_cast<Limb>(low);
    low = (low >> kLimbBits) | (static_cast<WideLimb>(high) << kLimbBits);
    high = 0;
    return out;
  }
};

// Arithmetic in Montgomery form.  Products are formed column by column with
// the multiples of n that clear the low limbs interleaved (product
// scanning), so the running sum stays in registers.  The kernels stay out
// of line: inlined into the exponentiation loop they compile to slower code.
class MontgomeryArithmetic {
 public:
  explicit MontgomeryArithmetic(const Montgomery& context) : c_(context), n_(context.limbs) {}

  // out = a x b x R^-1 mod n for a, b below n; out may be a or b.
  [[gnu::noinline]] void multiply(Limb* out, const Limb* a, const Limb* b) const {
    const int n = n_;
    const Limb* modulus = c_.modulus;
    Limb m[kMaxLimbs];
    Limb t[kMaxLimbs];
    Column sum;
    for (int i = 0; i < n; ++i) {
      for (int j = 0; j < i; ++j) {
        sum.add(a[j], b[i - j]);
        sum.add(m[j], modulus[i - j]);
      }
      sum.add(a[i], b[0]);
      m[i] = static_cast<Limb>(sum.low) * c_.negInverse;
      sum.add(m[i], modulus[0]);
      sum.shift();
    }
    for (int i = n; i < 2 * n; ++i) {
      for (int j = i - n + 1; j < n; ++j) {
        sum.add(a[j], b[i - j]);
        sum.add(m[j], modulus[i - j]);
      }
      t[i - n] = sum.shift();
    }
    finish(out, t, sum.shift());
    secureWipe(m, sizeof(Limb) * static_cast<std::size_t>(n));
  }

  // out = a x a x R^-1 mod n for a below n; out may be a.  Each cross
  // product is formed once and doubled.
  [[gnu::noinline]] void square(Limb* out, const Limb* a) const {
    const int n = n_;
    const Limb* modulus = c_.modulus;
    Limb m[kMaxLimbs];
    Limb t[kMaxLimbs];
    Column sum;
    for (int i = 0; i < 2 * n; ++i) {
      const int first = i < n ? 0 : i - n + 1;
      Column cross;
      for (int j = first; j < i - j; ++j) cross.add(a[j], a[i - j]);
      cross.doubleIt();
      sum.addColumn(cross);
      if (i % 2 == 0) sum.add(a[i / 2], a[i / 2]);
      const int last = i < n ? i : n;
      for (int j = first; j < last; ++j) sum.add(m[j], modulus[i - j]);
      if (i < n) {
        m[i] = static_cast<Limb>(sum.low) * c_.negInverse;
        sum.add(m[i], modulus[0]);
        sum.shift();
      } else {
        t[i - n] = sum.shift();
      }
    }
    finish(out, t, sum.shift());
    secureWipe(m, sizeof(Limb) * static_cast<std::size_t>(n));
  }

  // Into Montgomery form: out = a R mod n, for a below n.
  void enter(Limb* out, const Digit* a, int digits) const {
    Limb x[kMaxLimbs] = {};
    toLimbs(x, n_, a, digits);
    multiply(out, x, c_.rSquared);
    secureWipe(x);
  }

  // Out of Montgomery form: out = a R^-1 mod n.
  void leave(Digit* out, int digits, const Limb* a) const {
    Limb unit[kMaxLimbs] = {1};
    Limb x[kMaxLimbs];
    multiply(x, a, unit);
    toDigits(out, digits, x, n_);
    secureWipe(x);
  }

 private:
  // out = t + extra x R reduced below n: t + extra R is below 2n, so n is
  // subtracted at most once.  Wipes t.
  void finish(Limb* out, Limb* t, Limb extra) const {
    const int n = n_;
    const Limb* modulus = c_.modulus;
    bool subtract = extra != 0;
    if (!subtract) {
      subtract = true;
      for (int j = n - 1; j >= 0; --j) {
        if (t[j] != modulus[j]) {
          subtract = t[j] > modulus[j];
          break;
        }
      }
    }
    Limb borrow = 0;
    for (int j = 0; j < n; ++j) {
      const Limb x = t[j];
      const Limb y = subtract ? modulus[j] : 0;
      out[j] = x - y - borrow;
      borrow = (x < y || (x == y && borrow != 0)) ? 1 : 0;
    }
    secureWipe(t, sizeof(Limb) * static_cast<std::size_t>(n));
  }

  const Montgomery& c_;
  const int n_;
};

// acc = b^exponent over the window of two bits.  powers[1] holds b in the
// representation that `multiply` and `square` work in; b^2 and b^3 are put
// into powers[2] and powers[3] when the exponent first needs them.  The
// exponent's top digit (eDigits - 1) must be non-zero.
template <typename Element, int Size, typename Multiply, typename Square>
void exponentiate(Element (&acc)[Size], Element (&powers)[4][Size], int elements,
                  const Digit* exponent, int eDigits, Multiply multiply, Square square) {
  Digit computed = 1;
  const auto power = [&](Digit index) -> const Element* {
    if (index >= 2 && computed < 2) {
      square(powers[2], powers[1]);
      computed = 2;
    }
    if (index == 3 && computed < 3) {
      multiply(powers[3], powers[2], powers[1]);
      computed = 3;
    }
    return powers[index];
  };
  bool started = false;
  for (int i = eDigits - 1; i >= 0; --i) {
    Digit word = exponent[i];
    int pairs = kDigitBits / 2;
    if (i == eDigits - 1) {
      while ((word >> (kDigitBits - 2)) == 0) {
        word <<= 2;
        --pairs;
      }
    }
    for (; pairs > 0; --pairs, word <<= 2) {
      const Digit index = word >> (kDigitBits - 2);
      if (started) {
        square(acc, acc);
        square(acc, acc);
        if (index != 0) multiply(acc, acc, power(index));
      } else if (index != 0) {
        const Element* first = power(index);
        for (int k = 0; k < elements; ++k) acc[k] = first[k];
        started = true;
      }
    }
  }
}

void modExpMontgomery(Digit* a, const Digit* base, const Digit* c, int eDigits, const Digit* d,
                      int dDigits) {
  const Montgomery context(d, dDigits);
  const MontgomeryArithmetic arithmetic(context);
  Limb powers[4][kMaxLimbs] = {};
  Limb acc[kMaxLimbs] = {};
  arithmetic.enter(powers[1], base, dDigits);
  exponentiate(
      acc, powers, context.limbs, c, eDigits,
      [&arithmetic](Limb* out, const Limb* x, const Limb* y) { arithmetic.multiply(out, x, y); },
      [&arithmetic](Limb* out, const Limb* x) { arithmetic.square(out, x); });
  arithmetic.leave(a, dDigits, acc);
  secureWipe(powers);
  secureWipe(acc);
}

void modExpClassic(Digit* a, const Digit* base, const Digit* c, int eDigits, const Digit* d,
                   int dDigits) {
  Digit powers[4][kMaxDigits] = {};
  Digit acc[kMaxDigits] = {};
  const auto multiply = [d, dDigits](Digit* out, const Digit* x, const Digit* y) {
    modMultiply(out, x, y, d, dDigits);
  };
  const auto square = [d, dDigits](Digit* out, const Digit* x) { modMultiply(out, x, x, d, dDigits); };
  assign(powers[1], base, dDigits);
  exponentiate(acc, powers, dDigits, c, eDigits, multiply, square);
  assign(a, acc, dDigits);
  secureWipe(powers);
  secureWipe(acc);
}

}  // namespace

void mod(Digit* a, const Digit* b, int bDigits, const Digit* c, int cDigits) {
  divide(nullptr, a, b, bDigits, c, cDigits);
}

void modMultiply(Digit* a, const Digit* b, const Digit* c, const Digit* d, int digits) {
  Digit product[kMaxProductDigits];
  multiply(product, b, c, digits);
  divide(nullptr, a, product, 2 * digits, d, digits);
  secureWipe(product);
}

void modExp(Digit* a, const Digit* b, const Digit* c, int cDigits, const Digit* d, int dDigits) {
  const int eDigits = digitCount(c, cDigits);
  if (eDigits == 0) {
    // b^0 = 1, which is 0 modulo 1.
    assignDigit(a, digitCount(d, dDigits) == 1 && d[0] == 1 ? 0 : 1, dDigits);
    return;
  }
  Digit base[kMaxDigits];
  mod(base, b, dDigits, d, dDigits);
  if ((d[0] & 1) != 0) {
    modExpMontgomery(a, base, c, eDigits, d, dDigits);
  } else {
    modExpClassic(a, base, c, eDigits, d, dDigits);
  }
  secureWipe(base);
}

void gcd(Digit* a, const Digit* b, const Digit* c, int digits) {
  Digit x[kMaxDigits];
  Digit y[kMaxDigits];
  Digit rest[kMaxDigits];
  assign(x, b, digits);
  assign(y, c, digits);
  while (!isZero(y, digits)) {
    mod(rest, x, digits, y, digits);
    assign(x, y, digits);
    assign(y, rest, digits);
  }
  assign(a, x, digits);
  secureWipe(x);
  secureWipe(y);
  secureWipe(rest);
}

// The extended Euclidean algorithm with unsigned numbers: u1 x b = +-u3
// (mod c) with the sign alternating on every step.
bool modInverse(Digit* a, const Digit* b, const Digit* c, int digits) {
  Digit u1[kMaxDigits], v1[kMaxDigits], u3[kMaxDigits], v3[kMaxDigits];
  Digit q[kMaxDigits], t1[kMaxDigits], t3[kMaxDigits], w[kMaxProductDigits];
  assignDigit(u1, 1, digits);
  assignZero(v1, digits);
  assign(u3, b, digits);
  assign(v3, c, digits);
  bool negative = false;
  while (!isZero(v3, digits)) {
    divide(q, t3, u3, digits, v3, digits);
    multiply(w, q, v1, digits);
    add(t1, u1, w, digits);
    assign(u1, v1, digits);
    assign(v1, t1, digits);
    assign(u3, v3, digits);
    assign(v3, t3, digits);
    negative = !negative;
  }
  const bool invertible = digitCount(u3, digits) == 1 && u3[0] == 1;
  if (!invertible) {
    assignZero(a, digits);
  } else if (negative) {
    subtract(a, c, u1, digits);
  } else {
    assign(a, u1, digits);
  }
  secureWipe(u1);
  secureWipe(v1);
  secureWipe(u3);
  secureWipe(v3);
  secureWipe(q);
  secureWipe(t1);
  secureWipe(t3);
  secureWipe(w);
  return invertible;
}

}  // namespace kestrin::bignum
