// The log-linear latency histogram: bucket layout, accuracy and quantiles.
#include "support/latency_histogram.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
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
  EXPECT_EQ(H::BucketOf(255), 255);
  EXPECT_EQ(H::BucketWidth(255), 1u);
  EXPECT_EQ(H::BucketWidth(256), 2u);
  EXPECT_EQ(H::BucketOf(uint64_t{1} << 44), H::kBucketCount - 1);
  EXPECT_EQ(H::BucketOf(UINT64_MAX), H::kBucketCount - 1);
  EXPECT_EQ(H::BucketLow(H::kBucketCount - 1) + H::BucketWidth(H::kBucketCount - 1),
            uint64_t{1} << 44);
  // Every value is known within 0.4%.
  MtDefaultRandom random;
  for (int i = 0; i < 200000; ++i) {
    // Values spread over every scale from nanoseconds to hours.
    uint64_t value = (uint64_t{random.Next()} << 12 | random.Next() >> 20) >> (random.Next() % 44);
    int bucket = LatencyHistogram::BucketOf(value);
    double middle = static_cast<double>(LatencyHistogram::BucketLow(bucket)) +
                    static_cast<double>(LatencyHistogram::BucketWidth(bucket)) / 2;
    ASSERT_LE(std::fabs(middle - static_cast<double>(value)), value / 256.0 + 0.5) << value;
  }
}

TEST(LatencyHistogramTest, QuantilesFollowTheSamples) {
  LatencyHistogram histogram;
  // 1, 2, ..., 100000 microseconds, in a scrambled order.
  std::vector<uint64_t> samples;
  for (uint64_t k = 1; k <= 100000; ++k) samples.push_back(k * 1000);
  MtDefaultRandom random;
  for (size_t i = samples.size() - 1; i > 0; --i)
    std::swap(samples[i], samples[random.Next() % (i + 1)]);
  for (uint64_t sample : samples) histogram.Record(sample);

  EXPECT_EQ(histogram.count(), 100000u);
  EXPECT_EQ(histogram.total(), uint64_t{100000} * 100001 / 2 * 1000);
  EXPECT_EQ(histogram.min(), 1000u);
  EXPECT_EQ(histogram.max(), 100000000u);
  EXPECT_EQ(histogram.Quantile(0), 1000u);
  EXPECT_EQ(histogram.Quantile(1), 100000000u);
  for (double q : {0.5, 0.9, 0.99, 0.999}) {
    double exact = q * 100000 * 1000;  // the sample of rank q * count
    EXPECT_NEAR(static_cast<double>(histogram.Quantile(q)), exact, exact / 256) << q;
  }

  // One slow call among many fast ones shows in the top quantile only.
  LatencyHistogram skewed;
  for (int i = 0; i < 999; ++i) skewed.Record(100);
  skewed.Record(5000000);
  EXPECT_EQ(skewed.Quantile(0.5), 100u);
  EXPECT_EQ(skewed.Quantile(0.99), 100u);
  EXPECT_EQ(skewed.Quantile(0.999), 100u);
  EXPECT_EQ(skewed.Quantile(1), 5000000u);

  // The sample of rank q * count rounded up, in the exact range: of seven,
  // the median is the fourth.
  skewed.Clear();
  EXPECT_EQ(skewed.count(), 0u);
  EXPECT_EQ(skewed.max(), 0u);
  for (uint64_t sample = 7; sample >= 1; --sample) skewed.Record(sample);
  EXPECT_EQ(skewed.Quantile(0.5), 4u);
  EXPECT_EQ(skewed.Quantile(0.9), 7u);
  EXPECT_EQ(skewed.Quantile(0.1), 1u);
  EXPECT_EQ(skewed.min(), 1u);
}

// Histograms of several processes, added bucket by bucket, make the
// histogram of all their samples: the same quantiles as one histogram that
// recorded them all.
TEST(LatencyHistogramTest, HistogramsAddedUpAreTheHistogramOfAllSamples) {
  LatencyHistogram parts[3];
  LatencyHistogram all;
  MtDefaultRandom random;
  for (int i = 0; i < 30000; ++i) {
    // Three processes, each slower than the one before.
    uint64_t sample = (random.Next() % 100000) * static_cast<uint64_t>(i % 3 + 1);
    parts[i % 3].Record(sample);
    all.Record(sample);
  }
  std::vector<uint64_t> buckets(LatencyHistogram::kBucketCount);
  uint64_t total = 0;
  uint64_t min = UINT64_MAX;
  uint64_t max = 0;
  for (const LatencyHistogram& part : parts) {
    for (int k = 0; k < LatencyHistogram::kBucketCount; ++k) buckets[k] += part.buckets()[k];
    total += part.total();
    min = std::min(min, part.min());
    max = std::max(max, part.max());
  }
  LatencyHistogram merged = LatencyHistogram::FromParts(buckets.data(), total, min, max);
  EXPECT_EQ(merged.count(), 30000u);
  EXPECT_EQ((std::array{merged.total(), merged.min(), merged.max()}),
            (std::array{all.total(), all.min(), all.max()}));
  for (double q : {0.0, 0.5, 0.9, 0.99, 0.999, 1.0}) {
    EXPECT_EQ(merged.Quantile(q), all.Quantile(q)) << q;
  }

  // No samples anywhere: an empty histogram, whatever the least value says.
  std::vector<uint64_t> none(LatencyHistogram::kBucketCount);
  LatencyHistogram empty = LatencyHistogram::FromParts(none.data(), 0, UINT64_MAX, 0);
  EXPECT_EQ(empty.count(), 0u);
  EXPECT_EQ(empty.min(), 0u);
  EXPECT_EQ(empty.Quantile(0.5), 0u);
}

}  // namespace
}  // namespace dtk
