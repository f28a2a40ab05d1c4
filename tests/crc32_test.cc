// CRC-32/BZIP2: known answers, every fast form against the byte-at-a-time
// table at every length and alignment, registers carried over zeros, and
// CRCs of ring stretches against the plain CRC of the same bytes.
#include "support/crc32.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "support/crc32_shift.h"
#include "support/ring_crc.h"
#include "test_util.h"

namespace dtk {
namespace {

// A form's name and its update function.
using Form = std::pair<const char*, uint32_t (*)(uint32_t, const uint8_t*, uint64_t)>;

// Every fast form this machine can run; folding only where the CPU has it.
std::vector<Form> Forms() {
  std::vector<Form> forms = {{"slicing-by-16", &Crc32::UpdateSlicing16},
                             {"fastest", &Crc32::UpdateFastest}};
  if (Crc32::FoldingAvailable()) forms.push_back({"folding", &Crc32::UpdateFolding});
  if (Crc32::WideFoldingAvailable()) forms.push_back({"wide", &Crc32::UpdateWideFolding});
  if (Crc32::Folding512Available()) forms.push_back({"512-bit", &Crc32::UpdateFolding512});
  return forms;
}

std::vector<uint8_t> RandomBytes(size_t count, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> bytes(count);
  for (auto& byte : bytes) byte = static_cast<uint8_t>(random());
  return bytes;
}

// Known answers through the byte-at-a-time table (every other form is held
// to it below) and through the object: the register before the final XOR,
// split and empty updates, reset.
TEST(Crc32Test, KnownAnswers) {
  const std::pair<std::string, uint32_t> answers[] = {{"123456789", 0xFC891918u},
                                                      {"abc", 0x648CBB73u},
                                                      {std::string(1, '\0'), 0xB1F7404Bu},
                                                      {std::string(4, '\0'), 0x38FB2284u}};
  for (const auto& [text, crc] : answers) {
    auto data = reinterpret_cast<const uint8_t*>(text.data());
    EXPECT_EQ(~Crc32::UpdateTable(0xFFFFFFFFu, data, text.size()), crc) << text.size();
  }
  Crc32 crc;
  crc.Update(4, "1234");
  crc.Update(0, nullptr);
  crc.Update(5, "56789");
  EXPECT_EQ(crc.Register(), 0x0376E6E7u);
  crc.Reset();
  crc.Update(3, "abc");
  EXPECT_EQ(crc.Value(), 0x648CBB73u);
}

TEST(Crc32Test, FoldingIsFoundWhereTheCpuHasIt) {
  // A build that left the folding forms out would pass every other test
  // here on the slicing form alone.
#if defined(__x86_64__) && defined(__linux__)
  std::string info = ReadWholeFile("/proc/cpuinfo");
  size_t at = info.find("\nflags");
  if (at == std::string::npos) GTEST_SKIP() << "no CPU flags to compare with";
  std::string flags = info.substr(at, info.find('\n', at + 1) - at);
  auto has = [&](const char* flag) { return flags.find(flag) != std::string::npos; };
  bool folding = has(" pclmulqdq") && has(" ssse3");
  bool wide = folding && has(" vpclmulqdq") && has(" avx2");
  EXPECT_EQ(Crc32::FoldingAvailable(), folding);
  EXPECT_EQ(Crc32::WideFoldingAvailable(), wide);
  EXPECT_EQ(Crc32::Folding512Available(), wide && has(" avx512f") && has(" avx512bw"));
#else
  GTEST_SKIP() << "carry-less multiplication is looked for on x86-64 only";
#endif
}

// Every length from 0 to 4096 at every start offset within 64 bytes (a
// cache line, and the widest load), each from its own register; then runs
// whose folded lanes hold all ones, all zeros or a single bit, where the
// reduction must hold for every bit of the remainder.
TEST(Crc32Test, FastFormsMatchTheTableAtEveryLengthAlignmentAndBit) {
  const std::vector<uint8_t> data = RandomBytes(4096 + 64, 1);
  std::mt19937 registers(2);
  int failures = 0;
  for (const auto& [name, update] : Forms()) {
    for (size_t offset = 0; offset < 64 && failures < 5; ++offset) {
      for (size_t length = 0; length <= 4096 && failures < 5; ++length) {
        uint32_t reg = length % 3 == 0 ? 0xFFFFFFFFu : static_cast<uint32_t>(registers());
        const uint8_t* start = data.data() + offset;
        if (update(reg, start, length) != Crc32::UpdateTable(reg, start, length)) {
          ADD_FAILURE() << name << ": offset " << offset << " length " << length;
          ++failures;
        }
      }
    }
    for (size_t length : {64u, 127u, 128u, 200u, 1024u, 1648u}) {
      std::vector<std::vector<uint8_t>> runs{std::vector<uint8_t>(length, 0),
                                             std::vector<uint8_t>(length, 0xFF)};
      for (size_t bit = 0; bit < length * 8; bit += 7) {
        runs.emplace_back(length, 0)[bit / 8] = static_cast<uint8_t>(0x80u >> (bit % 8));
      }
      for (const std::vector<uint8_t>& run : runs) {
        for (uint32_t reg : {0u, 0xFFFFFFFFu, 0x80000000u, 1u}) {
          ASSERT_EQ(update(reg, run.data(), length), Crc32::UpdateTable(reg, run.data(), length))
              << name << " length " << length << " run " << &run - runs.data();
        }
      }
    }
  }
}

// a * b * x^32 mod P, a bit at a time.
uint32_t SlowProduct(uint32_t a, uint32_t b) {
  uint32_t product = 0;
  for (int bit = 63; bit >= 0; --bit) {
    product = (product & 0x80000000u) ? (product << 1) ^ Crc32::kPolynomial : product << 1;
    if (bit >= 32 && ((b >> (bit - 32)) & 1)) product ^= a;
  }
  return product;
}

// Products and powers through every product form: against the product bit
// by bit, and as registers carried over runs of zeros fed byte by byte;
// runs of zeros too long to feed compose as one run.
TEST(Crc32ShiftTest, ProductsAndPowersCarryARegisterOverZeros) {
  std::vector<crc32_shift::ProductFunction> forms = {&crc32_shift::ProductPortable,
                                                     crc32_shift::FastestProduct()};
  if (Crc32::FoldingAvailable()) forms.push_back(&crc32_shift::ProductCarryless);
  const std::vector<uint8_t> zeros((1u << 20) + 3, 0);
  std::mt19937 random(1);
  for (auto product : forms) {
    for (int trial = 0; trial < 2000; ++trial) {
      uint32_t a = random(), b = random();
      if (trial < 64) a = trial < 32 ? 1u << trial : 0xFFFFFFFFu >> (trial - 32);
      ASSERT_EQ(product(a, b), SlowProduct(a, b)) << a << " " << b;
    }
    for (uint64_t count : {0u, 1u, 3u, 4u, 5u, 16u, 255u, 600u, 4096u, 65537u, (1u << 20) + 3}) {
      uint32_t reg = random();
      ASSERT_EQ(product(reg, crc32_shift::ShiftedBytePower(count, product)),
                Crc32::UpdateTable(reg, zeros.data(), count))
          << "count " << count;
      EXPECT_EQ(Crc32::UpdateZeros(reg, count), Crc32::UpdateTable(reg, zeros.data(), count));
    }
  }
  const uint64_t wrap = 0xFFFFFFFFu / 8;  // 8 * count passes the order of x after this
  const std::pair<uint64_t, uint64_t> splits[] = {
      {wrap, 1}, {wrap + 1, wrap + 1}, {1, 0xFFFFFFFFu}, {1ull << 40, 12345}, {~0ull - 9, 9}};
  for (const auto& [first, second] : splits) {
    uint32_t reg = random();
    EXPECT_EQ(Crc32::UpdateZeros(Crc32::UpdateZeros(reg, first), second),
              Crc32::UpdateZeros(reg, first + second))
        << first << " + " << second;
  }
  // 2^32 - 1 zero bytes are 8 (2^32 - 1) bits: a register comes back.
  EXPECT_EQ(Crc32::UpdateZeros(0x9ABCDEF0u, 0xFFFFFFFFu), 0x9ABCDEF0u);
}

// The register `reg` after `length` bytes of the ring from `start` on.
uint32_t FedRegister(const std::vector<uint8_t>& ring, uint32_t reg, uint32_t start,
                     uint64_t length) {
  for (uint64_t at = start; length > 0; at = 0) {
    uint64_t run = std::min<uint64_t>(length, ring.size() - at);
    reg = Crc32::UpdateFastest(reg, ring.data() + at, run);
    length -= run;
  }
  return reg;
}

// Stretches of rings of odd and even sizes, by where they start and how far
// they run (empty, to the end, wrapping once, twice, many times), from the
// initial register and from any; a running register carried on stretch
// after stretch ends where one stretch over all of them does.
TEST(RingCrcTest, StretchesMatchTheirBytes) {
  for (uint32_t size : {1u, 2u, 7u, 1001u, 4096u, 262144u}) {
    SCOPED_TRACE(size);
    const std::vector<uint8_t> ring = RandomBytes(size, size);
    RingCrc crc;
    ASSERT_EQ(crc.Init(ring.data(), size), 0);
    EXPECT_EQ(crc.Init(ring.data(), 0), -1);  // an empty ring is refused; this one stays
    const uint64_t s = size;
    for (uint64_t start : {uint64_t{0}, 1 % s, s / 2, s - 1}) {
      for (uint64_t length : {uint64_t{0}, uint64_t{1}, uint64_t{2}, s - s / 2, s, 2 * s, 2 * s + 1,
                              5 * s + s / 7, 37 * s - 1}) {
        EXPECT_EQ(crc.Crc(static_cast<uint32_t>(start), length),
                  ~FedRegister(ring, 0xFFFFFFFFu, static_cast<uint32_t>(start), length))
            << "start " << start << " length " << length;
      }
    }
    std::mt19937_64 random(size);
    for (int trial = 0; trial < 200; ++trial) {
      uint32_t start = random() % size;
      uint64_t length = random() % (3 * s + 100);
      uint32_t reg = static_cast<uint32_t>(random());
      ASSERT_EQ(crc.Advance(reg, start, length), FedRegister(ring, reg, start, length));
      uint64_t first = random() % (1ull << 62), second = random() % (1ull << 40);
      uint32_t middle = static_cast<uint32_t>((start + first) % size);
      ASSERT_EQ(crc.Advance(crc.Advance(reg, start, first), middle, second),
                crc.Advance(reg, start, first + second));
    }
  }
}

}  // namespace
}  // namespace dtk
