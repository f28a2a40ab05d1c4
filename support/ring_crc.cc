#include "support/ring_crc.h"

#include <algorithm>
#include <new>

#include "support/crc32.h"

namespace dtk {
namespace {

// Stretch lengths whose power is looked up rather than worked out: up to the
// size of a ring of 1 MiB.
constexpr uint64_t kTabledPowers = (1u << 20) + 1;

}  // namespace

int RingCrc::Init(const uint8_t* ring, uint32_t size) {
  if (size == 0 || size > kMaxSize) return -1;
  const uint64_t powerCount = std::min<uint64_t>(uint64_t{size} + 1, kTabledPowers);
  std::unique_ptr<uint32_t[]> periodic(new (std::nothrow) uint32_t[size]);
  std::unique_ptr<uint32_t[]> powers(new (std::nothrow) uint32_t[powerCount]);
  if (!periodic || !powers) return -1;

  // Z[i], then Z[size]; a zero byte through the table multiplies by x^8.
  const uint32_t* table = Crc32::Table();
  uint32_t reg = 0;
  for (uint32_t i = 0; i < size; ++i) {
    periodic[i] = reg;
    reg = table[(reg >> 24) ^ ring[i]] ^ (reg << 8);
  }
  const uint32_t y = Crc32::UpdateZeros(1, size);
  uint32_t term = crc32_shift::MultiplyModP(reg, crc32_shift::InverseModP(y ^ 1));  // c
  for (uint32_t i = 0; i < size; ++i) {
    periodic[i] ^= term;
    term = table[term >> 24] ^ (term << 8);
  }
  // S(0) = x^-32, and each next power x^8 times the one before.
  uint32_t power = crc32_shift::ShiftedBytePower(0, &crc32_shift::ProductPortable);
  for (uint64_t n = 0; n < powerCount; ++n) {
    powers[n] = power;
    power = table[power >> 24] ^ (power << 8);
  }

  size_ = size;
  periodic_ = std::move(periodic);
  powers_ = std::move(powers);
  powerCount_ = powerCount;
  product_ = crc32_shift::FastestProduct();
  return 0;
}

}  // namespace dtk
