// CRCs of stretches of a ring of bytes, worked out from the ring's prefix
// registers instead of from the bytes themselves.
//
// The bytes met going round and round the ring from position 0 are the
// periodic run D (D[i] = ring[i mod size]). With Z[i] the register that
// D's first i bytes leave from 0, any stretch D[a .. a + n) carries a
// register R to Z[a + n] + (R + Z[a]) x^(8n) (mod P): the register is linear
// in the bytes and in R. Z itself is not periodic, but with y = x^(8 size)
// and c = Z[size] / (y + 1) (y is never 1: x has order 2^32 - 1),
//   Q[i] = Z[i] + c x^(8i)
// is: Q[i + size] = Q[i]. The c terms cancel in the stretch's register,
//   Q[(a + n) mod size] + (R + Q[a]) x^(8n),
// which is one product, however many times the stretch wraps. Q itself
// steps over the ring's bytes as a CRC register does (Q[0] = c), so only
// every 16th of it is kept and the rest is stepped to from there, a few
// bytes at either end. x^(8n) comes from two small tables and at most one
// product below 2^20, and is worked out in two more products beyond: the
// set-up is a pass over the ring at the fast CRC's speed and a few hundred
// KiB, which a run of few files does not notice.
#ifndef DTK_SUPPORT_RING_CRC_H_
#define DTK_SUPPORT_RING_CRC_H_

#include <cstdint>
#include <memory>

#include "support/crc32_shift.h"

namespace dtk {

class RingCrc {
 public:
  // The largest ring: 2^31 bytes.
  static constexpr uint32_t kMaxSize = 0x80000000u;

  RingCrc() = default;
  RingCrc(const RingCrc&) = delete;
  RingCrc& operator=(const RingCrc&) = delete;

  // Prepares for the ring of `size` bytes (1 .. kMaxSize) at `ring`, which
  // is read here only (a copy is kept). Holds 1.25 bytes for each ring byte
  // and 17 KiB: 337 KiB for a 256 KiB ring. Returns 0, or -1 when memory is
  // exhausted or `size` is out of range (no exception); after -1 the object
  // is as it was.
  int Init(const uint8_t* ring, uint32_t size);
  uint32_t size() const { return size_; }

  // The CRC-32 (what Crc32::Value gives after Reset and Update over the same
  // bytes) of the `length` bytes that start at ring position `start`
  // (< size) and run on round the ring, wrapping as often as needed
  // (length below 2^63).
  uint32_t Crc(uint32_t start, uint64_t length) const {
    return ~Advance(0xFFFFFFFFu, start, length);
  }
  // The same, continuing from register `reg` instead of 0xFFFFFFFF: the
  // register that Crc32::Update would leave (no final XOR).
  uint32_t Advance(uint32_t reg, uint32_t start, uint64_t length) const {
    const uint64_t end = start + length;
    const uint64_t e = end < size_ ? end : end - size_ < size_ ? end - size_ : end % size_;
    return Periodic(static_cast<uint32_t>(e)) ^
           product_(reg ^ Periodic(start), BytePower(length));
  }

 private:
  static constexpr uint32_t kStride = 16;       // Q kept at every 16th byte
  static constexpr uint64_t kLowPowers = 4096;  // S(8 n) tabled for n below this
  static constexpr uint64_t kHighPowers = 256;  // and S(8 n 4096) for n below this

  // Q[i], for i below size: stepped from the kept one before it.
  uint32_t Periodic(uint32_t i) const {
    const uint32_t* table = table_;
    uint32_t reg = sampled_[i / kStride];
    for (uint32_t at = i - i % kStride; at < i; ++at) {
      reg = table[(reg >> 24) ^ ring_[at]] ^ (reg << 8);
    }
    return reg;
  }
  // S(8 n) = x^(8 n - 32) mod P (see crc32_shift.h).
  uint32_t BytePower(uint64_t n) const {
    if (n < kLowPowers) return low_[n];
    if (n < kLowPowers * kHighPowers) return product_(low_[n % kLowPowers], high_[n / kLowPowers]);
    return crc32_shift::ShiftedBytePower(n, product_);
  }

  uint32_t size_ = 0;
  std::unique_ptr<uint8_t[]> ring_;        // the ring's bytes
  std::unique_ptr<uint32_t[]> sampled_;    // Q[k kStride]
  std::unique_ptr<uint32_t[]> low_;        // S(8 n), n below kLowPowers
  std::unique_ptr<uint32_t[]> high_;       // S(8 n kLowPowers), n below kHighPowers
  const uint32_t* table_ = nullptr;        // the byte-at-a-time CRC table
  crc32_shift::ProductFunction product_ = nullptr;
};

}  // namespace dtk

#endif  // DTK_SUPPORT_RING_CRC_H_
