// A file system that times every call made through it on a steady clock,
// keeps a latency histogram per kind of call and lists the calls that
// failed, for a report of the run. It changes nothing in what the calls do.
#ifndef DTK_ENGINE_TIMED_FILE_SYSTEM_H_
#define DTK_ENGINE_TIMED_FILE_SYSTEM_H_

#include <array>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/file_system.h"
#include "support/latency_histogram.h"

namespace dtk {

// The kinds of call, by the names a report uses on every platform. Opening
// for writing and for reading are both "open"; flushing a file and a
// directory are both "flush".
enum class Operation { kMkdir, kOpen, kWrite, kRead, kFlush, kClose, kUnlink, kRmdir };
constexpr int kOperationCount = 8;
const char* OperationName(Operation operation);

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
  void set_enabled(bool enabled) { enabled_ = enabled; }
  bool enabled() const { return enabled_; }
  // Forgets every figure and failure: the start of a phase.
  void Clear();

  const LatencyHistogram& latencies(Operation operation) const {
    return latencies_[static_cast<int>(operation)];
  }
  const std::vector<Failure>& failures() const { return failures_; }
  // Failures beyond the listed ones.
  uint64_t failuresNotListed() const { return failuresNotListed_; }

  ErrorCode MakeDirectory(const char* path) override;
  ErrorCode OpenForWrite(const char* path, FileHandle* file) override;
  ErrorCode OpenForRead(const char* path, FileHandle* file) override;
  ErrorCode Write(FileHandle file, const void* data, uint32_t count) override;
  ErrorCode Read(FileHandle file, void* data, uint32_t count, uint32_t* got) override;
  ErrorCode Flush(FileHandle file) override;
  ErrorCode FlushDirectory(const char* path) override;
  ErrorCode Close(FileHandle file) override;
  ErrorCode DeleteFile(const char* path) override;
  ErrorCode RemoveDirectory(const char* path) override;

 private:
  // Runs `call`, records its time under `operation`, and its failure with
  // the path `path` (or that of `file` when `path` is null).
  template <class Call>
  ErrorCode Timed(Operation operation, const char* path, FileHandle file, Call&& call);
  void AddFailure(Operation operation, std::string path, ErrorCode code);

  FileSystem& inner_;
  bool enabled_ = false;
  std::array<LatencyHistogram, kOperationCount> latencies_;
  std::vector<Failure> failures_;
  uint64_t failuresNotListed_ = 0;
  std::unordered_map<FileHandle, std::string> openPaths_;
};

}  // namespace dtk

#endif  // DTK_ENGINE_TIMED_FILE_SYSTEM_H_
