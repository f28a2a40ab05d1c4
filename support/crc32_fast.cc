// The fast forms of the CRC-32 register update: slicing-by-16 everywhere,
// and folding by carry-less multiplication, on 128-, 256- or 512-bit registers,
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
#include "support/crc32_internal.h"

namespace dtk {
namespace {

using crc32_internal::kFullPolynomial;
using crc32_internal::kSlices;

// x^n mod P.
constexpr uint32_t XPowerModP(unsigned n) {
  uint32_t reg = 1;
  for (unsigned i = 0; i < n; ++i) {
    reg = (reg & 0x80000000u) ? (reg << 1) ^ Crc32::kPolynomial : reg << 1;
  }
  return reg;
}

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

// A 128-bit block A standing d bits before a block B is worth
// A * x^d = Ahi * x^(d+64) + Alo * x^d, congruent mod P to
// Ahi * (x^(d+64) mod P) + Alo * (x^d mod P), at most 95 bits: that is XORed
// into B. Each pair is (x^(d+64) mod P, x^d mod P).
constexpr uint64_t kFold4096High = XPowerModP(4096 + 64);
constexpr uint64_t kFold4096Low = XPowerModP(4096);
constexpr uint64_t kFold2048High = XPowerModP(2048 + 64);
constexpr uint64_t kFold2048Low = XPowerModP(2048);
constexpr uint64_t kFold1024High = XPowerModP(1024 + 64);
constexpr uint64_t kFold1024Low = XPowerModP(1024);
constexpr uint64_t kFold512High = XPowerModP(512 + 64);
constexpr uint64_t kFold512Low = XPowerModP(512);
constexpr uint64_t kFold384High = XPowerModP(384 + 64);
constexpr uint64_t kFold384Low = XPowerModP(384);
constexpr uint64_t kFold256High = XPowerModP(256 + 64);
constexpr uint64_t kFold256Low = XPowerModP(256);
constexpr uint64_t kFold128High = XPowerModP(128 + 64);
constexpr uint64_t kFold128Low = XPowerModP(128);
constexpr uint64_t kX96 = XPowerModP(96);
constexpr uint64_t kX64 = XPowerModP(64);
// floor(x^64 / P), for Barrett's reduction of a 64-bit remainder.
constexpr uint64_t kBarrett = crc32_internal::BarrettQuotient(64);

DTK_FOLDING_TARGET inline __m128i Fold(__m128i block, __m128i constants) {
  return _mm_xor_si128(_mm_clmulepi64_si128(block, constants, 0x11),
                       _mm_clmulepi64_si128(block, constants, 0x00));
}

// Sixteen bytes as one 128-bit polynomial, the first byte highest.
DTK_FOLDING_TARGET inline __m128i LoadBlock(const uint8_t* p, __m128i byteSwap) {
  return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), byteSwap);
}

// Continues from the 128-bit remainder r with whole 16-byte blocks and
// returns the register after them, with `data` and `count` advanced past
// them.
DTK_FOLDING_TARGET uint32_t FinishFolding(__m128i r, const uint8_t*& data, uint64_t& count) {
  const __m128i byteSwap = _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
  const __m128i fold128 = _mm_set_epi64x(kFold128High, kFold128Low);
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

// The eight blocks of a 128-byte group folded into one, each onto the next.
DTK_FOLDING_TARGET inline __m128i FoldEight(__m128i x0, __m128i x1, __m128i x2, __m128i x3,
                                            __m128i x4, __m128i x5, __m128i x6, __m128i x7) {
  const __m128i fold128 = _mm_set_epi64x(kFold128High, kFold128Low);
  __m128i r = _mm_xor_si128(Fold(x0, fold128), x1);
  r = _mm_xor_si128(Fold(r, fold128), x2);
  r = _mm_xor_si128(Fold(r, fold128), x3);
  r = _mm_xor_si128(Fold(r, fold128), x4);
  r = _mm_xor_si128(Fold(r, fold128), x5);
  r = _mm_xor_si128(Fold(r, fold128), x6);
  return _mm_xor_si128(Fold(r, fold128), x7);
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
  reg = FinishFolding(FoldEight(x0, x1, x2, x3, x4, x5, x6, x7), data, count);
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
  __m128i r = FoldEight(_mm256_castsi256_si128(y0), _mm256_extracti128_si256(y0, 1),
                        _mm256_castsi256_si128(y1), _mm256_extracti128_si256(y1, 1),
                        _mm256_castsi256_si128(y2), _mm256_extracti128_si256(y2, 1),
                        _mm256_castsi256_si128(y3), _mm256_extracti128_si256(y3, 1));
  // The upper halves cleared before the 128-bit code that follows (and the
  // caller's): some processors slow SSE instructions while they are in use.
  _mm256_zeroupper();
  reg = FinishFolding(r, data, count);
  return Slicing16(reg, data, count);
}

// The same folding four blocks per instruction, on 512-bit registers
// (AVX-512F and AVX-512BW for the byte shuffle, VPCLMULQDQ).
#define DTK_FOLDING_512_TARGET \
  __attribute__((target("vpclmulqdq,avx512f,avx512bw,avx2,pclmul,ssse3")))

// Four blocks, each folded `constants` forward, XORed with four more:
// three-way XOR in one instruction (truth table 0x96).
DTK_FOLDING_512_TARGET inline __m512i FoldOnto(__m512i blocks, __m512i constants, __m512i onto) {
  return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(blocks, constants, 0x11),
                                   _mm512_clmulepi64_epi128(blocks, constants, 0x00), onto, 0x96);
}

DTK_FOLDING_512_TARGET inline __m512i LoadFourBlocks(const uint8_t* p, __m512i byteSwap) {
  return _mm512_shuffle_epi8(_mm512_loadu_si512(p), byteSwap);
}

DTK_FOLDING_512_TARGET inline __m512i FoldConstants512(uint64_t high, uint64_t low) {
  return _mm512_set_epi64(high, low, high, low, high, low, high, low);
}

DTK_FOLDING_512_TARGET uint32_t Folding512(uint32_t reg, const uint8_t* data, uint64_t count) {
  if (count < 512) return WideFolding(reg, data, count);
  // Bytes 15 to 0 of each 128-bit lane (not by _mm512_broadcast_i32x4, on
  // which GCC 12 warns of its own undefined register).
  const __m512i byteSwap = FoldConstants512(0x0001020304050607, 0x08090A0B0C0D0E0F);
  const __m512i fold4096 = FoldConstants512(kFold4096High, kFold4096Low);
  // Eight lanes of four blocks each (the lowest 128 bits the earliest
  // block), each folded 4096 bits forward onto the next group of 32 blocks.
  __m512i z0 = LoadFourBlocks(data, byteSwap);
  __m512i z1 = LoadFourBlocks(data + 64, byteSwap);
  __m512i z2 = LoadFourBlocks(data + 128, byteSwap);
  __m512i z3 = LoadFourBlocks(data + 192, byteSwap);
  __m512i z4 = LoadFourBlocks(data + 256, byteSwap);
  __m512i z5 = LoadFourBlocks(data + 320, byteSwap);
  __m512i z6 = LoadFourBlocks(data + 384, byteSwap);
  __m512i z7 = LoadFourBlocks(data + 448, byteSwap);
  z0 = _mm512_xor_si512(
      z0, _mm512_set_epi32(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, static_cast<int>(reg), 0, 0, 0));
  data += 512;
  count -= 512;
  while (count >= 512) {
    z0 = FoldOnto(z0, fold4096, LoadFourBlocks(data, byteSwap));
    z1 = FoldOnto(z1, fold4096, LoadFourBlocks(data + 64, byteSwap));
    z2 = FoldOnto(z2, fold4096, LoadFourBlocks(data + 128, byteSwap));
    z3 = FoldOnto(z3, fold4096, LoadFourBlocks(data + 192, byteSwap));
    z4 = FoldOnto(z4, fold4096, LoadFourBlocks(data + 256, byteSwap));
    z5 = FoldOnto(z5, fold4096, LoadFourBlocks(data + 320, byteSwap));
    z6 = FoldOnto(z6, fold4096, LoadFourBlocks(data + 384, byteSwap));
    z7 = FoldOnto(z7, fold4096, LoadFourBlocks(data + 448, byteSwap));
    data += 512;
    count -= 512;
  }
  // 32 blocks to 16 (first half onto the second, 2048 bits on), to 8
  // (1024 bits), to 4 (512 bits); then 64 bytes at a time while they last.
  const __m512i fold512 = FoldConstants512(kFold512High, kFold512Low);
  z4 = FoldOnto(z0, FoldConstants512(kFold2048High, kFold2048Low), z4);
  z5 = FoldOnto(z1, FoldConstants512(kFold2048High, kFold2048Low), z5);
  z6 = FoldOnto(z2, FoldConstants512(kFold2048High, kFold2048Low), z6);
  z7 = FoldOnto(z3, FoldConstants512(kFold2048High, kFold2048Low), z7);
  z6 = FoldOnto(z4, FoldConstants512(kFold1024High, kFold1024Low), z6);
  z7 = FoldOnto(z5, FoldConstants512(kFold1024High, kFold1024Low), z7);
  z7 = FoldOnto(z6, fold512, z7);
  while (count >= 64) {
    z7 = FoldOnto(z7, fold512, LoadFourBlocks(data, byteSwap));
    data += 64;
    count -= 64;
  }
  // The four blocks to one: the first three folded 384, 256 and 128 bits
  // onto the last, all at once.
  const __m512i toLast = _mm512_set_epi64(0, 0, kFold128High, kFold128Low, kFold256High,
                                          kFold256Low, kFold384High, kFold384Low);
  __m512i folded = _mm512_xor_si512(_mm512_clmulepi64_epi128(z7, toLast, 0x11),
                                    _mm512_clmulepi64_epi128(z7, toLast, 0x00));
  folded = _mm512_mask_mov_epi64(folded, 0xC0, z7);  // the last block as it is
  __m256i halves =
      _mm256_xor_si256(_mm512_castsi512_si256(folded),
                       _mm512_castsi512_si256(_mm512_shuffle_i64x2(folded, folded, 0xEE)));
  __m128i r = _mm_xor_si128(_mm256_castsi256_si128(halves), _mm256_extracti128_si256(halves, 1));
  _mm256_zeroupper();  // as in WideFolding
  reg = FinishFolding(r, data, count);
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

bool CpuHasFolding512() {
  if (!CpuHasWideFolding()) return false;
  // The system must save the mask registers and all 512 bits of the 32
  // vector registers too (XCR0 bits 5, 6 and 7).
  unsigned xcr0Low = 0, xcr0High = 0;
  __asm__ volatile("xgetbv" : "=a"(xcr0Low), "=d"(xcr0High) : "c"(0));
  if ((xcr0Low & 0xE6) != 0xE6) return false;
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
  return (ebx & bit_AVX512F) != 0 && (ebx & bit_AVX512BW) != 0 && (ecx & bit_VPCLMULQDQ) != 0;
}

#endif  // DTK_CRC_FOLDING

using UpdateFunction = uint32_t (*)(uint32_t, const uint8_t*, uint64_t);

UpdateFunction ChooseFastest() {
#ifdef DTK_CRC_FOLDING
  if (CpuHasFolding512()) return Folding512;
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

bool Crc32::Folding512Available() {
#ifdef DTK_CRC_FOLDING
  static const bool available = CpuHasFolding512();
  return available;
#else
  return false;
#endif
}

uint32_t Crc32::UpdateFolding512(uint32_t reg, const uint8_t* data, uint64_t count) {
#ifdef DTK_CRC_FOLDING
  return Folding512(reg, data, count);
#else
  return Slicing16(reg, data, count);
#endif
}

uint32_t Crc32::UpdateFastest(uint32_t reg, const uint8_t* data, uint64_t count) {
  static const UpdateFunction fastest = ChooseFastest();
  return fastest(reg, data, count);
}

}  // namespace dtk
