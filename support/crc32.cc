#include "support/crc32.h"

#include <array>

namespace dtk {
namespace {

constexpr std::array<uint32_t, 256> BuildTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t reg = i << 24;
    for (int bit = 0; bit < 8; ++bit) {
      reg = (reg & 0x80000000u) ? (reg << 1) ^ Crc32::kPolynomial : reg << 1;
    }
    table[i] = reg;
  }
  return table;
}

// Built at compile time: the table is fixed, so no run pays for it and no
// construction order can observe it half made.
constexpr std::array<uint32_t, 256> kCrcTable = BuildTable();

}  // namespace

Crc32::Crc32() = default;

const uint32_t* Crc32::Table() { return kCrcTable.data(); }

uint32_t Crc32::UpdateTable(uint32_t reg, const uint8_t* data, uint64_t count) {
  for (uint64_t i = 0; i < count; ++i) {
    reg = kCrcTable[(reg >> 24) ^ data[i]] ^ (reg << 8);
  }
  return reg;
}

void Crc32::Update(uint32_t count, const void* data) {
  crcReg = UpdateFastest(crcReg, static_cast<const uint8_t*>(data), count);
}

}  // namespace dtk
