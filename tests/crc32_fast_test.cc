#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "support/crc32.h"

namespace dtk {
namespace {

using UpdateFunction = uint32_t (*)(uint32_t, const uint8_t*, uint64_t);

struct Form {
  const char* name;
  UpdateFunction update;
};

// Every fast form this machine can run; folding only where the CPU has it.
std::vector<Form> FastForms() {
  std::vector<Form> forms = {{"slicing-by-16", &Crc32::UpdateSlicing16},
                             {"fastest", &Crc32::UpdateFastest}};
  if (Crc32::FoldingAvailable()) forms.push_back({"folding", &Crc32::UpdateFolding});
  if (Crc32::WideFoldingAvailable()) {
    forms.push_back({"wide folding", &Crc32::UpdateWideFolding});
  }
  if (Crc32::Folding512Available()) forms.push_back({"512-bit folding", &Crc32::UpdateFolding512});
  return forms;
}

std::vector<uint8_t> RandomBytes(size_t count, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> bytes(count);
  for (auto& byte : bytes) byte = static_cast<uint8_t>(random());
  return bytes;
}

uint32_t Value(UpdateFunction update, const std::string& text) {
  return ~update(0xFFFFFFFFu, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

TEST(Crc32FastTest, FoldingIsFoundWhereTheCpuHasIt) {
  // On x86-64 machines with carry-less multiplication the folding forms are
  // found; a build that leaves them out would pass every other test here on
  // the slicing form alone.
#if defined(__x86_64__) && defined(__linux__)
  std::string flags;
  if (std::FILE* cpuinfo = std::fopen("/proc/cpuinfo", "r")) {
    char line[4096];
    while (std::fgets(line, sizeof(line), cpuinfo)) {
      if (std::strncmp(line, "flags", 5) == 0) {
        flags = line;
        break;
      }
    }
    std::fclose(cpuinfo);
  }
  if (flags.empty()) GTEST_SKIP() << "no CPU flags to compare with";
  bool hasFolding =
      flags.find(" pclmulqdq") != std::string::npos && flags.find(" ssse3") != std::string::npos;
  EXPECT_EQ(Crc32::FoldingAvailable(), hasFolding);
  bool hasWideFolding = hasFolding && flags.find(" vpclmulqdq") != std::string::npos &&
                        flags.find(" avx2") != std::string::npos;
  EXPECT_EQ(Crc32::WideFoldingAvailable(), hasWideFolding);
  bool hasFolding512 = hasWideFolding && flags.find(" avx512f") != std::string::npos &&
                       flags.find(" avx512bw") != std::string::npos;
  EXPECT_EQ(Crc32::Folding512Available(), hasFolding512);
#else
  GTEST_SKIP() << "carry-less multiplication is looked for on x86-64 only";
#endif
}

TEST(Crc32FastTest, CheckValuesThroughEveryForm) {
  for (const Form& form : FastForms()) {
    SCOPED_TRACE(form.name);
    EXPECT_EQ(Value(form.update, "123456789"), 0xFC891918u);
    EXPECT_EQ(Value(form.update, "abc"), 0x648CBB73u);
    EXPECT_EQ(Value(form.update, ""), 0x00000000u);
    EXPECT_EQ(Value(form.update, std::string(1, '\0')), 0xB1F7404Bu);
    EXPECT_EQ(Value(form.update, std::string(4, '\0')), 0x38FB2284u);
    EXPECT_EQ(Value(form.update, std::string(4, '\xFF')), 0xFFFFFFFFu);
    EXPECT_EQ(form.update(0x12345678u, nullptr, 0), 0x12345678u);
  }
}

// Every length from 0 to 4096 at every start offset within 64 bytes (a
// cache line, and the widest load), each from its own register, against the
// reference table.
TEST(Crc32FastTest, MatchesTableAtEveryLengthAndAlignment) {
  const std::vector<uint8_t> data = RandomBytes(4096 + 64, 1);
  const std::vector<Form> forms = FastForms();
  std::mt19937 registers(2);
  int failures = 0;
  for (size_t offset = 0; offset < 64 && failures < 5; ++offset) {
    for (size_t length = 0; length <= 4096 && failures < 5; ++length) {
      uint32_t reg = length % 3 == 0 ? 0xFFFFFFFFu : static_cast<uint32_t>(registers());
      const uint8_t* start = data.data() + offset;
      uint32_t expected = Crc32::UpdateTable(reg, start, length);
      for (const Form& form : forms) {
        if (form.update(reg, start, length) != expected) {
          ADD_FAILURE() << form.name << ": offset " << offset << " length " << length
                        << " register " << reg;
          ++failures;
        }
      }
    }
  }
}

// Inputs where the folded lanes carry many set bits, zeros, or one bit:
// the reduction must hold for every bit of the 128-bit remainder.
TEST(Crc32FastTest, MatchesTableOnSparseAndDenseData) {
  for (const Form& form : FastForms()) {
    SCOPED_TRACE(form.name);
    for (size_t length : {64u, 80u, 127u, 128u, 200u, 1024u, 1648u}) {
      std::vector<uint8_t> ones(length, 0xFF);
      std::vector<uint8_t> zeros(length, 0);
      for (uint32_t reg : {0u, 0xFFFFFFFFu, 0x80000000u, 1u}) {
        EXPECT_EQ(form.update(reg, ones.data(), length),
                  Crc32::UpdateTable(reg, ones.data(), length));
        EXPECT_EQ(form.update(reg, zeros.data(), length),
                  Crc32::UpdateTable(reg, zeros.data(), length));
      }
      for (size_t bit = 0; bit < length * 8; bit += 7) {
        zeros.assign(length, 0);
        zeros[bit / 8] = static_cast<uint8_t>(0x80u >> (bit % 8));
        ASSERT_EQ(form.update(0, zeros.data(), length), Crc32::UpdateTable(0, zeros.data(), length))
            << "length " << length << " bit " << bit;
      }
    }
  }
}

TEST(Crc32FastTest, WholeTransferChunksMatchTable) {
  // What the phases feed: 128 KiB chunks and the odd tail of a file.
  const std::vector<uint8_t> data = RandomBytes((1u << 20) + 37, 3);
  uint32_t expected = Crc32::UpdateTable(0xFFFFFFFFu, data.data(), data.size());
  for (const Form& form : FastForms()) {
    SCOPED_TRACE(form.name);
    uint32_t reg = 0xFFFFFFFFu;
    for (size_t at = 0; at < data.size(); at += 0x20000) {
      size_t chunk = std::min<size_t>(0x20000, data.size() - at);
      reg = form.update(reg, data.data() + at, chunk);
    }
    EXPECT_EQ(reg, expected);
  }
}

TEST(Crc32FastTest, SplitUpdatesGiveTheWholeRunsValue) {
  const std::vector<uint8_t> data = RandomBytes(20000, 4);
  std::mt19937 random(5);
  for (int trial = 0; trial < 200; ++trial) {
    size_t length = random() % data.size();
    Crc32 whole;
    whole.Update(static_cast<uint32_t>(length), data.data());
    EXPECT_EQ(whole.Register(), Crc32::UpdateTable(0xFFFFFFFFu, data.data(), length));
    Crc32 pieces;
    size_t at = 0;
    while (at < length) {
      // Pieces from empty to a few hundred bytes, so runs cross every
      // boundary of the 16- and 64-byte steps.
      size_t piece = std::min<size_t>(random() % 300, length - at);
      pieces.Update(static_cast<uint32_t>(piece), data.data() + at);
      at += piece;
    }
    ASSERT_EQ(pieces.Value(), whole.Value()) << "trial " << trial;
  }
}

}  // namespace
}  // namespace dtk
