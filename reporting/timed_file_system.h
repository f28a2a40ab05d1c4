// A file system that times every call made through it on a steady clock,
// keeps a latency histogram per kind of call and lists the calls that
// failed, for a report of the run. It changes nothing in what the calls do.
#ifndef DTK_REPORTING_TIMED_FILE_SYSTEM_H_
#define DTK_REPORTING_TIMED_FILE_SYSTEM_H_

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "platform/operation.h"
#include "support/latency_histogram.h"

namespace dtk {

class TimedFileSystem : public FileSystem {
 public:
  struct Failure {
    Operation operation;
    std::string path;  // of the file a handle belongs to, for calls on handles
    ErrorCode code;
  };
  // At most this many failures are listed: the first ones and the last.
  static constexpr size_t kMaxListedFailures = 1000;

  explicit TimedFileSystem(FileSystem& inner) : inner_(inner) {}

  // While off (at first), calls are passed on without being timed or kept.
  // The histograms (some 40 KB each) are made when it is first turned on,
  // so that a run without a report neither clears nor touches them.
  void set_enabled(bool enabled);
  bool enabled() const { return enabled_; }
  // Forgets every figure and failure: the start of a phase.
  void Clear();

  const LatencyHistogram& latencies(Operation operation) const;
  const std::vector<Failure>& failures() const { return failures_; }
  // Failures beyond the listed ones.
  uint64_t failuresNotListed() const { return failuresNotListed_; }

  // A call made past this file system by someone who timed it (an engine
  // with its own calls): its time goes under the kind of `call`. Nothing
  // while off.
  void RecordCall(FileCall call, uint64_t nanoseconds);
  // A failure of such a call, listed as this file system's own are.
  void RecordFailure(FileCall call, std::string_view path, ErrorCode code);
  // The time of the slowest call since the last time this was asked, in
  // nanoseconds (0: none), for a timeline's sample; another thread may ask.
  uint64_t TakeSampleMax() { return sampleMax_.exchange(0, std::memory_order_relaxed); }

  ErrorCode OpenTarget(const char* path, DirHandle* dir) override;
  ErrorCode LockDirectory(DirHandle dir) override;
  ErrorCode MakeDirectory(const EntryPlace& at) override;
  ErrorCode OpenDirectory(const EntryPlace& at, DirHandle* dir) override;
  ErrorCode FlushDirectory(DirHandle dir) override;
  ErrorCode CloseDirectory(DirHandle dir) override;
  ErrorCode OpenForWrite(const EntryPlace& at, FileHandle* file, IoMode mode) override;
  ErrorCode OpenForRead(const EntryPlace& at, FileHandle* file, IoMode mode) override;
  ErrorCode Write(FileHandle file, const void* data, uint32_t count) override;
  ErrorCode Read(FileHandle file, void* data, uint32_t count, uint32_t* got) override;
  ErrorCode SetFileSize(FileHandle file, int64_t size) override;
  ErrorCode Flush(FileHandle file) override;
  ErrorCode Close(FileHandle file) override;
  ErrorCode DeleteFile(const EntryPlace& at) override;
  ErrorCode RemoveDirectory(const EntryPlace& at) override;
  ErrorCode DirectoryIsAt(DirHandle dir, const EntryPlace& at) override;
  ErrorCode ProbeDirectIo(const EntryPlace& at, uint32_t* blockSize) override;
  ErrorCode WriteWholeFile(const char* path, std::string_view text) override;

 private:
  // Runs `call`, records its time under the kind of `fileCall`, and its
  // failure with the path `path` (or that of the open file or directory
  // `handle` when `path` is null).
  template <class Call>
  ErrorCode Timed(FileCall fileCall, const char* path, intptr_t handle, Call&& call);
  void AddFailure(Operation operation, std::string_view path, ErrorCode code);
  // Keeps the path of a file or directory opened, for failures of calls on
  // it; forgets it when it closes.
  void Opened(intptr_t handle, const char* path);
  void Closed(intptr_t handle);

  // Keeps the slowest call since TakeSampleMax.
  void RaiseSampleMax(uint64_t nanoseconds) {
    uint64_t seen = sampleMax_.load(std::memory_order_relaxed);
    while (nanoseconds > seen &&
           !sampleMax_.compare_exchange_weak(seen, nanoseconds, std::memory_order_relaxed)) {
    }
  }

  FileSystem& inner_;
  bool enabled_ = false;
  std::atomic<uint64_t> sampleMax_{0};
  std::unique_ptr<std::array<LatencyHistogram, kOperationCount>> latencies_;
  std::vector<Failure> failures_;
  uint64_t failuresNotListed_ = 0;
  // The few files and directories open at once, with their paths; a slot
  // keeps its string's room when its handle closes.
  struct OpenPath {
    intptr_t handle = -1;
    std::string path;
  };
  std::vector<OpenPath> openPaths_;
};

}  // namespace dtk

#endif  // DTK_REPORTING_TIMED_FILE_SYSTEM_H_
