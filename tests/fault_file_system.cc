#include "fault_file_system.h"

#include <new>

namespace dtk {

const char* OpName(Op op) {
  static const char* const names[] = {"mkdir",    "openDir", "flushDir", "closeDir", "openWrite",
                                      "openRead", "write",   "read",     "setSize",  "flush",
                                      "close",    "unlink",  "rmdir",    "report"};
  return names[static_cast<int>(op)];
}

void FaultFileSystem::FailCall(Op op, int nth, ErrorCode code, bool persistent,
                               uint32_t partialBytes) {
  faults_.push_back({op, nth, code, persistent, partialBytes});
}

int FaultFileSystem::CountOf(Op op) const { return seen_[static_cast<int>(op)]; }

std::vector<uint32_t> FaultFileSystem::CountsOf(Op op) const {
  std::vector<uint32_t> counts;
  for (const auto& call : calls_)
    if (call.op == op) counts.push_back(call.count);
  return counts;
}

const FaultFileSystem::Fault* FaultFileSystem::Record(Op op, const char* path, uint32_t count) {
  int n = ++seen_[static_cast<int>(op)];
  calls_.push_back({op, path ? path : "", count, 0});
  for (const auto& fault : faults_) {
    if (fault.op == op && (n == fault.nth || (fault.persistent && n > fault.nth))) {
      if (fault.code == kThrowBadAlloc) throw std::bad_alloc();
      return &fault;
    }
  }
  return nullptr;
}

ErrorCode FaultFileSystem::Finish(ErrorCode result) {
  calls_.back().result = result;
  return result;
}

ErrorCode FaultFileSystem::OpenTarget(const char* path, DirHandle* dir) {
  return inner_.OpenTarget(path, dir);
}

ErrorCode FaultFileSystem::MakeDirectory(const EntryPlace& at) {
  if (auto* fault = Record(Op::kMakeDirectory, at.path, 0)) return Finish(fault->code);
  return Finish(inner_.MakeDirectory(at));
}

ErrorCode FaultFileSystem::OpenDirectory(const EntryPlace& at, DirHandle* dir) {
  if (auto* fault = Record(Op::kOpenDirectory, at.path, 0)) {
    *dir = kInvalidDir;
    return Finish(fault->code);
  }
  return Finish(inner_.OpenDirectory(at, dir));
}

ErrorCode FaultFileSystem::FlushDirectory(DirHandle dir) {
  if (auto* fault = Record(Op::kFlushDirectory, nullptr, 0)) return Finish(fault->code);
  return Finish(inner_.FlushDirectory(dir));
}

ErrorCode FaultFileSystem::CloseDirectory(DirHandle dir) {
  ErrorCode real = inner_.CloseDirectory(dir);  // the handle goes whatever is reported
  if (auto* fault = Record(Op::kCloseDirectory, nullptr, 0)) return Finish(fault->code);
  return Finish(real);
}

template <class OpenCall>
ErrorCode FaultFileSystem::Open(Op op, const EntryPlace& at, FileHandle* file, IoMode mode,
                                OpenCall&& open) {
  const Fault* fault = Record(op, at.path, 0);
  calls_.back().direct = mode == IoMode::kDirect;
  if (fault != nullptr) {
    *file = kInvalidFile;
    return Finish(fault->code);
  }
  const bool playing = playedBlockSize_ != 0 && mode == IoMode::kDirect;
  ErrorCode result = open(playing ? IoMode::kCached : mode);
  if (result == 0 && playing) directOffsets_[*file] = 0;
  return Finish(result);
}

bool FaultFileSystem::MayTransfer(FileHandle file, const void* data, uint32_t count) {
  auto found = directOffsets_.find(file);
  if (found == directOffsets_.end()) return true;
  const uint64_t block = playedBlockSize_;
  return calls_.back().aligned = reinterpret_cast<uintptr_t>(data) % block == 0 &&
                                 count % block == 0 && found->second % block == 0;
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
  if (auto* fault = Record(Op::kWrite, nullptr, count)) {
    if (fault->partialBytes > 0) inner_.Write(file, data, fault->partialBytes);
    return Finish(fault->code);
  }
  if (!MayTransfer(file, data, count)) return Finish(kInvalidArgument);
  ErrorCode result = inner_.Write(file, data, count);
  if (result == 0 && directOffsets_.count(file) != 0) directOffsets_[file] += count;
  return Finish(result);
}

ErrorCode FaultFileSystem::Read(FileHandle file, void* data, uint32_t count, uint32_t* got) {
  *got = 0;
  if (auto* fault = Record(Op::kRead, nullptr, count)) return Finish(fault->code);
  if (!MayTransfer(file, data, count)) return Finish(kInvalidArgument);
  if (readLimit_ != 0 && count > readLimit_) count = readLimit_;
  ErrorCode result = inner_.Read(file, data, count, got);
  if (result == 0 && directOffsets_.count(file) != 0) directOffsets_[file] += *got;
  return Finish(result);
}

ErrorCode FaultFileSystem::SetFileSize(FileHandle file, int64_t size) {
  if (auto* fault = Record(Op::kSetFileSize, nullptr, 0)) return Finish(fault->code);
  return Finish(inner_.SetFileSize(file, size));
}

ErrorCode FaultFileSystem::Flush(FileHandle file) {
  if (auto* fault = Record(Op::kFlush, nullptr, 0)) return Finish(fault->code);
  return Finish(inner_.Flush(file));
}

ErrorCode FaultFileSystem::Close(FileHandle file) {
  ErrorCode real = inner_.Close(file);  // the handle goes whatever is reported
  directOffsets_.erase(file);
  if (auto* fault = Record(Op::kClose, nullptr, 0)) return Finish(fault->code);
  return Finish(real);
}

ErrorCode FaultFileSystem::DeleteFile(const EntryPlace& at) {
  if (auto* fault = Record(Op::kDeleteFile, at.path, 0)) return Finish(fault->code);
  return Finish(inner_.DeleteFile(at));
}

ErrorCode FaultFileSystem::RemoveDirectory(const EntryPlace& at) {
  if (auto* fault = Record(Op::kRemoveDirectory, at.path, 0)) return Finish(fault->code);
  return Finish(inner_.RemoveDirectory(at));
}

ErrorCode FaultFileSystem::ProbeDirectIo(const EntryPlace& at, uint32_t* blockSize) {
  *blockSize = playedBlockSize_ != 0 ? playedBlockSize_ : kDefaultDirectBlockSize;
  if (directRefusal_ != 0) return directRefusal_;
  if (playedBlockSize_ != 0) return 0;
  return inner_.ProbeDirectIo(at, blockSize);
}

ErrorCode FaultFileSystem::WriteWholeFile(const char* path, std::string_view text) {
  if (auto* fault = Record(Op::kWriteWholeFile, path, 0)) return Finish(fault->code);
  return Finish(inner_.WriteWholeFile(path, text));
}

}  // namespace dtk
