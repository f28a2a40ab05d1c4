#include "fault_file_system.h"

#include <new>
#include <string>

namespace dtk {

std::vector<uint32_t> FaultFileSystem::CountsOf(Op op) const {
  std::vector<uint32_t> counts;
  for (const auto& call : calls_)
    if (call.op == op) counts.push_back(call.count);
  return counts;
}

ErrorCode FaultFileSystem::Record(Op op, const char* path, uint32_t count, bool direct) {
  std::unique_lock<std::mutex> lock(mutex_);
  int n = ++seen_[static_cast<int>(op)];
  calls_.push_back({op, path ? path : "", count, direct});
  for (const auto& action : actions_) {
    if (action.op == op && action.nth == n) {
      // An action may call the file system itself.
      lock.unlock();
      action.run();
      lock.lock();
    }
  }
  for (const auto& fault : faults_) {
    if (fault.op == op &&
        (fault.nth == 0 ? path != nullptr && fault.path == path : fault.nth == n)) {
      if (fault.code == kThrowBadAlloc) throw std::bad_alloc();
      return fault.code;
    }
  }
  return 0;
}

ErrorCode FaultFileSystem::Open(Op op, const EntryPlace& at, FileHandle* file, IoMode mode,
                                ErrorCode (FileSystem::*open)(const EntryPlace&, FileHandle*,
                                                              IoMode)) {
  *file = kInvalidFile;
  if (ErrorCode code = Record(op, at.path, 0, mode == IoMode::kDirect)) return code;
  const bool playing = playedBlockSize_ != 0 && mode == IoMode::kDirect;
  ErrorCode result = (inner_.*open)(at, file, playing ? IoMode::kCached : mode);
  if (result == 0 && playing) {
    std::lock_guard<std::mutex> lock(mutex_);
    directOffsets_[*file] = 0;
  }
  return result;
}

bool FaultFileSystem::Aligned(FileHandle file, const void* data, uint32_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = directOffsets_.find(file);
  const uint64_t block = playedBlockSize_;
  return found == directOffsets_.end() || (reinterpret_cast<uintptr_t>(data) % block == 0 &&
                                           count % block == 0 && found->second % block == 0);
}

void FaultFileSystem::Advance(FileHandle file, uint32_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = directOffsets_.find(file);
  if (found != directOffsets_.end()) found->second += count;
}

ErrorCode FaultFileSystem::Write(FileHandle file, const void* data, uint32_t count) {
  if (ErrorCode code = Record(Op::kWrite, nullptr, count)) return code;
  if (!Aligned(file, data, count)) return kInvalidArgument;
  ErrorCode result = inner_.Write(file, data, count);
  if (result == 0) Advance(file, count);
  return result;
}

ErrorCode FaultFileSystem::Read(FileHandle file, void* data, uint32_t count, uint32_t* got) {
  *got = 0;
  if (ErrorCode code = Record(Op::kRead, nullptr, count)) return code;
  if (!Aligned(file, data, count)) return kInvalidArgument;
  if (readLimit_ != 0 && count > readLimit_) count = readLimit_;
  ErrorCode result = inner_.Read(file, data, count, got);
  if (result == 0) Advance(file, *got);
  return result;
}

ErrorCode FaultFileSystem::Close(FileHandle file) {
  ErrorCode real = inner_.Close(file);  // the handle goes whatever is reported
  std::unique_lock<std::mutex> lock(mutex_);
  directOffsets_.erase(file);
  lock.unlock();
  return Or(Record(Op::kClose), [&] { return real; });
}

ErrorCode FaultFileSystem::ProbeDirectIo(const EntryPlace& at, uint32_t* blockSize) {
  *blockSize = playedBlockSize_ != 0 ? playedBlockSize_ : kDefaultDirectBlockSize;
  if (directRefusal_ != 0) return directRefusal_;
  return playedBlockSize_ != 0 ? 0 : inner_.ProbeDirectIo(at, blockSize);
}

ErrorCode FaultFileSystem::Before(FileCall call, const char* path, uint32_t count) {
  return Record(call, path, count);
}

}  // namespace dtk
