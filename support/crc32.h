// CRC-32/BZIP2: polynomial 0x04C11DB7, most significant bit first,
// initial register 0xFFFFFFFF, final XOR 0xFFFFFFFF.
#ifndef DTK_SUPPORT_CRC32_H_
#define DTK_SUPPORT_CRC32_H_

#include <cstdint>

namespace dtk {

class Crc32 {
 public:
  static constexpr uint32_t kPolynomial = 0x04C11DB7u;

  Crc32();

  void Reset() { crcReg = 0xFFFFFFFFu; }
  // Folds `count` bytes at `data` into the register, first byte first. The
  // result does not depend on how a byte run is split across calls.
  void Update(uint32_t count, const void* data);
  uint32_t Value() const { return ~crcReg; }
  uint32_t Register() const { return crcReg; }

  // Each form below takes the register before `count` bytes at `data` and
  // returns it after them; all give the same register for the same bytes.

  // The byte-at-a-time reference form: one table lookup per byte.
  static uint32_t UpdateTable(uint32_t reg, const uint8_t* data, uint64_t count);
  static const uint32_t* Table();
  // Sixteen bytes per step through sixteen tables; runs on every machine.
  static uint32_t UpdateSlicing16(uint32_t reg, const uint8_t* data, uint64_t count);
  // Folds 128 bytes per step by carry-less multiplication (x86-64 with
  // PCLMULQDQ and SSSE3). Call it only when FoldingAvailable() is true.
  static uint32_t UpdateFolding(uint32_t reg, const uint8_t* data, uint64_t count);
  // Whether this processor runs UpdateFolding; asked of the CPU once.
  static bool FoldingAvailable();
  // The same folding on 256-bit registers, two blocks per multiplication
  // (VPCLMULQDQ with AVX2). Call it only when WideFoldingAvailable() is true.
  static uint32_t UpdateWideFolding(uint32_t reg, const uint8_t* data, uint64_t count);
  static bool WideFoldingAvailable();
  // The same folding on 512-bit registers, four blocks per multiplication
  // (VPCLMULQDQ with AVX-512F and AVX-512BW). Call it only when
  // Folding512Available() is true.
  static uint32_t UpdateFolding512(uint32_t reg, const uint8_t* data, uint64_t count);
  static bool Folding512Available();
  // The fastest form this processor runs, chosen once; Update uses it.
  static uint32_t UpdateFastest(uint32_t reg, const uint8_t* data, uint64_t count);

  // The register `reg` carried over `count` zero bytes, reg * x^(8 count)
  // mod P, without reading them: a few table lookups and carry-less
  // multiplications, whatever the count.
  static uint32_t UpdateZeros(uint32_t reg, uint64_t count);

 private:
  uint32_t crcReg = 0xFFFFFFFFu;
};

}  // namespace dtk

#endif  // DTK_SUPPORT_CRC32_H_
