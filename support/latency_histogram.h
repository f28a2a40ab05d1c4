// A latency histogram of fixed size: log-linear buckets, exact below 256
// nanoseconds and 128 buckets to every doubling above, so every value is
// known to within 1/256 of itself (0.4%) whatever the number of samples.
#ifndef DTK_SUPPORT_LATENCY_HISTOGRAM_H_
#define DTK_SUPPORT_LATENCY_HISTOGRAM_H_

#include <array>
#include <cstdint>

namespace dtk {

class LatencyHistogram {
 public:
  // Values from 2^44 ns (about 4.9 hours) on share the last bucket.
  static constexpr int kSubBucketBits = 7;
  static constexpr int kTopBit = 44;
  static constexpr int kBucketCount = (kTopBit - kSubBucketBits + 1) << kSubBucketBits;

  void Record(uint64_t nanoseconds);
  void Clear();

  // The histogram of samples counted bucket by bucket in `buckets`
  // (kBucketCount of them), with their exact sum, least and greatest value:
  // histograms of several processes, their buckets, sums and counts added
  // and their least and greatest values compared, make the histogram of all
  // their samples.
  static LatencyHistogram FromParts(const uint64_t* buckets, uint64_t total, uint64_t min,
                                    uint64_t max);
  const std::array<uint64_t, kBucketCount>& buckets() const { return buckets_; }

  uint64_t count() const { return count_; }
  // Exact figures, in nanoseconds; 0 while the histogram is empty.
  uint64_t total() const { return total_; }
  uint64_t min() const { return count_ == 0 ? 0 : min_; }
  uint64_t max() const { return max_; }
  // The value below or at which a fraction `quantile` (0 to 1) of the
  // samples lie, by nearest rank: the middle of the bucket that holds that
  // sample, kept within min() and max(); the first and the last rank give
  // min() and max() exactly. 0 while the histogram is empty.
  uint64_t Quantile(double quantile) const;

  // Which bucket holds `nanoseconds`, and the lowest value of a bucket and
  // its width.
  static int BucketOf(uint64_t nanoseconds);
  static uint64_t BucketLow(int bucket);
  static uint64_t BucketWidth(int bucket);

 private:
  std::array<uint64_t, kBucketCount> buckets_{};
  uint64_t count_ = 0;
  uint64_t total_ = 0;
  uint64_t min_ = UINT64_MAX;
  uint64_t max_ = 0;
};

}  // namespace dtk

#endif  // DTK_SUPPORT_LATENCY_HISTOGRAM_H_
