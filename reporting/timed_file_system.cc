#include "reporting/timed_file_system.h"

#include <chrono>
#include <utility>

#include "support/call_clock.h"

namespace dtk {

void TimedFileSystem::set_enabled(bool enabled) {
  if (enabled && latencies_ == nullptr) {
    latencies_ = std::make_unique<std::array<LatencyHistogram, kOperationCount>>();
    CallClock::Ticks();  // the clock's rate is measured now, not in a phase
  }
  enabled_ = enabled;
}

const LatencyHistogram& TimedFileSystem::latencies(Operation operation) const {
  static const LatencyHistogram kNone;
  return latencies_ == nullptr ? kNone : (*latencies_)[static_cast<int>(operation)];
}

void TimedFileSystem::Clear() {
  if (latencies_ != nullptr) {
    for (auto& histogram : *latencies_) histogram.Clear();
  }
  failures_.clear();
  failuresNotListed_ = 0;
}

void TimedFileSystem::AddFailure(Operation operation, std::string_view path, ErrorCode code) {
  if (failures_.size() < kMaxListedFailures) {
    failures_.push_back({operation, std::string(path), code});
    return;
  }
  // The list is full: the last place always holds the latest failure, the
  // one that ended the walk when one did.
  ++failuresNotListed_;
  failures_.back() = {operation, std::string(path), code};
}

void TimedFileSystem::RecordCall(FileCall call, uint64_t nanoseconds) {
  if (!enabled_) return;
  (*latencies_)[static_cast<int>(OperationOf(call))].Record(nanoseconds);
  RaiseSampleMax(nanoseconds);
}

void TimedFileSystem::RecordFailure(FileCall call, std::string_view path, ErrorCode code) {
  if (enabled_) AddFailure(OperationOf(call), path, code);
}

void TimedFileSystem::Opened(intptr_t handle, const char* path) {
  if (!enabled_) return;
  for (OpenPath& slot : openPaths_) {
    if (slot.handle == -1) {
      slot.handle = handle;
      slot.path.assign(path);
      return;
    }
  }
  openPaths_.push_back({handle, path});
}

void TimedFileSystem::Closed(intptr_t handle) {
  for (OpenPath& slot : openPaths_) {
    if (slot.handle == handle) slot.handle = -1;
  }
}

template <class Call>
ErrorCode TimedFileSystem::Timed(FileCall fileCall, const char* path, intptr_t handle,
                                 Call&& call) {
  if (!enabled_) return call();
  const Operation operation = OperationOf(fileCall);
  const uint64_t start = CallClock::Ticks();
  ErrorCode code = call();
  const uint64_t end = CallClock::Ticks();
  const uint64_t took = CallClock::Nanoseconds(end > start ? end - start : 0);
  (*latencies_)[static_cast<int>(operation)].Record(took);
  RaiseSampleMax(took);
  if (code != 0) {
    if (path != nullptr) {
      AddFailure(operation, path, code);
    } else {
      std::string_view known;
      for (const OpenPath& slot : openPaths_) {
        if (slot.handle == handle) known = slot.path;
      }
      AddFailure(operation, known, code);
    }
  }
  return code;
}

ErrorCode TimedFileSystem::OpenTarget(const char* path, DirHandle* dir) {
  return inner_.OpenTarget(path, dir);
}

ErrorCode TimedFileSystem::LockDirectory(DirHandle dir) { return inner_.LockDirectory(dir); }

ErrorCode TimedFileSystem::MakeDirectory(const EntryPlace& at) {
  return Timed(FileCall::kMakeDirectory, at.path, -1, [&] { return inner_.MakeDirectory(at); });
}

ErrorCode TimedFileSystem::OpenDirectory(const EntryPlace& at, DirHandle* dir) {
  ErrorCode code =
      Timed(FileCall::kOpenDirectory, at.path, -1, [&] { return inner_.OpenDirectory(at, dir); });
  if (code == 0) Opened(*dir, at.path);
  return code;
}

ErrorCode TimedFileSystem::FlushDirectory(DirHandle dir) {
  return Timed(FileCall::kFlushDirectory, nullptr, dir, [&] { return inner_.FlushDirectory(dir); });
}

ErrorCode TimedFileSystem::CloseDirectory(DirHandle dir) {
  ErrorCode code =
      Timed(FileCall::kCloseDirectory, nullptr, dir, [&] { return inner_.CloseDirectory(dir); });
  Closed(dir);  // the handle is gone whatever the result
  return code;
}

ErrorCode TimedFileSystem::OpenForWrite(const EntryPlace& at, FileHandle* file, IoMode mode) {
  ErrorCode code = Timed(FileCall::kOpenForWrite, at.path, -1,
                         [&] { return inner_.OpenForWrite(at, file, mode); });
  if (code == 0) Opened(*file, at.path);
  return code;
}

ErrorCode TimedFileSystem::OpenForRead(const EntryPlace& at, FileHandle* file, IoMode mode) {
  ErrorCode code = Timed(FileCall::kOpenForRead, at.path, -1,
                         [&] { return inner_.OpenForRead(at, file, mode); });
  if (code == 0) Opened(*file, at.path);
  return code;
}

ErrorCode TimedFileSystem::Write(FileHandle file, const void* data, uint32_t count) {
  return Timed(FileCall::kWrite, nullptr, file, [&] { return inner_.Write(file, data, count); });
}

ErrorCode TimedFileSystem::Read(FileHandle file, void* data, uint32_t count, uint32_t* got) {
  return Timed(FileCall::kRead, nullptr, file, [&] { return inner_.Read(file, data, count, got); });
}

ErrorCode TimedFileSystem::SetFileSize(FileHandle file, int64_t size) {
  return Timed(FileCall::kSetFileSize, nullptr, file,
               [&] { return inner_.SetFileSize(file, size); });
}

ErrorCode TimedFileSystem::Flush(FileHandle file) {
  return Timed(FileCall::kFlush, nullptr, file, [&] { return inner_.Flush(file); });
}

ErrorCode TimedFileSystem::Close(FileHandle file) {
  ErrorCode code = Timed(FileCall::kClose, nullptr, file, [&] { return inner_.Close(file); });
  Closed(file);  // the handle is gone whatever the result
  return code;
}

ErrorCode TimedFileSystem::DeleteFile(const EntryPlace& at) {
  return Timed(FileCall::kDeleteFile, at.path, -1, [&] { return inner_.DeleteFile(at); });
}

ErrorCode TimedFileSystem::RemoveDirectory(const EntryPlace& at) {
  return Timed(FileCall::kRemoveDirectory, at.path, -1, [&] { return inner_.RemoveDirectory(at); });
}

ErrorCode TimedFileSystem::DirectoryIsAt(DirHandle dir, const EntryPlace& at) {
  return inner_.DirectoryIsAt(dir, at);
}

ErrorCode TimedFileSystem::ProbeDirectIo(const EntryPlace& at, uint32_t* blockSize) {
  return inner_.ProbeDirectIo(at, blockSize);
}

ErrorCode TimedFileSystem::WriteWholeFile(const char* path, std::string_view text) {
  return inner_.WriteWholeFile(path, text);
}

}  // namespace dtk
