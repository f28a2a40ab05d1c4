#include "support/latency_histogram.h"

#include <bit>
#include <cmath>

namespace dtk {

int LatencyHistogram::BucketOf(uint64_t nanoseconds) {
  constexpr uint64_t kExactLimit = uint64_t{2} << kSubBucketBits;  // 256
  if (nanoseconds < kExactLimit) return static_cast<int>(nanoseconds);
  if (nanoseconds >= uint64_t{1} << kTopBit) return kBucketCount - 1;
  // In [2^e, 2^(e+1)): 128 buckets of 2^(e-7) each.
  int e = std::bit_width(nanoseconds) - 1;
  int shift = e - kSubBucketBits;
  return ((shift) << kSubBucketBits) + static_cast<int>(nanoseconds >> shift);
}

uint64_t LatencyHistogram::BucketLow(int bucket) {
  int shift = (bucket >> kSubBucketBits) - 1;
  if (shift <= 0) return static_cast<uint64_t>(bucket);
  uint64_t sub =
      static_cast<uint64_t>(bucket & ((1 << kSubBucketBits) - 1)) | (1u << kSubBucketBits);
  return sub << shift;
}

uint64_t LatencyHistogram::BucketWidth(int bucket) {
  int shift = (bucket >> kSubBucketBits) - 1;
  return shift <= 0 ? 1 : uint64_t{1} << shift;
}

void LatencyHistogram::Record(uint64_t nanoseconds) {
  ++buckets_[BucketOf(nanoseconds)];
  ++count_;
  total_ += nanoseconds;
  if (nanoseconds < min_) min_ = nanoseconds;
  if (nanoseconds > max_) max_ = nanoseconds;
}

LatencyHistogram LatencyHistogram::FromParts(const uint64_t* buckets, uint64_t total, uint64_t min,
                                             uint64_t max) {
  LatencyHistogram histogram;
  for (int bucket = 0; bucket < kBucketCount; ++bucket) {
    histogram.buckets_[bucket] = buckets[bucket];
    histogram.count_ += buckets[bucket];
  }
  if (histogram.count_ == 0) return histogram;
  histogram.total_ = total;
  histogram.min_ = min;
  histogram.max_ = max;
  return histogram;
}

void LatencyHistogram::Clear() { *this = LatencyHistogram(); }

uint64_t LatencyHistogram::Quantile(double quantile) const {
  if (count_ == 0) return 0;
  if (quantile < 0) quantile = 0;
  if (quantile > 1) quantile = 1;
  uint64_t rank = static_cast<uint64_t>(std::ceil(quantile * static_cast<double>(count_)));
  // The smallest and the largest sample are known exactly.
  if (rank <= 1) return min_;
  if (rank >= count_) return max_;
  uint64_t seen = 0;
  for (int bucket = 0; bucket < kBucketCount; ++bucket) {
    seen += buckets_[bucket];
    if (seen >= rank) {
      uint64_t middle = BucketLow(bucket) + BucketWidth(bucket) / 2;
      if (middle < min_) return min_;
      if (middle > max_) return max_;
      return middle;
    }
  }
  return max_;
}

}  // namespace dtk
