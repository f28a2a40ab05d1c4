#include "fault_file_system.h"

#include <new>
#include <string>

#include "platform/process.h"

namespace dtk {

const char* OpName(Op op) {
  static const char* const names[] = {"mkdir",    "openDir", "flushDir", "closeDir", "openWrite",
                                      "openRead", "write",   "read",     "setSize",  "flush",
                                      "close",    "unlink",  "rmdir",    "report"};
  return names[static_cast<int>(op)];
}

void FaultFileSystem::FailCall(Op op, int nth, ErrorCode code, bool persistent,
                               uint32_t partialBytes) {
  faults_.push_back({op, nth, code, persistent, partialBytes, std::string()});
}

void FaultFileSystem::FailPath(Op op, const std::string& path, ErrorCode code) {
  faults_.push_back({op, 1, code, true, 0, path});
}

int FaultFileSystem::CountOf(Op op) const { return seen_[static_cast<int>(op)]; }

std::vector<uint32_t> FaultFileSystem::CountsOf(Op op) const {
  std::vector<uint32_t> counts;
  for (const auto& call : calls_)
    if (call.op == op) counts.push_back(call.count);
  return counts;
}

const FaultFileSystem::Fault* FaultFileSystem::Record(Op op, const char* path, uint32_t count,
                                                      size_t* call) {
  std::unique_lock<std::mutex> lock(mutex_);
  int n = ++seen_[static_cast<int>(op)];
  *call = calls_.size();
  calls_.push_back({op, path ? path : "", count, 0});
  for (const auto& action : actions_) {
    if (action.op == op && action.nth == n) {
      // An action may call the file system itself.
      lock.unlock();
      action.run();
      lock.lock();
    }
  }
  for (const auto& fault : faults_) {
    if (fault.op == op && (n == fault.nth || (fault.persistent && n > fault.nth)) &&
        (fault.path.empty() || (path != nullptr && fault.path == path))) {
      if (fault.code == kThrowBadAlloc) throw std::bad_alloc();
      if (fault.code == kRequestStop) {
        RequestStop(15);
        return nullptr;
      }
      return &fault;
    }
  }
  return nullptr;
}

ErrorCode FaultFileSystem::Finish(size_t call, ErrorCode result) {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_[call].result = result;
  return result;
}

ErrorCode FaultFileSystem::OpenTarget(const char* path, DirHandle* dir) {
  return inner_.OpenTarget(path, dir);
}

ErrorCode FaultFileSystem::MakeDirectory(const EntryPlace& at) {
  size_t call;
  if (auto* fault = Record(Op::kMakeDirectory, at.path, 0, &call)) return Finish(call, fault->code);
  return Finish(call, inner_.MakeDirectory(at));
}

ErrorCode FaultFileSystem::OpenDirectory(const EntryPlace& at, DirHandle* dir) {
  size_t call;
  if (auto* fault = Record(Op::kOpenDirectory, at.path, 0, &call)) {
    *dir = kInvalidDir;
    return Finish(call, fault->code);
  }
  return Finish(call, inner_.OpenDirectory(at, dir));
}

ErrorCode FaultFileSystem::FlushDirectory(DirHandle dir) {
  size_t call;
  if (auto* fault = Record(Op::kFlushDirectory, nullptr, 0, &call)) {
    return Finish(call, fault->code);
  }
  return Finish(call, inner_.FlushDirectory(dir));
}

ErrorCode FaultFileSystem::CloseDirectory(DirHandle dir) {
  size_t call;
  ErrorCode real = inner_.CloseDirectory(dir);  // the handle goes whatever is reported
  if (auto* fault = Record(Op::kCloseDirectory, nullptr, 0, &call)) {
    return Finish(call, fault->code);
  }
  return Finish(call, real);
}

template <class OpenCall>
ErrorCode FaultFileSystem::Open(Op op, const EntryPlace& at, FileHandle* file, IoMode mode,
                                OpenCall&& open) {
  size_t call;
  const Fault* fault = Record(op, at.path, 0, &call);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_[call].direct = mode == IoMode::kDirect;
  }
  if (fault != nullptr) {
    *file = kInvalidFile;
    return Finish(call, fault->code);
  }
  const bool playing = playedBlockSize_ != 0 && mode == IoMode::kDirect;
  ErrorCode result = open(playing ? IoMode::kCached : mode);
  if (result == 0 && playing) {
    std::lock_guard<std::mutex> lock(mutex_);
    directOffsets_[*file] = 0;
  }
  return Finish(call, result);
}

bool FaultFileSystem::MayTransfer(size_t call, FileHandle file, const void* data, uint32_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = directOffsets_.find(file);
  if (found == directOffsets_.end()) return true;
  const uint64_t block = playedBlockSize_;
  return calls_[call].aligned = reinterpret_cast<uintptr_t>(data) % block == 0 &&
                                count % block == 0 && found->second % block == 0;
}

void FaultFileSystem::Advance(FileHandle file, uint32_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = directOffsets_.find(file);
  if (found != directOffsets_.end()) found->second += count;
}

ErrorCode FaultFileSystem::OpenForWrite(const EntryPlace& at, FileHandle* file, IoMode mode) {
  return Open(Op::kOpenForWrite, at, file, mode,
              [&](IoMode inner) { return inner_.OpenForWrite(at, file, inner); });
}

ErrorCode FaultFileSystem::OpenForRead(const EntryPlace& at, FileHandle* file, IoMode mode) {
  return Open(Op::kOpenForRead, at, file, mode,
              [&](IoMode inner) { return inner_.OpenForRead(at, file, inner); });
}

ErrorCode FaultFileSystem::Write(FileHandle file, const void* data, uint32_t count) {
  size_t call;
  if (auto* fault = Record(Op::kWrite, nullptr, count, &call)) {
    if (fault->partialBytes > 0) inner_.Write(file, data, fault->partialBytes);
    return Finish(call, fault->code);
  }
  if (!MayTransfer(call, file, data, count)) return Finish(call, kInvalidArgument);
  ErrorCode result = inner_.Write(file, data, count);
  if (result == 0) Advance(file, count);
  return Finish(call, result);
}

ErrorCode FaultFileSystem::Read(FileHandle file, void* data, uint32_t count, uint32_t* got) {
  *got = 0;
  size_t call;
  if (auto* fault = Record(Op::kRead, nullptr, count, &call)) return Finish(call, fault->code);
  if (!MayTransfer(call, file, data, count)) return Finish(call, kInvalidArgument);
  if (readLimit_ != 0 && count > readLimit_) count = readLimit_;
  ErrorCode result = inner_.Read(file, data, count, got);
  if (result == 0) Advance(file, *got);
  return Finish(call, result);
}

ErrorCode FaultFileSystem::SetFileSize(FileHandle file, int64_t size) {
  size_t call;
  if (auto* fault = Record(Op::kSetFileSize, nullptr, 0, &call)) return Finish(call, fault->code);
  return Finish(call, inner_.SetFileSize(file, size));
}

ErrorCode FaultFileSystem::Flush(FileHandle file) {
  size_t call;
  if (auto* fault = Record(Op::kFlush, nullptr, 0, &call)) return Finish(call, fault->code);
  return Finish(call, inner_.Flush(file));
}

ErrorCode FaultFileSystem::Close(FileHandle file) {
  size_t call;
  ErrorCode real = inner_.Close(file);  // the handle goes whatever is reported
  {
    std::lock_guard<std::mutex> lock(mutex_);
    directOffsets_.erase(file);
  }
  if (auto* fault = Record(Op::kClose, nullptr, 0, &call)) return Finish(call, fault->code);
  return Finish(call, real);
}

ErrorCode FaultFileSystem::DeleteFile(const EntryPlace& at) {
  size_t call;
  if (auto* fault = Record(Op::kDeleteFile, at.path, 0, &call)) return Finish(call, fault->code);
  return Finish(call, inner_.DeleteFile(at));
}

ErrorCode FaultFileSystem::RemoveDirectory(const EntryPlace& at) {
  size_t call;
  if (auto* fault = Record(Op::kRemoveDirectory, at.path, 0, &call)) {
    return Finish(call, fault->code);
  }
  return Finish(call, inner_.RemoveDirectory(at));
}

ErrorCode FaultFileSystem::ProbeDirectIo(const EntryPlace& at, uint32_t* blockSize) {
  *blockSize = playedBlockSize_ != 0 ? playedBlockSize_ : kDefaultDirectBlockSize;
  if (directRefusal_ != 0) return directRefusal_;
  if (playedBlockSize_ != 0) return 0;
  return inner_.ProbeDirectIo(at, blockSize);
}

ErrorCode FaultFileSystem::Before(EngineCall call, const char* path, uint32_t count) {
  static const Op kOps[] = {Op::kOpenForWrite, Op::kOpenForRead, Op::kWrite,     Op::kRead,
                            Op::kFlush,        Op::kClose,      Op::kDeleteFile, Op::kSetFileSize};
  size_t number;
  const Fault* fault = Record(kOps[static_cast<int>(call)], path, count, &number);
  return fault != nullptr ? Finish(number, fault->code) : 0;
}

ErrorCode FaultFileSystem::WriteWholeFile(const char* path, std::string_view text) {
  size_t call;
  if (auto* fault = Record(Op::kWriteWholeFile, path, 0, &call)) return Finish(call, fault->code);
  return Finish(call, inner_.WriteWholeFile(path, text));
}

}  // namespace dtk
