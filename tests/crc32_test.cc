#include "support/crc32.h"

#include <gtest/gtest.h>

#include <string>

namespace dtk {
namespace {

uint32_t CrcOf(const std::string& bytes) {
  Crc32 crc;
  crc.Update(static_cast<uint32_t>(bytes.size()), bytes.data());
  return crc.Value();
}

TEST(Crc32Test, TableEntries) {
  const uint32_t* table = Crc32::Table();
  EXPECT_EQ(table[0], 0x00000000u);
  EXPECT_EQ(table[1], 0x04C11DB7u);
  EXPECT_EQ(table[2], 0x09823B6Eu);
  EXPECT_EQ(table[128], 0x690CE0EEu);
  EXPECT_EQ(table[255], 0xB1F740B4u);
}

TEST(Crc32Test, CheckValues) {
  EXPECT_EQ(CrcOf("123456789"), 0xFC891918u);
  EXPECT_EQ(CrcOf("abc"), 0x648CBB73u);
  EXPECT_EQ(CrcOf(""), 0x00000000u);
  EXPECT_EQ(CrcOf(std::string(1, '\0')), 0xB1F7404Bu);
  EXPECT_EQ(CrcOf(std::string(4, '\0')), 0x38FB2284u);
  EXPECT_EQ(CrcOf(std::string(4, '\xFF')), 0xFFFFFFFFu);
  Crc32 crc;
  crc.Update(9, "123456789");
  EXPECT_EQ(crc.Register(), 0x0376E6E7u);
}

TEST(Crc32Test, SplitUpdatesResetAndEmptyUpdates) {
  Crc32 crc;
  crc.Update(4, "1234");
  EXPECT_EQ(crc.Value(), crc.Value());  // reading leaves the register alone
  crc.Update(0, nullptr);
  crc.Update(5, "56789");
  EXPECT_EQ(crc.Value(), 0xFC891918u);
  crc.Reset();
  EXPECT_EQ(crc.Value(), 0u);
  crc.Update(3, "abc");
  EXPECT_EQ(crc.Value(), 0x648CBB73u);
}

}  // namespace
}  // namespace dtk
