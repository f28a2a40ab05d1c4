// Benchmarks of the tool's own work, apart from the file system: the CRC
// forms on transfer-buffer-sized runs, CRCs of pattern stretches without
// their bytes, the planner, and the create and remove phases over a file
// system that does nothing.
//
//   build/bench/dtk_bench                      all of them
//   build/bench/dtk_bench --benchmark_filter=Crc
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <random>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "engine/tester.h"
#include "reporting/console.h"
#include "reporting/phase_frame.h"
#include "support/crc32.h"
#include "support/mt_random.h"
#include "support/ring_crc.h"
#include "tree/planner.h"

namespace dtk {
namespace {

constexpr size_t kTransferBytes = 0x20000;  // 128 KiB, one read or write

using UpdateFunction = uint32_t (*)(uint32_t, const uint8_t*, uint64_t);

void RunCrc(benchmark::State& state, UpdateFunction update) {
  std::vector<uint8_t> data(kTransferBytes);
  std::mt19937 random(1);
  for (auto& byte : data) byte = static_cast<uint8_t>(random());
  uint32_t reg = 0xFFFFFFFFu;
  for (auto _ : state) {
    reg = update(reg, data.data(), data.size());
    benchmark::DoNotOptimize(reg);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kTransferBytes);
}

void BM_CrcTable(benchmark::State& state) { RunCrc(state, &Crc32::UpdateTable); }
void BM_CrcSlicing16(benchmark::State& state) { RunCrc(state, &Crc32::UpdateSlicing16); }
void BM_CrcFolding(benchmark::State& state) {
  if (!Crc32::FoldingAvailable()) {
    state.SkipWithError("this CPU has no carry-less multiplication");
    return;
  }
  RunCrc(state, &Crc32::UpdateFolding);
}
void BM_CrcWideFolding(benchmark::State& state) {
  if (!Crc32::WideFoldingAvailable()) {
    state.SkipWithError("this CPU has no 256-bit carry-less multiplication");
    return;
  }
  RunCrc(state, &Crc32::UpdateWideFolding);
}
void BM_CrcFolding512(benchmark::State& state) {
  if (!Crc32::Folding512Available()) {
    state.SkipWithError("this CPU has no 512-bit carry-less multiplication");
    return;
  }
  RunCrc(state, &Crc32::UpdateFolding512);
}
void BM_CrcUpdate(benchmark::State& state) { RunCrc(state, &Crc32::UpdateFastest); }

// CRCs of ring stretches without their bytes, as files of the tree take
// them from the 256 KiB pattern: each starts where the one before ended and
// is 1 to `range(0)` bytes long (100,000: at most one wrap; 2^40: many).
void BM_RingCrc(benchmark::State& state) {
  constexpr uint32_t kRingSize = 0x40000;
  std::vector<uint8_t> ring(kRingSize);
  std::mt19937 random(1);
  for (auto& byte : ring) byte = static_cast<uint8_t>(random());
  RingCrc crc;
  if (crc.Init(ring.data(), kRingSize) != 0) {
    state.SkipWithError("no memory for the ring's tables");
    return;
  }
  std::vector<uint64_t> lengths(4096);
  std::mt19937_64 random64(2);
  for (auto& length : lengths) length = 1 + random64() % static_cast<uint64_t>(state.range(0));
  uint32_t start = 0;
  uint32_t sum = 0;
  size_t i = 0;
  for (auto _ : state) {
    uint64_t length = lengths[i++ % lengths.size()];
    sum += crc.Crc(start, length);
    start = static_cast<uint32_t>((start + length) % kRingSize);
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

// Its set-up: the prefix registers and powers of one 256 KiB ring.
void BM_RingCrcInit(benchmark::State& state) {
  std::vector<uint8_t> ring(0x40000, 7);
  for (auto _ : state) {
    RingCrc crc;
    benchmark::DoNotOptimize(crc.Init(ring.data(), static_cast<uint32_t>(ring.size())));
  }
}

// For scale: the copy of one chunk of pattern into the transfer buffer, both
// page-aligned as the tester's are, from an offset into the pattern
// (0 or 16 bytes).
void BM_CopyChunk(benchmark::State& state) {
  const size_t offset = static_cast<size_t>(state.range(0));
  auto* from = static_cast<uint8_t*>(::operator new[](2 * kTransferBytes, std::align_val_t(4096)));
  auto* to = static_cast<uint8_t*>(::operator new[](kTransferBytes, std::align_val_t(4096)));
  std::memset(from, 1, 2 * kTransferBytes);
  std::memset(to, 0, kTransferBytes);
  for (auto _ : state) {
    std::memcpy(to, from + offset, kTransferBytes);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kTransferBytes);
  ::operator delete[](from, std::align_val_t(4096));
  ::operator delete[](to, std::align_val_t(4096));
}

BENCHMARK(BM_CopyChunk)->Arg(0)->Arg(16)->ArgName("offset");
BENCHMARK(BM_CrcTable);
BENCHMARK(BM_CrcSlicing16);
BENCHMARK(BM_CrcFolding);
BENCHMARK(BM_CrcWideFolding);
BENCHMARK(BM_CrcFolding512);
BENCHMARK(BM_CrcUpdate);
BENCHMARK(BM_RingCrc)->Arg(100000)->Arg(int64_t{1} << 40)->ArgName("max_length");
BENCHMARK(BM_RingCrcInit)->Unit(benchmark::kMicrosecond);

// The two workloads bench/compare.sh times: the default tree (about 2,100
// files) and 10 MiB in files of 1 to 200 bytes, 1,000 to a directory
// (about 104,000 files).
TestConfig Workload(int64_t which) {
  TestConfig config;
  if (which == 1) {
    config.totalSize = 10 << 20;
    config.maxFileSize = 200;
    config.maxDirFiles = 1000;
  }
  return config;
}

// Bytes allocated and not yet released, from the heap and from the blocks
// the C library maps on their own.
size_t HeapInUse() {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 33)
  struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
#else
  return 0;
#endif
}

// Plans per second, and the heap the plan holds per entry.
void BM_Plan(benchmark::State& state) {
  const TestConfig config = Workload(state.range(0));
  size_t entries = 0;
  size_t heap = 0;
  for (auto _ : state) {
    MtDefaultRandom random;
    FileList root;
    size_t before = HeapInUse();
    if (CreateFileList(root, config, random) != 0) {
      state.SkipWithError("the plan could not be made");
      return;
    }
    heap = HeapInUse() - before;
    PlanTotals totals = CountPlan(root);
    entries = totals.files + totals.directories;
    state.PauseTiming();
    root.Clear();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * entries));
  state.counters["entries"] = static_cast<double>(entries);
  state.counters["bytes_per_entry"] = entries ? static_cast<double>(heap) / entries : 0;
}
BENCHMARK(BM_Plan)->Arg(0)->Arg(1)->ArgName("workload")->Unit(benchmark::kMillisecond);

// Accepts every call and moves no data: what is left of a phase is the
// tool's own work per entry and per byte.
class NullFileSystem : public FileSystem {
 public:
  ErrorCode OpenTarget(const char*, DirHandle* dir) override {
    *dir = 3;
    return 0;
  }
  ErrorCode LockDirectory(DirHandle) override { return 0; }
  ErrorCode MakeDirectory(const EntryPlace&) override { return 0; }
  ErrorCode OpenDirectory(const EntryPlace&, DirHandle* dir) override {
    *dir = 3;
    return 0;
  }
  ErrorCode FlushDirectory(DirHandle) override { return 0; }
  ErrorCode CloseDirectory(DirHandle) override { return 0; }
  ErrorCode OpenForWrite(const EntryPlace&, FileHandle* file, IoMode) override {
    *file = 3;
    return 0;
  }
  ErrorCode OpenForRead(const EntryPlace&, FileHandle* file, IoMode) override {
    *file = 3;
    return 0;
  }
  ErrorCode Write(FileHandle, const void*, uint32_t) override { return 0; }
  ErrorCode Read(FileHandle, void*, uint32_t count, uint32_t* got) override {
    *got = count;
    return 0;
  }
  ErrorCode SetFileSize(FileHandle, int64_t) override { return 0; }
  ErrorCode Flush(FileHandle) override { return 0; }
  ErrorCode Close(FileHandle) override { return 0; }
  ErrorCode DeleteFile(const EntryPlace&) override { return 0; }
  ErrorCode RemoveDirectory(const EntryPlace&) override { return 0; }
  ErrorCode DirectoryIsAt(DirHandle, const EntryPlace&) override { return 0; }
  ErrorCode ProbeDirectIo(const EntryPlace&, uint32_t* blockSize) override {
    *blockSize = kDefaultDirectBlockSize;
    return 0;
  }
  ErrorCode WriteWholeFile(const char*, std::string_view) override { return 0; }
};

class StillClock : public Clock {
 public:
  int64_t Now() override { return 0; }
};

// The create and remove phases of a workload with their lines formatted
// and buffered as when standard error is a file, and then dropped: entries
// per second, and the heap per entry of the plan and the marks of what was
// made together.
void BM_CreateAndRemoveWithoutIo(benchmark::State& state) {
  const TestConfig config = Workload(state.range(0));
  NullFileSystem fileSystem;
  StillClock clock;
  size_t entries = 0;
  size_t heap = 0;
  for (auto _ : state) {
    size_t before = HeapInUse();
    MtDefaultRandom random;
    FileList plan;
    CreateFileList(plan, config, random);
    StreamConsole console([](int, const char*, size_t) { return true; }, false, false);
    auto tester = std::make_unique<DtkTest>(fileSystem, console, clock);
    TreeRoot root(fileSystem, "/benchmark/target/directory");
    tester->Create(plan, root);
    heap = HeapInUse() - before;
    PlanTotals totals = CountPlan(plan);
    entries = totals.files + totals.directories;
    tester->Remove(plan, root);
    state.PauseTiming();
    tester.reset();
    plan.Clear();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * entries));
  state.counters["entries"] = static_cast<double>(entries);
  // Less the tester's transfer buffer, its pattern laid down twice and the
  // console's two buffers.
  double buffers = DtkTest::kIoBufferSize + 4096 + 2 * DtkTest::kPatternSize;
  state.counters["bytes_per_entry"] = entries ? (heap - buffers) / entries : 0;
}
BENCHMARK(BM_CreateAndRemoveWithoutIo)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("workload")
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace dtk

BENCHMARK_MAIN();
