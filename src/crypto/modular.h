// Modular arithmetic over the digit layer of bignum.h: reduction, modular
// multiplication and exponentiation, greatest common divisor and inverse.
// Operands follow the digit-layer conventions (least significant digit
// first, explicit digit counts of at most kMaxDigits); temporaries that may
// hold key material are wiped before returning.  Stateless, any thread.
#pragma once

#include "crypto/bignum.h"

namespace kestrin::bignum {

// a (cDigits) = b (bDigits) mod c.  c must not be zero.
void mod(Digit* a, const Digit* b, int bDigits, const Digit* c, int cDigits);

// a = b x c mod d, all of `digits` digits.  d must not be zero.
void modMultiply(Digit* a, const Digit* b, const Digit* c, const Digit* d, int digits);

// a = b^c mod d.  a and b have dDigits digits, c has cDigits; d must not be
// zero.  Left to right over the exponent, two bits at a time, with b, b^2
// and b^3 precomputed; an odd modulus is worked in Montgomery form.
void modExp(Digit* a, const Digit* b, const Digit* c, int cDigits, const Digit* d, int dDigits);

// a = gcd(b, c), all of `digits` digits.
void gcd(Digit* a, const Digit* b, const Digit* c, int digits);

// a = b^-1 mod c for c above 1, all of `digits` digits.  False (and a zero)
// when b and c have a common factor.
bool modInverse(Digit* a, const Digit* b, const Digit* c, int digits);

}  // namespace kestrin::bignum
