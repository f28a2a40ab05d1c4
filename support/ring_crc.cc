#include "support/ring_crc.h"

#include <algorithm>
#include <new>

#include "support/crc32.h"

namespace dtk {

int RingCrc::Init(const uint8_t* ring, uint32_t size) {
  if (size == 0 || size > kMaxSize) return -1;
  const uint64_t samples = (uint64_t{size} + kStride - 1) / kStride;
  std::unique_ptr<uint8_t[]> bytes(new (std::nothrow) uint8_t[size]);
  std::unique_ptr<uint32_t[]> sampled(new (std::nothrow) uint32_t[samples]);
  std::unique_ptr<uint32_t[]> low(new (std::nothrow) uint32_t[kLowPowers]);
  std::unique_ptr<uint32_t[]> high(new (std::nothrow) uint32_t[kHighPowers]);
  if (!bytes || !sampled || !low || !high) return -1;
  std::copy(ring, ring + size, bytes.get());

  // c = Z[size] / (x^(8 size) + 1), and Q steps from Q[0] = c over the ring.
  const uint32_t whole = Crc32::UpdateFastest(0, ring, size);
  const uint32_t y = Crc32::UpdateZeros(1, size);
  uint32_t reg = crc32_shift::MultiplyModP(whole, crc32_shift::InverseModP(y ^ 1));
  for (uint64_t k = 0; k < samples; ++k) {
    sampled[k] = reg;
    uint64_t at = k * kStride;
    reg = Crc32::UpdateSlicing16(reg, ring + at, std::min<uint64_t>(kStride, size - at));
  }

  const uint32_t* table = Crc32::Table();
  uint32_t power = crc32_shift::ShiftedBytePower(0, &crc32_shift::ProductPortable);
  for (uint64_t n = 0; n < kLowPowers; ++n) {
    low[n] = power;
    power = table[power >> 24] ^ (power << 8);
  }
  const crc32_shift::ProductFunction product = crc32_shift::FastestProduct();
  high[0] = low[0];
  for (uint64_t n = 1; n < kHighPowers; ++n) high[n] = product(high[n - 1], power);

  size_ = size;
  ring_ = std::move(bytes);
  sampled_ = std::move(sampled);
  low_ = std::move(low);
  high_ = std::move(high);
  table_ = table;
  product_ = product;
  return 0;
}

}  // namespace dtk
