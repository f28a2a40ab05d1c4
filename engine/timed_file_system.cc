#include "engine/timed_file_system.h"

#include <chrono>
#include <utility>

namespace dtk {

const char* OperationName(Operation operation) {
  static const char* const names[kOperationCount] = {"mkdir", "open",  "write",  "read",
                                                     "flush", "close", "unlink", "rmdir"};
  return names[static_cast<int>(operation)];
}

void TimedFileSystem::Clear() {
  for (auto& histogram : latencies_) histogram.Clear();
  failures_.clear();
  failuresNotListed_ = 0;
}

void TimedFileSystem::AddFailure(Operation operation, std::string path, ErrorCode code) {
  if (failures_.size() < kMaxListedFailures) {
    failures_.push_back({operation, std::move(path), code});
    return;
  }
  // The list is full: the last place always holds the latest failure, the
  // one that ended the walk when one did.
  ++failuresNotListed_;
  failures_.back() = {operation, std::move(path), code};
}

template <class Call>
ErrorCode TimedFileSystem::Timed(Operation operation, const char* path, FileHandle file,
                                 Call&& call) {
  if (!enabled_) return call();
  auto start = std::chrono::steady_clock::now();
  ErrorCode code = call();
  auto elapsed = std::chrono::steady_clock::now() - start;
  auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count();
  latencies_[static_cast<int>(operation)].Record(
      nanoseconds < 0 ? 0 : static_cast<uint64_t>(nanoseconds));
  if (code != 0) {
    if (path != nullptr) {
      AddFailure(operation, path, code);
    } else {
      auto found = openPaths_.find(file);
      AddFailure(operation, found == openPaths_.end() ? std::string() : found->second, code);
    }
  }
  return code;
}

ErrorCode TimedFileSystem::MakeDirectory(const char* path) {
  return Timed(Operation::kMkdir, path, kInvalidFile, [&] { return inner_.MakeDirectory(path); });
}

ErrorCode TimedFileSystem::OpenForWrite(const char* path, FileHandle* file) {
  ErrorCode code =
      Timed(Operation::kOpen, path, kInvalidFile, [&] { return inner_.OpenForWrite(path, file); });
  if (code == 0 && enabled_) openPaths_[*file] = path;
  return code;
}

ErrorCode TimedFileSystem::OpenForRead(const char* path, FileHandle* file) {
  ErrorCode code =
      Timed(Operation::kOpen, path, kInvalidFile, [&] { return inner_.OpenForRead(path, file); });
  if (code == 0 && enabled_) openPaths_[*file] = path;
  return code;
}

ErrorCode TimedFileSystem::Write(FileHandle file, const void* data, uint32_t count) {
  return Timed(Operation::kWrite, nullptr, file, [&] { return inner_.Write(file, data, count); });
}

ErrorCode TimedFileSystem::Read(FileHandle file, void* data, uint32_t count, uint32_t* got) {
  return Timed(Operation::kRead, nullptr, file,
               [&] { return inner_.Read(file, data, count, got); });
}

ErrorCode TimedFileSystem::Flush(FileHandle file) {
  return Timed(Operation::kFlush, nullptr, file, [&] { return inner_.Flush(file); });
}

ErrorCode TimedFileSystem::FlushDirectory(const char* path) {
  return Timed(Operation::kFlush, path, kInvalidFile, [&] { return inner_.FlushDirectory(path); });
}

ErrorCode TimedFileSystem::Close(FileHandle file) {
  ErrorCode code = Timed(Operation::kClose, nullptr, file, [&] { return inner_.Close(file); });
  openPaths_.erase(file);  // the handle is gone whatever the result
  return code;
}

ErrorCode TimedFileSystem::DeleteFile(const char* path) {
  return Timed(Operation::kUnlink, path, kInvalidFile, [&] { return inner_.DeleteFile(path); });
}

ErrorCode TimedFileSystem::RemoveDirectory(const char* path) {
  return Timed(Operation::kRmdir, path, kInvalidFile, [&] { return inner_.RemoveDirectory(path); });
}

}  // namespace dtk
