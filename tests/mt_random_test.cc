#include "support/mt_random.h"

#include <gtest/gtest.h>

#include <random>

namespace dtk {
namespace {

TEST(MtRandomTest, KnownOutputsForTheDefaultSeed) {
  MtDefaultRandom random;
  EXPECT_EQ(random.index(), 624u);
  EXPECT_EQ(random.state(1), 1301868182u);
  EXPECT_EQ(random.state(623), 79981964u);
  const uint32_t first[] = {3499211612u, 581869302u, 3890346734u, 3586334585u, 545404204u};
  for (uint32_t expected : first) EXPECT_EQ(random.Next(), expected);
  for (int i = 6; i < 624; ++i) random.Next();
  EXPECT_EQ(random.Next(), 4020325887u);  // the 624th
  EXPECT_EQ(random.Next(), 4178893912u);  // the first of the second block
  for (int i = 626; i < 10000; ++i) random.Next();
  EXPECT_EQ(random.Next(), 4123659995u);  // the 10,000th
}

TEST(MtRandomTest, FirstOutputForOtherSeeds) {
  EXPECT_EQ(MtRandom(0).Next(), 2357136044u);
  EXPECT_EQ(MtRandom(1).Next(), 1791095845u);
  EXPECT_EQ(MtRandom(0xFFFFFFFFu).Next(), 419326371u);
}

TEST(MtRandomTest, AgreesWithTheStandardLibraryOverManyBlocks) {
  for (uint32_t seed : {5489u, 0u, 1u, 0xFFFFFFFFu, 123456789u}) {
    MtRandom random(seed);
    std::mt19937 reference(seed);
    for (int i = 0; i < 5000; ++i) ASSERT_EQ(random.Next(), reference()) << seed << " " << i;
  }
}

TEST(MtRandomTest, GeneratorsAreIndependent) {
  MtDefaultRandom a;
  MtDefaultRandom b;
  for (int i = 0; i < 1000; ++i) a.Next();
  MtDefaultRandom fresh;
  for (int i = 0; i < 700; ++i) EXPECT_EQ(b.Next(), fresh.Next());
}

}  // namespace
}  // namespace dtk
