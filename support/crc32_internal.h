// What the CRC-32 sources in support/ share and nothing else includes: the
// slicing tables, and whether carry-less multiplication is compiled in.
//
// The CRC is taken most significant bit first: bit i of an integer is the
// coefficient of x^i, and P = x^32 + Crc32::kPolynomial.
#ifndef DTK_SUPPORT_CRC32_INTERNAL_H_
#define DTK_SUPPORT_CRC32_INTERNAL_H_

#include <cstdint>

#include "support/crc32.h"

// Carry-less multiplication on x86-64 (Linux and Windows alike) with GCC or
// Clang, each function compiled for the instructions it uses and called only
// where the processor has them.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define DTK_CRC_FOLDING 1
#include <cpuid.h>
// GCC 12 warns that the AVX-512 intrinsics' own undefined source register
// may be used uninitialized (in its headers, where nothing here can help it).
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#define DTK_FOLDING_TARGET __attribute__((target("pclmul,ssse3")))
#endif

namespace dtk {
namespace crc32_internal {

constexpr uint64_t kFullPolynomial = (1ull << 32) | Crc32::kPolynomial;

// The low 64 bits of floor(x^degree / P), the constant of Barrett's
// reduction (degree 64 to 96; for 96 the quotient's top bit, x^64, is
// shifted out).
constexpr uint64_t BarrettQuotient(int degree) {
  uint64_t quotient = 0;
  uint64_t rem = 0;
  for (int i = degree; i >= 0; --i) {  // the dividend: a one, then zeros
    rem = (rem << 1) | (i == degree ? 1 : 0);
    quotient <<= 1;
    if (rem & (1ull << 32)) {
      quotient |= 1;
      rem ^= kFullPolynomial;
    }
  }
  return quotient;
}

// Slicing tables: table[k][i] = i * x^(32 + 8k) mod P, the register that
// byte value i leaves when k more bytes follow it (table[0] is the table of
// the reference form).
struct SliceTables {
  uint32_t table[16][256];
};

constexpr SliceTables BuildSliceTables() {
  SliceTables t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t reg = i << 24;
    for (int bit = 0; bit < 8; ++bit) {
      reg = (reg & 0x80000000u) ? (reg << 1) ^ Crc32::kPolynomial : reg << 1;
    }
    t.table[0][i] = reg;
  }
  for (int k = 1; k < 16; ++k) {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t prev = t.table[k - 1][i];
      t.table[k][i] = (prev << 8) ^ t.table[0][prev >> 24];
    }
  }
  return t;
}

// Built at compile time, one copy for the whole program.
inline constexpr SliceTables kSlices = BuildSliceTables();

}  // namespace crc32_internal
}  // namespace dtk

#endif  // DTK_SUPPORT_CRC32_INTERNAL_H_
