#include "support/mt_random.h"

#include <gtest/gtest.h>

#include <random>

namespace dtk {
namespace {

// Output for output the standard library's MT19937, over several blocks of
// 624, from the default seed and from others; generators share no state.
TEST(MtRandomTest, AgreesWithTheStandardLibrary) {
  MtDefaultRandom first;
  EXPECT_EQ(first.Next(), 3499211612u);
  for (uint32_t seed : {5489u, 0u, 1u, 0xFFFFFFFFu, 123456789u}) {
    MtRandom random(seed);
    MtDefaultRandom other;
    std::mt19937 reference(seed);
    for (int i = 0; i < 5000; ++i) {
      ASSERT_EQ(random.Next(), reference()) << seed << " " << i;
      if (i < 700) other.Next();
    }
  }
}

}  // namespace
}  // namespace dtk
