// A file system that forwards to another one, records every call, and fails
// the N-th call of a kind or every call of a kind on one path with a chosen
// error, or makes reads short, or plays a file system's unbuffered I/O. The
// calls a batch engine makes itself are recorded and failed the same way.
// Many threads may call it at once (each call is counted and recorded under
// a lock); faults are set before they do.
#ifndef DTK_TESTS_FAULT_FILE_SYSTEM_H_
#define DTK_TESTS_FAULT_FILE_SYSTEM_H_

#include <cerrno>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "engine/file_engine.h"
#include "platform/file_system.h"

namespace dtk {

// A fault with this code throws std::bad_alloc, as exhausted memory would.
constexpr ErrorCode kThrowBadAlloc = 0xFFFFFFFFu;

// What the system says of an unaligned unbuffered transfer.
#ifdef _WIN32
constexpr ErrorCode kInvalidArgument = 87;  // ERROR_INVALID_PARAMETER
#else
constexpr ErrorCode kInvalidArgument = EINVAL;
#endif

// The double's calls are the file system's own, and its reports.
using Op = FileCall;
constexpr FileCall kWriteWholeFile = FileCall::kCount;

class FaultFileSystem : public FileSystem, public EngineFaults {
 public:
  struct Call {
    Op op;
    std::string path;     // for calls that name a path
    uint32_t count = 0;   // bytes asked for, for reads and writes
    bool direct = false;  // opens: IoMode::kDirect
  };

  explicit FaultFileSystem(FileSystem& inner) : inner_(inner) {}

  // Makes the `nth` call of `op` (counted from 1) fail with `code`.
  void FailCall(Op op, int nth, ErrorCode code) { faults_.push_back({op, nth, code, "", nullptr}); }
  // Makes every call of `op` on the path `path` fail with `code`.
  void FailPath(Op op, const std::string& path, ErrorCode code) {
    faults_.push_back({op, 0, code, path, nullptr});
  }
  // Runs `action` just before the `nth` call of `op` is made.
  void AtCall(Op op, int nth, std::function<void()> action) {
    actions_.push_back({op, nth, 0, "", std::move(action)});
  }
  // Every read returns at most `bytes` bytes (of the file system's own reads).
  void LimitReads(uint32_t bytes) { readLimit_ = bytes; }
  // Plays a file system that takes unbuffered I/O in blocks of `blockSize`
  // bytes: ProbeDirectIo finds that size, and a transfer on a file opened
  // with IoMode::kDirect that does not start at a multiple of a block in
  // the file and in memory, or does not move whole blocks, fails with
  // kInvalidArgument. The files go through the inner file system's cache.
  void PlayDirectIo(uint32_t blockSize) { playedBlockSize_ = blockSize; }
  // Plays a file system that refuses unbuffered I/O with `code`.
  void RefuseDirectIo(ErrorCode code) { directRefusal_ = code; }

  const std::vector<Call>& calls() const { return calls_; }
  int CountOf(Op op) const { return seen_[static_cast<int>(op)]; }
  std::vector<uint32_t> CountsOf(Op op) const;  // byte counts of reads or writes

  ErrorCode OpenTarget(const char* path, DirHandle* dir) override {
    return inner_.OpenTarget(path, dir);
  }
  ErrorCode LockDirectory(DirHandle dir) override { return inner_.LockDirectory(dir); }
  ErrorCode MakeDirectory(const EntryPlace& at) override {
    return Or(Record(Op::kMakeDirectory, at.path), [&] { return inner_.MakeDirectory(at); });
  }
  ErrorCode OpenDirectory(const EntryPlace& at, DirHandle* dir) override {
    *dir = kInvalidDir;
    return Or(Record(Op::kOpenDirectory, at.path), [&] { return inner_.OpenDirectory(at, dir); });
  }
  ErrorCode FlushDirectory(DirHandle dir) override {
    return Or(Record(Op::kFlushDirectory), [&] { return inner_.FlushDirectory(dir); });
  }
  ErrorCode CloseDirectory(DirHandle dir) override {
    ErrorCode real = inner_.CloseDirectory(dir);  // the handle goes whatever is reported
    return Or(Record(Op::kCloseDirectory), [&] { return real; });
  }
  ErrorCode OpenForWrite(const EntryPlace& at, FileHandle* file, IoMode mode) override {
    return Open(Op::kOpenForWrite, at, file, mode, &FileSystem::OpenForWrite);
  }
  ErrorCode OpenForRead(const EntryPlace& at, FileHandle* file, IoMode mode) override {
    return Open(Op::kOpenForRead, at, file, mode, &FileSystem::OpenForRead);
  }
  ErrorCode Write(FileHandle file, const void* data, uint32_t count) override;
  ErrorCode Read(FileHandle file, void* data, uint32_t count, uint32_t* got) override;
  ErrorCode SetFileSize(FileHandle file, int64_t size) override {
    return Or(Record(Op::kSetFileSize), [&] { return inner_.SetFileSize(file, size); });
  }
  ErrorCode Flush(FileHandle file) override {
    return Or(Record(Op::kFlush), [&] { return inner_.Flush(file); });
  }
  ErrorCode Close(FileHandle file) override;
  ErrorCode DeleteFile(const EntryPlace& at) override {
    return Or(Record(Op::kDeleteFile, at.path), [&] { return inner_.DeleteFile(at); });
  }
  ErrorCode RemoveDirectory(const EntryPlace& at) override {
    return Or(Record(Op::kRemoveDirectory, at.path), [&] { return inner_.RemoveDirectory(at); });
  }
  ErrorCode DirectoryIsAt(DirHandle dir, const EntryPlace& at) override {
    return inner_.DirectoryIsAt(dir, at);
  }
  ErrorCode ProbeDirectIo(const EntryPlace& at, uint32_t* blockSize) override;
  ErrorCode WriteWholeFile(const char* path, std::string_view text) override {
    return Or(Record(kWriteWholeFile, path), [&] { return inner_.WriteWholeFile(path, text); });
  }
  ErrorCode Before(FileCall call, const char* path, uint32_t count) override;

 private:
  // A fault (`code` for the `nth` call of `op`, or for every call on
  // `path` where `nth` is 0) or an action (`run` before the `nth` call).
  struct Rule {
    Op op;
    int nth;
    ErrorCode code;
    std::string path;
    std::function<void()> run;
  };
  // Records the call; returns the error a fault gives it, or 0.
  ErrorCode Record(Op op, const char* path = nullptr, uint32_t count = 0, bool direct = false);
  // `code` if it is an error, else what `make` returns.
  template <class Make>
  static ErrorCode Or(ErrorCode code, Make&& make) {
    return code != 0 ? code : make();
  }
  // Opens with the inner file system's `open`.
  ErrorCode Open(Op op, const EntryPlace& at, FileHandle* file, IoMode mode,
                 ErrorCode (FileSystem::*open)(const EntryPlace&, FileHandle*, IoMode));
  // Whether a transfer of `count` bytes at `data` on `file` may go ahead:
  // aligned, as a file system playing unbuffered I/O requires of a file
  // opened for it.
  bool Aligned(FileHandle file, const void* data, uint32_t count);
  // Moves the offset of a file opened for unbuffered I/O by `count` bytes.
  void Advance(FileHandle file, uint32_t count);

  FileSystem& inner_;
  std::mutex mutex_;
  std::vector<Rule> faults_;
  std::vector<Rule> actions_;
  std::vector<Call> calls_;
  int seen_[static_cast<int>(FileCall::kCount) + 1] = {};
  uint32_t readLimit_ = 0;
  uint32_t playedBlockSize_ = 0;  // 0: unbuffered I/O is the inner file system's
  ErrorCode directRefusal_ = 0;
  std::map<FileHandle, uint64_t> directOffsets_;  // files opened unbuffered: their offsets
};

}  // namespace dtk

#endif  // DTK_TESTS_FAULT_FILE_SYSTEM_H_
