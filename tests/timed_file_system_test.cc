// The timing decorator (which failures it lists, and that it changes nothing
// in the calls) and the log-linear latency histograms it records into:
// bucket layout, accuracy and quantiles.
#include "reporting/timed_file_system.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <random>
#include <vector>

#include "engine/tester.h"
#include "fault_file_system.h"
#include "support/latency_histogram.h"
#include "support/mt_random.h"
#include "test_util.h"

namespace dtk {
namespace {
// Counts per kind of call, and their clearing between phases, are the whole
// run's (run_test); here, the failures listed and the calls left untouched.
TEST(TimedFileSystemTest, ListsFailuresWithTheirPathsTheFirstOnesAndTheLast) {
  TempDir dir;
  FaultFileSystem inner(SystemFileSystem());
  TimedFileSystem timed(inner);
  timed.set_enabled(true);
  TreeRoot root(timed, dir.path());
  const std::string sub = dir / "sub";
  const std::string file = dir / "sub/file";
  EntryPlace subAt = PlaceOf(root.dir(), sub, sub.size() - 3);
  ASSERT_EQ(timed.MakeDirectory(subAt), 0u);
  EXPECT_EQ(timed.MakeDirectory(subAt), kExists);
  WalkDir subDir;
  ASSERT_EQ(timed.OpenDirectory(subAt, &subDir.handle), 0u);
  EntryPlace fileAt = PlaceOf(subDir, file, file.size() - 4);
  FileHandle handle;
  ASSERT_EQ(timed.OpenForWrite(fileAt, &handle, IoMode::kCached), 0u);
  inner.FailCall(Op::kWrite, 1, ENOSPC);
  EXPECT_EQ(timed.Write(handle, "def", 3), static_cast<ErrorCode>(ENOSPC));
  ASSERT_EQ(timed.Close(handle), 0u);
  inner.FailCall(Op::kFlushDirectory, 1, EIO);
  EXPECT_EQ(timed.FlushDirectory(subDir.handle), static_cast<ErrorCode>(EIO));
  ASSERT_EQ(timed.DeleteFile(fileAt), 0u);
  EXPECT_EQ(timed.DeleteFile(fileAt), kNoSuchFile);
  ASSERT_EQ(timed.CloseDirectory(subDir.handle), 0u);
  ASSERT_EQ(timed.RemoveDirectory(subAt), 0u);
  // A call on a handle names the handle's file, or directory.
  std::string listed;
  for (const auto& failure : timed.failures()) {
    listed += std::string(OperationName(failure.operation)) + " " + failure.path + " " +
              std::to_string(failure.code) + "\n";
  }
  EXPECT_EQ(listed, "mkdir " + sub + " " + std::to_string(kExists) + "\nwrite " + file + " " +
                        std::to_string(ENOSPC) + "\nflush " + sub + " " + std::to_string(EIO) +
                        "\nunlink " + file + " " + std::to_string(kNoSuchFile) + "\n");
  // Past 1000, the first 999 failures are listed and the last; failed calls
  // are timed too.
  for (int i = 0; i < 1500; ++i) {
    std::string path = dir / ("gone-" + std::to_string(i));
    timed.DeleteFile(PlaceOf(root.dir(), path, dir.path().size() + 1));
  }
  ASSERT_EQ(timed.failures().size(), TimedFileSystem::kMaxListedFailures);
  EXPECT_EQ(timed.failuresNotListed(), 504u);
  EXPECT_EQ(timed.failures()[998].path, dir / "gone-994");
  EXPECT_EQ(timed.failures().back().path, dir / "gone-1499");
  EXPECT_EQ(timed.latencies(Operation::kUnlink).count(), 1502u);
  // Off, it only passes calls on.
  timed.Clear();
  timed.set_enabled(false);
  EXPECT_EQ(timed.DeleteFile(subAt), kNoSuchFile);
  EXPECT_EQ(inner.CountOf(Op::kDeleteFile), 1503);
  EXPECT_EQ(timed.latencies(Operation::kUnlink).count() + timed.failures().size() +
                timed.failuresNotListed(),
            0u);
}

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
  EXPECT_EQ(
      (std::array{all.count(), all.total(), all.min(), all.max()}),
      (std::array<uint64_t, 4>{100000, uint64_t{100000} * 100001 / 2 * 1000, 1000, 100000000}));
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

  // The sample of rank q * count rounded up, in the exact range: of seven,
  // the median is the fourth; cleared, a histogram starts again.
  all.Clear();
  EXPECT_EQ(all.count() + all.max(), 0u);
  for (uint64_t sample = 7; sample >= 1; --sample) all.Record(sample);
  EXPECT_EQ((std::array{all.Quantile(0.1), all.Quantile(0.5), all.Quantile(0.9), all.min()}),
            (std::array<uint64_t, 4>{1, 4, 7, 1}));
}

}  // namespace
}  // namespace dtk
