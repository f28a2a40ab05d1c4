#include "fault_file_system.h"

#include <new>

namespace dtk {

const char* OpName(Op op) {
  static const char* const names[] = {"mkdir", "openWrite", "openRead", "write",  "read",
                                      "flush", "flushDir",  "close",    "unlink", "rmdir"};
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

ErrorCode FaultFileSystem::MakeDirectory(const char* path) {
  if (auto* fault = Record(Op::kMakeDirectory, path, 0)) return Finish(fault->code);
  return Finish(inner_.MakeDirectory(path));
}

ErrorCode FaultFileSystem::OpenForWrite(const char* path, FileHandle* file) {
  if (auto* fault = Record(Op::kOpenForWrite, path, 0)) {
    *file = kInvalidFile;
    return Finish(fault->code);
  }
  return Finish(inner_.OpenForWrite(path, file));
}

ErrorCode FaultFileSystem::OpenForRead(const char* path, FileHandle* file) {
  if (auto* fault = Record(Op::kOpenForRead, path, 0)) {
    *file = kInvalidFile;
    return Finish(fault->code);
  }
  return Finish(inner_.OpenForRead(path, file));
}

ErrorCode FaultFileSystem::Write(FileHandle file, const void* data, uint32_t count) {
  if (auto* fault = Record(Op::kWrite, nullptr, count)) {
    if (fault->partialBytes > 0) inner_.Write(file, data, fault->partialBytes);
    return Finish(fault->code);
  }
  return Finish(inner_.Write(file, data, count));
}

ErrorCode FaultFileSystem::Read(FileHandle file, void* data, uint32_t count, uint32_t* got) {
  if (auto* fault = Record(Op::kRead, nullptr, count)) {
    *got = 0;
    return Finish(fault->code);
  }
  if (readLimit_ != 0 && count > readLimit_) count = readLimit_;
  return Finish(inner_.Read(file, data, count, got));
}

ErrorCode FaultFileSystem::Flush(FileHandle file) {
  if (auto* fault = Record(Op::kFlush, nullptr, 0)) return Finish(fault->code);
  return Finish(inner_.Flush(file));
}

ErrorCode FaultFileSystem::FlushDirectory(const char* path) {
  if (auto* fault = Record(Op::kFlushDirectory, path, 0)) return Finish(fault->code);
  return Finish(inner_.FlushDirectory(path));
}

ErrorCode FaultFileSystem::Close(FileHandle file) {
  ErrorCode real = inner_.Close(file);  // the handle goes whatever is reported
  if (auto* fault = Record(Op::kClose, nullptr, 0)) return Finish(fault->code);
  return Finish(real);
}

ErrorCode FaultFileSystem::DeleteFile(const char* path) {
  if (auto* fault = Record(Op::kDeleteFile, path, 0)) return Finish(fault->code);
  return Finish(inner_.DeleteFile(path));
}

ErrorCode FaultFileSystem::RemoveDirectory(const char* path) {
  if (auto* fault = Record(Op::kRemoveDirectory, path, 0)) return Finish(fault->code);
  return Finish(inner_.RemoveDirectory(path));
}

}  // namespace dtk
