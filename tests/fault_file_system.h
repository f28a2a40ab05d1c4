// A file system that forwards to another one, records every call, and fails
// the N-th call of a kind (once, or from then on) with a chosen error, or
// makes reads short. The calls a batch engine makes itself are recorded
// and failed the same way.
#ifndef DTK_TESTS_FAULT_FILE_SYSTEM_H_
#define DTK_TESTS_FAULT_FILE_SYSTEM_H_

#include <functional>
#include <string>
#include <vector>

#include "engine/batch_engine.h"
#include "platform/file_system.h"

namespace dtk {

// A fault with this code throws std::bad_alloc, as exhausted memory would.
constexpr ErrorCode kThrowBadAlloc = 0xFFFFFFFFu;

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

class FaultFileSystem : public FileSystem, public EngineFaults {
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
  // Runs `action` just before the `nth` call of `op` is made.
  void AtCall(Op op, int nth, std::function<void()> action) {
    actions_.push_back({op, nth, std::move(action)});
  }
  // Every read returns at most `bytes` bytes (of the file system's own reads).
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
  ErrorCode Before(EngineCall call, const char* path, uint32_t count) override;

 private:
  struct Fault {
    Op op;
    int nth;
    ErrorCode code;
    bool persistent;
    uint32_t partialBytes;
  };
  // Records the call; returns the fault that applies to it, or null.
  const Fault* Record(Op op, const char* path, uint32_t count);
  ErrorCode Finish(ErrorCode result);

  FileSystem& inner_;
  std::vector<Fault> faults_;
  struct Action {
    Op op;
    int nth;
    std::function<void()> run;
  };
  std::vector<Action> actions_;
  std::vector<Call> calls_;
  int seen_[static_cast<int>(Op::kCount)] = {};
  uint32_t readLimit_ = 0;
};

}  // namespace dtk

#endif  // DTK_TESTS_FAULT_FILE_SYSTEM_H_
