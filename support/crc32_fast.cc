// The fast forms of the CRC-32 register update: slicing-by-16 everywhere,
// and folding by carry-less multiplication, on 128-bit or 256-bit registers,
// on x86-64 processors that have it. All give exactly the register of the
// byte-at-a-time table form; the fastest one is chosen once, at run time.
//
// The CRC is taken most significant bit first, so a byte run is the
// polynomial whose highest coefficient is the top bit of the first byte, and
// bit i of an integer is the coefficient of x^i: no bit reflection anywhere.
// With P = x^32 + 0x04C11DB7 and the register R before a run M of n bytes,
// the register after it is (R * x^(8n) + M * x^32) mod P; R may be XORed into
// the first four bytes of M instead, which is how every form takes it in.
#include "support/crc32.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define DTK_CRC_FOLDING 1
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace dtk {
namespace {

constexpr uint64_t kFullPolynomial = (1ull << 32) | Crc32::kPolynomial;

// x^n mod P.
constexpr uint32_t XPowerModP(unsigned n) {
  uint32_t reg = 1;
  for (unsigned i = 0; i < n; ++i) {
    reg = (reg & 0x80000000u) ? (reg << 1) ^ Crc32::kPolynomial : reg << 1;
  }
  return reg;
}

// Slicing tables: kSlices[k][i] = i * x^(32 + 8k) mod P, the register that
// byte value i leaves when k more bytes follow it (kSlices[0] is the table
// of the reference form).
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

constexpr SliceTables kSlices = BuildSliceTables();

inline uint32_t LoadBigEndian32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

uint32_t Slicing16(uint32_t reg, const uint8_t* data, uint64_t count) {
  const auto& t = kSlices.table;
  while (count >= 16) {
    uint32_t a = LoadBigEndian32(data) ^ reg;
    uint32_t b = LoadBigEndian32(data + 4);
    uint32_t c = LoadBigEndian32(data + 8);
    uint32_t d = LoadBigEndian32(data + 12);
    reg = t[15][a >> 24] ^ t[14][(a >> 16) & 0xFF] ^ t[13][(a >> 8) & 0xFF] ^ t[12][a & 0xFF] ^
          t[11][b >> 24] ^ t[10][(b >> 16) & 0xFF] ^ t[9][(b >> 8) & 0xFF] ^ t[8][b & 0xFF] ^
          t[7][c >> 24] ^ t[6][(c >> 16) & 0xFF] ^ t[5][(c >> 8) & 0xFF] ^ t[4][c & 0xFF] ^
          t[3][d >> 24] ^ t[2][(d >> 16) & 0xFF] ^ t[1][(d >> 8) & 0xFF] ^ t[0][d & 0xFF];
    data += 16;
    count -= 16;
  }
  while (count > 0) {
    reg = t[0][(reg >> 24) ^ *data++] ^ (reg << 8);
    --count;
  }
  return reg;
}

#ifdef DTK_CRC_FOLDING

// floor(x^64 / P), for Barrett's reduction of a 64-bit remainder.
constexpr uint64_t BarrettQuotient() {
  uint64_t quotient = 0;
  uint64_t rem = 0;
  for (int i = 64; i >= 0; --i) {  // dividend x^64: a one, then 64 zeros
    rem = (rem << 1) | (i == 64 ? 1 : 0);
    quotient <<= 1;
    if (rem & (1ull << 32)) {
      quotient |= 1;
      rem ^= kFullPolynomial;
    }
  }
  return quotient;
}

// A 128-bit block A standing d bits before a block B is worth
// A * x^d = Ahi * x^(d+64) + Alo * x^d, congruent mod P to
// Ahi * (x^(d+64) mod P) + Alo * (x^d mod P), at most 95 bits: that is XORed
// into B. Each pair is (x^(d+64) mod P, x^d mod P).
constexpr uint64_t kFold2048High = XPowerModP(2048 + 64);
constexpr uint64_t kFold2048Low = XPowerModP(2048);
constexpr uint64_t kFold1024High = XPowerModP(1024 + 64);
constexpr uint64_t kFold1024Low = XPowerModP(1024);
constexpr uint64_t kFold128High = XPowerModP(128 + 64);
constexpr uint64_t kFold128Low = XPowerModP(128);
constexpr uint64_t kX96 = XPowerModP(96);
constexpr uint64_t kX64 = XPowerModP(64);
constexpr uint64_t kBarrett = BarrettQuotient();

#define DTK_FOLDING_TARGET __attribute__((target("pclmul,ssse3")))

DTK_FOLDING_TARGET inline __m128i Fold(__m128i block, __m128i constants) {
  return _mm_xor_si128(_mm_clmulepi64_si128(block, constants, 0x11),
                       _mm_clmulepi64_si128(block, constants, 0x00));
}

// Sixteen bytes as one 128-bit polynomial, the first byte highest.
DTK_FOLDING_TARGET inline __m128i LoadBlock(const uint8_t* p, __m128i byteSwap) {
  return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), byteSwap);
}

// Folds the eight blocks of a 128-byte group into one and continues with
// whole 16-byte blocks; returns the register after them, with `data` and
// `count` advanced past them.
DTK_FOLDING_TARGET uint32_t FinishFolding(__m128i x0, __m128i x1, __m128i x2, __m128i x3,
                                          __m128i x4, __m128i x5, __m128i x6, __m128i x7,
                                          const uint8_t*& data, uint64_t& count) {
  const __m128i byteSwap = _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
  const __m128i fold128 = _mm_set_epi64x(kFold128High, kFold128Low);
  __m128i r = _mm_xor_si128(Fold(x0, fold128), x1);
  r = _mm_xor_si128(Fold(r, fold128), x2);
  r = _mm_xor_si128(Fold(r, fold128), x3);
  r = _mm_xor_si128(Fold(r, fold128), x4);
  r = _mm_xor_si128(Fold(r, fold128), x5);
  r = _mm_xor_si128(Fold(r, fold128), x6);
  r = _mm_xor_si128(Fold(r, fold128), x7);
  while (count >= 16) {
    r = _mm_xor_si128(Fold(r, fold128), LoadBlock(data, byteSwap));
    data += 16;
    count -= 16;
  }

  // The register is r * x^32 mod P. With r = H * x^64 + L:
  // r * x^32 = H * x^96 + L * x^32, congruent to V = H * (x^96 mod P) + L * x^32,
  // under 96 bits. With V = Vh * x^64 + Vl (Vh 32 bits): W = Vh * (x^64 mod P) + Vl,
  // under 64 bits. W mod P by Barrett: q = floor(floor(W / x^32) * mu / x^32),
  // remainder = low 32 bits of W + q * P.
  const __m128i reduce = _mm_set_epi64x(kX64, kX96);
  __m128i v = _mm_xor_si128(_mm_clmulepi64_si128(r, reduce, 0x01), _mm_slli_si128(r, 4));
  v = _mm_and_si128(v, _mm_set_epi32(0, -1, -1, -1));
  uint64_t vl = static_cast<uint64_t>(_mm_cvtsi128_si64(v));
  __m128i vh = _mm_srli_si128(v, 8);
  uint64_t w =
      static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_clmulepi64_si128(vh, reduce, 0x10))) ^ vl;
  const __m128i barrett =
      _mm_set_epi64x(static_cast<int64_t>(kFullPolynomial), static_cast<int64_t>(kBarrett));
  __m128i q = _mm_clmulepi64_si128(_mm_cvtsi64_si128(static_cast<int64_t>(w >> 32)), barrett, 0x00);
  q = _mm_srli_si128(q, 4);  // floor(.. / x^32): whole bytes
  uint64_t qp = static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_clmulepi64_si128(q, barrett, 0x10)));
  return static_cast<uint32_t>(w ^ qp);
}

DTK_FOLDING_TARGET uint32_t Folding(uint32_t reg, const uint8_t* data, uint64_t count) {
  if (count < 128) return Slicing16(reg, data, count);
  const __m128i byteSwap = _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
  const __m128i fold1024 = _mm_set_epi64x(kFold1024High, kFold1024Low);

  // Eight lanes, each folded 1024 bits forward onto the next group of eight:
  // eight independent chains keep the multiplier busy.
  __m128i x0 = LoadBlock(data, byteSwap);
  __m128i x1 = LoadBlock(data + 16, byteSwap);
  __m128i x2 = LoadBlock(data + 32, byteSwap);
  __m128i x3 = LoadBlock(data + 48, byteSwap);
  __m128i x4 = LoadBlock(data + 64, byteSwap);
  __m128i x5 = LoadBlock(data + 80, byteSwap);
  __m128i x6 = LoadBlock(data + 96, byteSwap);
  __m128i x7 = LoadBlock(data + 112, byteSwap);
  x0 = _mm_xor_si128(x0, _mm_set_epi32(static_cast<int>(reg), 0, 0, 0));
  data += 128;
  count -= 128;
  while (count >= 128) {
    x0 = _mm_xor_si128(Fold(x0, fold1024), LoadBlock(data, byteSwap));
    x1 = _mm_xor_si128(Fold(x1, fold1024), LoadBlock(data + 16, byteSwap));
    x2 = _mm_xor_si128(Fold(x2, fold1024), LoadBlock(data + 32, byteSwap));
    x3 = _mm_xor_si128(Fold(x3, fold1024), LoadBlock(data + 48, byteSwap));
    x4 = _mm_xor_si128(Fold(x4, fold1024), LoadBlock(data + 64, byteSwap));
    x5 = _mm_xor_si128(Fold(x5, fold1024), LoadBlock(data + 80, byteSwap));
    x6 = _mm_xor_si128(Fold(x6, fold1024), LoadBlock(data + 96, byteSwap));
    x7 = _mm_xor_si128(Fold(x7, fold1024), LoadBlock(data + 112, byteSwap));
    data += 128;
    count -= 128;
  }
  reg = FinishFolding(x0, x1, x2, x3, x4, x5, x6, x7, data, count);
  return Slicing16(reg, data, count);
}

// The same folding two blocks per instruction, on 256-bit registers.
#define DTK_WIDE_FOLDING_TARGET __attribute__((target("vpclmulqdq,avx2,pclmul,ssse3")))

DTK_WIDE_FOLDING_TARGET inline __m256i WideFold(__m256i blocks, __m256i constants) {
  return _mm256_xor_si256(_mm256_clmulepi64_epi128(blocks, constants, 0x11),
                          _mm256_clmulepi64_epi128(blocks, constants, 0x00));
}

DTK_WIDE_FOLDING_TARGET inline __m256i LoadTwoBlocks(const uint8_t* p, __m256i byteSwap) {
  return _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), byteSwap);
}

DTK_WIDE_FOLDING_TARGET uint32_t WideFolding(uint32_t reg, const uint8_t* data, uint64_t count) {
  if (count < 256) return Folding(reg, data, count);
  const __m256i byteSwap =
      _mm256_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0,  //
                       15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
  const __m256i fold2048 =
      _mm256_set_epi64x(kFold2048High, kFold2048Low, kFold2048High, kFold2048Low);
  const __m256i fold1024 =
      _mm256_set_epi64x(kFold1024High, kFold1024Low, kFold1024High, kFold1024Low);
  // Eight lanes of two blocks each (the lower half the earlier block), each
  // folded 2048 bits forward onto the next group of sixteen blocks.
  __m256i y0 = LoadTwoBlocks(data, byteSwap);
  __m256i y1 = LoadTwoBlocks(data + 32, byteSwap);
  __m256i y2 = LoadTwoBlocks(data + 64, byteSwap);
  __m256i y3 = LoadTwoBlocks(data + 96, byteSwap);
  __m256i y4 = LoadTwoBlocks(data + 128, byteSwap);
  __m256i y5 = LoadTwoBlocks(data + 160, byteSwap);
  __m256i y6 = LoadTwoBlocks(data + 192, byteSwap);
  __m256i y7 = LoadTwoBlocks(data + 224, byteSwap);
  y0 = _mm256_xor_si256(y0, _mm256_set_epi32(0, 0, 0, 0, static_cast<int>(reg), 0, 0, 0));
  data += 256;
  count -= 256;
  while (count >= 256) {
    y0 = _mm256_xor_si256(WideFold(y0, fold2048), LoadTwoBlocks(data, byteSwap));
    y1 = _mm256_xor_si256(WideFold(y1, fold2048), LoadTwoBlocks(data + 32, byteSwap));
    y2 = _mm256_xor_si256(WideFold(y2, fold2048), LoadTwoBlocks(data + 64, byteSwap));
    y3 = _mm256_xor_si256(WideFold(y3, fold2048), LoadTwoBlocks(data + 96, byteSwap));
    y4 = _mm256_xor_si256(WideFold(y4, fold2048), LoadTwoBlocks(data + 128, byteSwap));
    y5 = _mm256_xor_si256(WideFold(y5, fold2048), LoadTwoBlocks(data + 160, byteSwap));
    y6 = _mm256_xor_si256(WideFold(y6, fold2048), LoadTwoBlocks(data + 192, byteSwap));
    y7 = _mm256_xor_si256(WideFold(y7, fold2048), LoadTwoBlocks(data + 224, byteSwap));
    data += 256;
    count -= 256;
  }
  // Sixteen blocks to eight: the first half folded 1024 bits onto the second.
  y0 = _mm256_xor_si256(WideFold(y0, fold1024), y4);
  y1 = _mm256_xor_si256(WideFold(y1, fold1024), y5);
  y2 = _mm256_xor_si256(WideFold(y2, fold1024), y6);
  y3 = _mm256_xor_si256(WideFold(y3, fold1024), y7);
  reg = FinishFolding(_mm256_castsi256_si128(y0), _mm256_extracti128_si256(y0, 1),
                      _mm256_castsi256_si128(y1), _mm256_extracti128_si256(y1, 1),
                      _mm256_castsi256_si128(y2), _mm256_extracti128_si256(y2, 1),
                      _mm256_castsi256_si128(y3), _mm256_extracti128_si256(y3, 1), data, count);
  return Slicing16(reg, data, count);
}

bool CpuHasFolding() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  return (ecx & bit_PCLMUL) != 0 && (ecx & bit_SSSE3) != 0;
}

bool CpuHasWideFolding() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!CpuHasFolding() || !__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  // The system must save the 256-bit registers (OSXSAVE, and XCR0 holding
  // the SSE and AVX state) for the processor's AVX to be usable.
  if ((ecx & bit_OSXSAVE) == 0 || (ecx & bit_AVX) == 0) return false;
  unsigned xcr0Low = 0, xcr0High = 0;
  __asm__ volatile("xgetbv" : "=a"(xcr0Low), "=d"(xcr0High) : "c"(0));
  if ((xcr0Low & 6) != 6) return false;
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
  return (ebx & bit_AVX2) != 0 && (ecx & bit_VPCLMULQDQ) != 0;
}

#endif  // DTK_CRC_FOLDING

using UpdateFunction = uint32_t (*)(uint32_t, const uint8_t*, uint64_t);

UpdateFunction ChooseFastest() {
#ifdef DTK_CRC_FOLDING
  if (CpuHasWideFolding()) return WideFolding;
  if (CpuHasFolding()) return Folding;
#endif
  return Slicing16;
}

}  // namespace

uint32_t Crc32::UpdateSlicing16(uint32_t reg, const uint8_t* data, uint64_t count) {
  return Slicing16(reg, data, count);
}

bool Crc32::FoldingAvailable() {
#ifdef DTK_CRC_FOLDING
  static const bool available = CpuHasFolding();
  return available;
#else
  return false;
#endif
}

uint32_t Crc32::UpdateFolding(uint32_t reg, const uint8_t* data, uint64_t count) {
#ifdef DTK_CRC_FOLDING
  return Folding(reg, data, count);
#else
  return Slicing16(reg, data, count);
#endif
}

bool Crc32::WideFoldingAvailable() {
#ifdef DTK_CRC_FOLDING
  static const bool available = CpuHasWideFolding();
  return available;
#else
  return false;
#endif
}

uint32_t Crc32::UpdateWideFolding(uint32_t reg, const uint8_t* data, uint64_t count) {
#ifdef DTK_CRC_FOLDING
  return WideFolding(reg, data, count);
#else
  return Slicing16(reg, data, count);
#endif
}

uint32_t Crc32::UpdateFastest(uint32_t reg, const uint8_t* data, uint64_t count) {
  static const UpdateFunction fastest = ChooseFastest();
  return fastest(reg, data, count);
}

}  // namespace dtk
