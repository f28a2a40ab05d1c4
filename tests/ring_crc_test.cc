// Registers carried over zeros, and CRCs of ring stretches, against the
// plain CRC of the same bytes.
#include "support/ring_crc.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "support/crc32.h"
#include "support/crc32_shift.h"

namespace dtk {
namespace {

std::vector<uint8_t> RandomBytes(size_t count, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> bytes(count);
  for (auto& byte : bytes) byte = static_cast<uint8_t>(random());
  return bytes;
}

// a * b * x^32 mod P, a bit at a time.
uint32_t SlowProduct(uint32_t a, uint32_t b) {
  uint32_t product = 0;
  for (int bit = 31; bit >= 0; --bit) {
    product = (product & 0x80000000u) ? (product << 1) ^ Crc32::kPolynomial : product << 1;
    if ((b >> bit) & 1) product ^= a;
  }
  for (int bit = 0; bit < 32; ++bit) {
    product = (product & 0x80000000u) ? (product << 1) ^ Crc32::kPolynomial : product << 1;
  }
  return product;
}

struct ProductForm {
  const char* name;
  crc32_shift::ProductFunction product;
};

std::vector<ProductForm> ProductForms() {
  std::vector<ProductForm> forms = {{"portable", &crc32_shift::ProductPortable},
                                    {"fastest", crc32_shift::FastestProduct()}};
  if (Crc32::FoldingAvailable()) forms.push_back({"carry-less", &crc32_shift::ProductCarryless});
  return forms;
}

TEST(Crc32ShiftTest, ProductsMatchTheProductBitByBit) {
  std::mt19937 random(1);
  for (const ProductForm& form : ProductForms()) {
    SCOPED_TRACE(form.name);
    for (int trial = 0; trial < 2000; ++trial) {
      uint32_t a = random(), b = random();
      if (trial < 64) a = trial < 32 ? 1u << trial : 0xFFFFFFFFu >> (trial - 32);
      ASSERT_EQ(form.product(a, b), SlowProduct(a, b)) << a << " " << b;
    }
  }
  for (uint32_t a : {1u, 2u, 0x80000000u, 0x12345678u, 0xFFFFFFFFu}) {
    EXPECT_EQ(crc32_shift::MultiplyModP(a, crc32_shift::InverseModP(a)), 1u) << a;
  }
}

// Powers of every size, through every product form: short runs of zeros
// fed byte by byte, and a long one.
TEST(Crc32ShiftTest, PowersCarryARegisterOverZeros) {
  const std::vector<uint8_t> zeros((1u << 20) + 3, 0);
  for (const ProductForm& form : ProductForms()) {
    SCOPED_TRACE(form.name);
    std::mt19937 random(2);
    for (uint64_t count = 0; count <= 600; ++count) {
      uint32_t reg = random();
      ASSERT_EQ(form.product(reg, crc32_shift::ShiftedBytePower(count, form.product)),
                Crc32::UpdateTable(reg, zeros.data(), count))
          << "count " << count;
    }
    EXPECT_EQ(form.product(0x12345678u, crc32_shift::ShiftedBytePower(zeros.size(), form.product)),
              Crc32::UpdateTable(0x12345678u, zeros.data(), zeros.size()));
  }
}

// Beyond what can be fed: runs of zeros split in two carry a register as
// the whole run does, where the exponent 8 count passes the order of x
// (2^32 - 1) and near the end of the range.
TEST(Crc32ShiftTest, ZerosOfAnyCountComposeAsOneRun) {
  const uint64_t wrap = 0xFFFFFFFFu / 8;  // 8 * count passes 2^32 - 1 after this
  const struct {
    uint64_t first, second;
  } cases[] = {{wrap, 1},           {wrap - 3, 7},         {wrap + 1, wrap + 1}, {1, 0xFFFFFFFFu},
               {1ull << 40, 12345}, {(1ull << 62) - 5, 4}, {~0ull - 9, 9},       {3, ~0ull - 3}};
  std::mt19937 random(3);
  for (const auto& c : cases) {
    uint32_t reg = random();
    EXPECT_EQ(Crc32::UpdateZeros(Crc32::UpdateZeros(reg, c.first), c.second),
              Crc32::UpdateZeros(reg, c.first + c.second))
        << c.first << " + " << c.second;
  }
  // 2^32 - 1 zero bytes are 8 (2^32 - 1) bits: a register comes back.
  EXPECT_EQ(Crc32::UpdateZeros(0x9ABCDEF0u, 0xFFFFFFFFu), 0x9ABCDEF0u);
}

TEST(Crc32ShiftTest, UpdateZerosMatchesFeedingZeros) {
  const std::vector<uint8_t> zeros(70000, 0);
  std::mt19937 random(4);
  for (uint64_t count : {0u, 1u, 3u, 4u, 5u, 16u, 255u, 4096u, 65537u, 70000u}) {
    uint32_t reg = random();
    EXPECT_EQ(Crc32::UpdateZeros(reg, count), Crc32::UpdateTable(reg, zeros.data(), count))
        << "count " << count;
  }
}

// The register `reg` after `length` bytes of the ring from `start` on, fed
// byte run by byte run.
uint32_t FedRegister(const std::vector<uint8_t>& ring, uint32_t reg, uint32_t start,
                     uint64_t length) {
  uint64_t at = start;
  while (length > 0) {
    uint64_t run = std::min<uint64_t>(length, ring.size() - at);
    reg = Crc32::UpdateFastest(reg, ring.data() + at, run);
    length -= run;
    at = (at + run) % ring.size();
  }
  return reg;
}

// Stretches of rings of odd and even sizes, by where they start and how far
// they run.
TEST(RingCrcTest, StretchesMatchTheirBytes) {
  for (uint32_t size : {1u, 2u, 7u, 1001u, 4096u, 262144u}) {
    SCOPED_TRACE(size);
    const std::vector<uint8_t> ring = RandomBytes(size, size);
    RingCrc crc;
    ASSERT_EQ(crc.Init(ring.data(), size), 0);
    const uint64_t s = size;
    const struct {
      uint64_t start, length;
    } cases[] = {
        // clang-format off
        {0, 0},      {s - 1, 0},         {0, 1},      {s - 1, 1},  // empty, one byte
        {0, s},      {s / 2, s - s / 2}, {s - 1, 2},  {s / 3, s},  // to the end; one wrap
        {0, 2 * s},  {s / 2, 2 * s},     {s - 1, 2 * s + 1},       // two wraps
        {s / 5, 5 * s + s / 7},          {1 % s, 37 * s - 1},      // many
        // clang-format on
    };
    for (const auto& c : cases) {
      uint32_t start = static_cast<uint32_t>(c.start);
      EXPECT_EQ(crc.Crc(start, c.length), ~FedRegister(ring, 0xFFFFFFFFu, start, c.length))
          << "start " << start << " length " << c.length;
    }
    std::mt19937 random(size);
    for (int trial = 0; trial < 200; ++trial) {
      uint32_t start = random() % size;
      uint64_t length = random() % (3 * s + 100);
      uint32_t reg = random();
      ASSERT_EQ(crc.Advance(reg, start, length), FedRegister(ring, reg, start, length))
          << "start " << start << " length " << length;
    }
  }
}

// A running register carried on stretch after stretch, as a file's chunks
// are, ends where one stretch over all of them does; on lengths too long to
// feed, too.
TEST(RingCrcTest, AdvanceContinuesARunningRegister) {
  const std::vector<uint8_t> ring = RandomBytes(1001, 5);
  RingCrc crc;
  ASSERT_EQ(crc.Init(ring.data(), 1001), 0);
  std::mt19937_64 random(6);
  for (uint64_t limit : {3000ull, 1ull << 40, 1ull << 62}) {
    SCOPED_TRACE(limit);
    for (int trial = 0; trial < 100; ++trial) {
      uint32_t start = random() % 1001;
      uint64_t first = random() % limit, second = random() % limit;
      uint32_t reg = static_cast<uint32_t>(random());
      uint32_t middle = static_cast<uint32_t>((start + first) % 1001);
      ASSERT_EQ(crc.Advance(crc.Advance(reg, start, first), middle, second),
                crc.Advance(reg, start, first + second))
          << "start " << start << " " << first << " + " << second;
    }
  }
}

// An empty ring is refused, and the ring prepared before stays.
TEST(RingCrcTest, RefusesAnEmptyRing) {
  const uint8_t bytes[] = {1, 2, 3};
  RingCrc crc;
  ASSERT_EQ(crc.Init(bytes, 3), 0);
  EXPECT_EQ(crc.Init(bytes, 0), -1);
  EXPECT_EQ(crc.size(), 3u);
  EXPECT_EQ(crc.Crc(1, 2), ~Crc32::UpdateTable(0xFFFFFFFFu, bytes + 1, 2));
}

}  // namespace
}  // namespace dtk
