// A file system that forwards to another one, records every call, and fails
// the N-th call of a kind (once, or from then on) or every call of a kind on
// one path with a chosen error, or makes reads short. Many threads may call
// it at once (each call is counted and recorded under a lock); faults are
// set before they do.
#ifndef DTK_TESTS_FAULT_FILE_SYSTEM_H_
#define DTK_TESTS_FAULT_FILE_SYSTEM_H_

#include <mutex>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace dtk {

// A fault with this code throws std::bad_alloc, as exhausted memory would.
constexpr ErrorCode kThrowBadAlloc = 0xFFFFFFFFu;
// A fault with this code lets the call go through, but first asks the run
// to stop as SIGTERM would.
constexpr ErrorCode kRequestStop = 0xFFFFFFFEu;

enum class Op {
  kMakeDirectory,
  kOpenDirectory,
  kFlushDirectory,
  kCloseDirectory,
  kOpenForWrite,
  kOpenForRead,
  kWrite,
  kRead,
  kFlush,
  kClose,
  kDeleteFile,
  kRemoveDirectory,
  kWriteWholeFile,
  kCount
};
const char* OpName(Op op);

class FaultFileSystem : public FileSystem {
 public:
  struct Call {
    Op op;
    std::string path;    // for calls that name a path
    uint32_t count = 0;  // bytes asked for, for reads and writes
    ErrorCode result = 0;
  };

  explicit FaultFileSystem(FileSystem& inner) : inner_(inner) {}

  // Makes the `nth` call of `op` (counted from 1) fail with `code`; with
  // `persistent`, every call of `op` from then on fails too. A failing write
  // first writes `partialBytes` of its data.
  void FailCall(Op op, int nth, ErrorCode code, bool persistent = false, uint32_t partialBytes = 0);
  // Makes every call of `op` on the path `path` fail with `code`.
  void FailPath(Op op, const std::string& path, ErrorCode code);
  // Every read returns at most `bytes` bytes.
  void LimitReads(uint32_t bytes) { readLimit_ = bytes; }

  const std::vector<Call>& calls() const { return calls_; }
  int CountOf(Op op) const;
  std::vector<uint32_t> CountsOf(Op op) const;  // byte counts of reads or writes

  ErrorCode OpenTarget(const char* path, DirHandle* dir) override;
  ErrorCode LockDirectory(DirHandle dir) override { return inner_.LockDirectory(dir); }
  ErrorCode MakeDirectory(const EntryPlace& at) override;
  ErrorCode OpenDirectory(const EntryPlace& at, DirHandle* dir) override;
  ErrorCode FlushDirectory(DirHandle dir) override;
  ErrorCode CloseDirectory(DirHandle dir) override;
  ErrorCode OpenForWrite(const EntryPlace& at, FileHandle* file) override;
  ErrorCode OpenForRead(const EntryPlace& at, FileHandle* file) override;
  ErrorCode Write(FileHandle file, const void* data, uint32_t count) override;
  ErrorCode Read(FileHandle file, void* data, uint32_t count, uint32_t* got) override;
  ErrorCode Flush(FileHandle file) override;
  ErrorCode Close(FileHandle file) override;
  ErrorCode DeleteFile(const EntryPlace& at) override;
  ErrorCode RemoveDirectory(const EntryPlace& at) override;
  ErrorCode WriteWholeFile(const char* path, std::string_view text) override;

 private:
  struct Fault {
    Op op;
    int nth;
    ErrorCode code;
    bool persistent;
    uint32_t partialBytes;
    std::string path;  // empty: any
  };
  // Records the call as number `*call`; returns the fault that applies to
  // it, or null.
  const Fault* Record(Op op, const char* path, uint32_t count, size_t* call);
  // Records the result of the call `call`.
  ErrorCode Finish(size_t call, ErrorCode result);

  FileSystem& inner_;
  std::mutex mutex_;
  std::vector<Fault> faults_;
  std::vector<Call> calls_;
  int seen_[static_cast<int>(Op::kCount)] = {};
  uint32_t readLimit_ = 0;
};

}  // namespace dtk

#endif  // DTK_TESTS_FAULT_FILE_SYSTEM_H_
