#include "fault_file_system.h"

#include <new>
#include <string>

#include "platform/process.h"

namespace dtk {

const char* OpName(Op op) {
  static const char* const names[] = {"mkdir",    "openDir", "flushDir", "closeDir", "openWrite",
                                      "openRead", "write",   "read",     "flush",    "close",
                                      "unlink",   "rmdir",   "report"};
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
  std::lock_guard<std::mutex> lock(mutex_);
  int n = ++seen_[static_cast<int>(op)];
  *call = calls_.size();
  calls_.push_back({op, path ? path : "", count, 0});
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
  if (auto* fault = Record(Op::kFlushDirectory, nullptr, 0, &call))
    return Finish(call, fault->code);
  return Finish(call, inner_.FlushDirectory(dir));
}

ErrorCode FaultFileSystem::CloseDirectory(DirHandle dir) {
  size_t call;
  ErrorCode real = inner_.CloseDirectory(dir);  // the handle goes whatever is reported
  if (auto* fault = Record(Op::kCloseDirectory, nullptr, 0, &call))
    return Finish(call, fault->code);
  return Finish(call, real);
}

ErrorCode FaultFileSystem::OpenForWrite(const EntryPlace& at, FileHandle* file) {
  size_t call;
  if (auto* fault = Record(Op::kOpenForWrite, at.path, 0, &call)) {
    *file = kInvalidFile;
    return Finish(call, fault->code);
  }
  return Finish(call, inner_.OpenForWrite(at, file));
}

ErrorCode FaultFileSystem::OpenForRead(const EntryPlace& at, FileHandle* file) {
  size_t call;
  if (auto* fault = Record(Op::kOpenForRead, at.path, 0, &call)) {
    *file = kInvalidFile;
    return Finish(call, fault->code);
  }
  return Finish(call, inner_.OpenForRead(at, file));
}

ErrorCode FaultFileSystem::Write(FileHandle file, const void* data, uint32_t count) {
  size_t call;
  if (auto* fault = Record(Op::kWrite, nullptr, count, &call)) {
    if (fault->partialBytes > 0) inner_.Write(file, data, fault->partialBytes);
    return Finish(call, fault->code);
  }
  return Finish(call, inner_.Write(file, data, count));
}

ErrorCode FaultFileSystem::Read(FileHandle file, void* data, uint32_t count, uint32_t* got) {
  size_t call;
  if (auto* fault = Record(Op::kRead, nullptr, count, &call)) {
    *got = 0;
    return Finish(call, fault->code);
  }
  if (readLimit_ != 0 && count > readLimit_) count = readLimit_;
  return Finish(call, inner_.Read(file, data, count, got));
}

ErrorCode FaultFileSystem::Flush(FileHandle file) {
  size_t call;
  if (auto* fault = Record(Op::kFlush, nullptr, 0, &call)) return Finish(call, fault->code);
  return Finish(call, inner_.Flush(file));
}

ErrorCode FaultFileSystem::Close(FileHandle file) {
  size_t call;
  ErrorCode real = inner_.Close(file);  // the handle goes whatever is reported
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
  if (auto* fault = Record(Op::kRemoveDirectory, at.path, 0, &call))
    return Finish(call, fault->code);
  return Finish(call, inner_.RemoveDirectory(at));
}

ErrorCode FaultFileSystem::WriteWholeFile(const char* path, std::string_view text) {
  size_t call;
  if (auto* fault = Record(Op::kWriteWholeFile, path, 0, &call)) return Finish(call, fault->code);
  return Finish(call, inner_.WriteWholeFile(path, text));
}

}  // namespace dtk
