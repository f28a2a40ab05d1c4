// The log-linear latency histogram: bucket layout, accuracy and quantiles.
#include "support/latency_histogram.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <vector>

#include "support/mt_random.h"

namespace dtk {
namespace {

TEST(LatencyHistogramTest, BucketsTileTheRangeWithoutGapsOrOverlaps) {
  using H = LatencyHistogram;
  EXPECT_EQ(H::BucketLow(0), 0u);
  for (int bucket = 0; bucket + 1 < H::kBucketCount; ++bucket) {
    ASSERT_EQ(H::BucketLow(bucket) + H::BucketWidth(bucket), H::BucketLow(bucket + 1)) << bucket;
    ASSERT_EQ(H::BucketOf(H::BucketLow(bucket)), bucket);
    ASSERT_EQ(H::BucketOf(H::BucketLow(bucket + 1) - 1), bucket);
  }
  // Exact below 256 ns; beyond 2^44 ns everything shares the last bucket.
  const int last = H::kBucketCount - 1;
  EXPECT_EQ((std::array{H::BucketOf(255), H::BucketOf(uint64_t{1} << 44), H::BucketOf(UINT64_MAX)}),
            (std::array{255, last, last}));
  EXPECT_EQ((std::array{H::BucketWidth(255), H::BucketWidth(256),
                        H::BucketLow(last) + H::BucketWidth(last)}),
            (std::array<uint64_t, 3>{1, 2, uint64_t{1} << 44}));
  // Every value is known within 0.4%.
  MtDefaultRandom random;
  for (int i = 0; i < 200000; ++i) {
    // Values spread over every scale from nanoseconds to hours.
    uint64_t value = (uint64_t{random.Next()} << 12 | random.Next() >> 20) >> (random.Next() % 44);
    int bucket = H::BucketOf(value);
    double middle = static_cast<double>(H::BucketLow(bucket)) + H::BucketWidth(bucket) / 2.0;
    ASSERT_LE(std::fabs(middle - static_cast<double>(value)), value / 256.0 + 0.5) << value;
  }
}

// 1, 2, ..., 100000 microseconds in a scrambled order, recorded by three
// processes: their histograms added bucket by bucket make the histogram of
// all the samples.
TEST(LatencyHistogramTest, QuantilesFollowTheSamplesAndPartsAddUp) {
  std::vector<uint64_t> samples;
  for (uint64_t k = 1; k <= 100000; ++k) samples.push_back(k * 1000);
  std::shuffle(samples.begin(), samples.end(), std::mt19937(1));
  LatencyHistogram parts[3];
  std::vector<uint64_t> buckets(LatencyHistogram::kBucketCount);
  uint64_t total = 0, min = UINT64_MAX, max = 0;
  for (size_t i = 0; i < samples.size(); ++i) parts[i % 3].Record(samples[i]);
  for (const LatencyHistogram& part : parts) {
    for (int k = 0; k < LatencyHistogram::kBucketCount; ++k) buckets[k] += part.buckets()[k];
    total += part.total();
    min = std::min(min, part.min());
    max = std::max(max, part.max());
  }
  LatencyHistogram all = LatencyHistogram::FromParts(buckets.data(), total, min, max);
  EXPECT_EQ(all.count(), 100000u);
  EXPECT_EQ(all.total(), uint64_t{100000} * 100001 / 2 * 1000);
  EXPECT_EQ((std::array{all.min(), all.max()}), (std::array<uint64_t, 2>{1000, 100000000}));
  EXPECT_EQ((std::array{all.Quantile(0), all.Quantile(1)}), (std::array{all.min(), all.max()}));
  for (double q : {0.5, 0.9, 0.99, 0.999}) {
    double exact = q * 100000 * 1000;  // the sample of rank q * count
    EXPECT_NEAR(static_cast<double>(all.Quantile(q)), exact, exact / 256) << q;
  }
  // No samples anywhere: an empty histogram, whatever the least value says.
  std::vector<uint64_t> none(LatencyHistogram::kBucketCount);
  LatencyHistogram empty = LatencyHistogram::FromParts(none.data(), 0, UINT64_MAX, 0);
  EXPECT_EQ((std::array{empty.count(), empty.min(), empty.Quantile(0.5)}),
            (std::array<uint64_t, 3>{}));

  // One slow call among many fast ones shows in the top quantile only.
  LatencyHistogram skewed;
  for (int i = 0; i < 999; ++i) skewed.Record(100);
  skewed.Record(5000000);
  EXPECT_EQ((std::array{skewed.Quantile(0.5), skewed.Quantile(0.999), skewed.Quantile(1)}),
            (std::array<uint64_t, 3>{100, 100, 5000000}));
  // The sample of rank q * count rounded up, in the exact range: of seven,
  // the median is the fourth.
  skewed.Clear();
  EXPECT_EQ(skewed.count() + skewed.max(), 0u);
  for (uint64_t sample = 7; sample >= 1; --sample) skewed.Record(sample);
  EXPECT_EQ((std::array{skewed.Quantile(0.1), skewed.Quantile(0.5), skewed.Quantile(0.9)}),
            (std::array<uint64_t, 3>{1, 4, 7}));
  EXPECT_EQ(skewed.min(), 1u);
}

}  // namespace
}  // namespace dtk
