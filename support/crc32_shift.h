// Carrying a CRC-32 register over runs of zeros without reading them:
// multiplication by powers of x modulo P = x^32 + Crc32::kPolynomial.
//
// A register R carried over k zero bits becomes R * x^k mod P. The powers are
// kept as "shifted powers" S(k) = x^(k - 32) mod P, and the product used is
// a * b * x^32 mod P, so that the product of R and S(k) is R * x^k mod P and
// the product of S(i) and S(j) is S(i + j): one multiplication and one
// reduction either way. x^(2^32 - 1) = 1 mod P (x has that order, P being
// primitive), so every power is S(k mod (2^32 - 1)).
#ifndef DTK_SUPPORT_CRC32_SHIFT_H_
#define DTK_SUPPORT_CRC32_SHIFT_H_

#include <cstdint>

namespace dtk {
namespace crc32_shift {

// a * b * x^32 mod P.
using ProductFunction = uint32_t (*)(uint32_t a, uint32_t b);

// On every machine: shifts and table lookups.
uint32_t ProductPortable(uint32_t a, uint32_t b);
// By PCLMULQDQ; call it only where Crc32::FoldingAvailable() is true.
uint32_t ProductCarryless(uint32_t a, uint32_t b);
// The faster of the two on this processor, chosen once.
ProductFunction FastestProduct();

// S(8 * count) = x^(8 * count - 32) mod P, for any count: three table
// lookups and two products.
uint32_t ShiftedBytePower(uint64_t count, ProductFunction product);

// a * b mod P and, for a nonzero, a^-1 mod P (P is irreducible), a bit at a
// time: for setting up, not for every call.
uint32_t MultiplyModP(uint32_t a, uint32_t b);
uint32_t InverseModP(uint32_t a);

}  // namespace crc32_shift
}  // namespace dtk

#endif  // DTK_SUPPORT_CRC32_SHIFT_H_
