#include "support/crc32_shift.h"

#include "support/crc32.h"
#include "support/crc32_internal.h"

namespace dtk {
namespace crc32_shift {
namespace {

using crc32_internal::kFullPolynomial;
using crc32_internal::kSlices;

// The order of x modulo P: x^kOrder = 1 mod P.
constexpr uint64_t kOrder = 0xFFFFFFFFu;

// a * b mod P, a bit at a time (for the tables, at compile time).
constexpr uint32_t SlowMultiplyModP(uint32_t a, uint32_t b) {
  uint32_t product = 0;
  for (int bit = 31; bit >= 0; --bit) {
    product = (product & 0x80000000u) ? (product << 1) ^ Crc32::kPolynomial : product << 1;
    if ((b >> bit) & 1) product ^= a;
  }
  return product;
}

// x^-32 mod P. P's constant term is 1, so x^-1 = (P - 1) / x, and dividing
// by x is a shift right, after adding P to an odd value.
constexpr uint32_t XToTheMinus32() {
  uint32_t power = 1;
  for (int i = 0; i < 32; ++i) {
    power = (power & 1) ? ((power ^ Crc32::kPolynomial) >> 1) | 0x80000000u : power >> 1;
  }
  return power;
}

// kPowers[i][j] = S(j * 2^(11 i)) = x^(j * 2^(11 i) - 32) mod P: any
// exponent below 2^33 is the sum of three such, one from each table.
constexpr int kPieceBits = 11;
struct PowerTables {
  uint32_t table[3][1 << kPieceBits];
};

constexpr PowerTables BuildPowerTables() {
  PowerTables t{};
  uint32_t step = 2;  // x^(2^(11 i)) mod P
  for (int i = 0; i < 3; ++i) {
    t.table[i][0] = XToTheMinus32();
    for (int j = 1; j < (1 << kPieceBits); ++j) {
      t.table[i][j] = SlowMultiplyModP(t.table[i][j - 1], step);
    }
    for (int squaring = 0; squaring < kPieceBits; ++squaring) step = SlowMultiplyModP(step, step);
  }
  return t;
}

constexpr PowerTables kPowers = BuildPowerTables();

// a * b, carry-less, a bit at a time: under 63 bits.
inline uint64_t CarrylessProduct(uint32_t a, uint32_t b) {
  uint64_t product = 0;
  for (int bit = 0; bit < 32; ++bit) {
    product ^= (static_cast<uint64_t>(a) << bit) & (0 - static_cast<uint64_t>((b >> bit) & 1));
  }
  return product;
}

#ifdef DTK_CRC_FOLDING

// The low 64 bits of floor(x^96 / P), whose degree is 64: Barrett's
// constant for reducing v * x^32 with v under 64 bits.
constexpr uint64_t kBarrett96 = crc32_internal::BarrettQuotient(96);

// v = a b, under 63 bits. With mu = floor(x^96 / P) = x^64 + m, the
// quotient of v x^32 by P is q = floor(v mu / x^64) = v + floor(v m / x^64)
// exactly (v under 64 bits), and the remainder is v x^32 + q P, whose low 32
// bits are those of q * kPolynomial (q x^32 has none): only q's low 32 bits
// count.
DTK_FOLDING_TARGET uint32_t ProductClmul(uint32_t a, uint32_t b) {
  const __m128i v = _mm_clmulepi64_si128(_mm_cvtsi32_si128(static_cast<int>(a)),
                                         _mm_cvtsi32_si128(static_cast<int>(b)), 0x00);
  const __m128i constants =
      _mm_set_epi64x(static_cast<int64_t>(Crc32::kPolynomial), static_cast<int64_t>(kBarrett96));
  const __m128i q = _mm_xor_si128(v, _mm_srli_si128(_mm_clmulepi64_si128(v, constants, 0x00), 8));
  return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_clmulepi64_si128(q, constants, 0x10)));
}

#endif  // DTK_CRC_FOLDING

}  // namespace

// v * x^32 mod P is the register that the eight bytes of v leave, from 0:
// the sum of kSlices[k] of its byte k (the lowest byte is k = 0).
uint32_t ProductPortable(uint32_t a, uint32_t b) {
  const uint64_t v = CarrylessProduct(a, b);
  const auto& t = kSlices.table;
  return t[7][v >> 56] ^ t[6][(v >> 48) & 0xFF] ^ t[5][(v >> 40) & 0xFF] ^ t[4][(v >> 32) & 0xFF] ^
         t[3][(v >> 24) & 0xFF] ^ t[2][(v >> 16) & 0xFF] ^ t[1][(v >> 8) & 0xFF] ^ t[0][v & 0xFF];
}

uint32_t ProductCarryless(uint32_t a, uint32_t b) {
#ifdef DTK_CRC_FOLDING
  return ProductClmul(a, b);
#else
  return ProductPortable(a, b);
#endif
}

ProductFunction FastestProduct() {
  static const ProductFunction fastest =
      Crc32::FoldingAvailable() ? &ProductCarryless : &ProductPortable;
  return fastest;
}

uint32_t ShiftedBytePower(uint64_t count, ProductFunction product) {
  const uint64_t exponent = 8 * (count % kOrder) % kOrder;  // under 2^32
  constexpr uint64_t mask = (1u << kPieceBits) - 1;
  const auto& t = kPowers.table;
  uint32_t low = product(t[0][exponent & mask], t[1][(exponent >> kPieceBits) & mask]);
  return product(low, t[2][exponent >> (2 * kPieceBits)]);
}

uint32_t MultiplyModP(uint32_t a, uint32_t b) { return SlowMultiplyModP(a, b); }

// a^(2^32 - 2) = a^-1, the nonzero residues being the 2^32 - 1 powers of x.
uint32_t InverseModP(uint32_t a) {
  uint32_t result = 1;
  for (uint64_t exponent = kOrder - 1; exponent != 0; exponent >>= 1) {
    if (exponent & 1) result = SlowMultiplyModP(result, a);
    a = SlowMultiplyModP(a, a);
  }
  return result;
}

}  // namespace crc32_shift

uint32_t Crc32::UpdateZeros(uint32_t reg, uint64_t count) {
  const crc32_shift::ProductFunction product = crc32_shift::FastestProduct();
  return product(reg, crc32_shift::ShiftedBytePower(count, product));
}

}  // namespace dtk
