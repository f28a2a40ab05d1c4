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
// which is one table lookup at each end and one product, however many times
// the stretch wraps. x^(8n) comes from a table up to the ring size (or 1 MiB)
// and is worked out in two more products beyond.
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
  // is read here only. Holds 4 bytes for each ring byte, and 4 bytes for each
  // stretch length up to min(size, 2^20): 2 MiB for a 256 KiB ring. Returns
  // 0, or -1 when memory is exhausted or `size` is out of range (no
  // exception); after -1 the object is as it was.
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
    return periodic_[e] ^ product_(reg ^ periodic_[start], BytePower(length));
  }

 private:
  // S(8 n) = x^(8 n - 32) mod P (see crc32_shift.h): from the table up to
  // its end, else worked out.
  uint32_t BytePower(uint64_t n) const {
    return n < powerCount_ ? powers_[n] : crc32_shift::ShiftedBytePower(n, product_);
  }

  uint32_t size_ = 0;
  // periodic_[i] = Q[i] for i below size.
  std::unique_ptr<uint32_t[]> periodic_;
  // powers_[n] = S(8 n) for n below powerCount_.
  std::unique_ptr<uint32_t[]> powers_;
  uint64_t powerCount_ = 0;
  crc32_shift::ProductFunction product_ = nullptr;
};

}  // namespace dtk

#endif  // DTK_SUPPORT_RING_CRC_H_
