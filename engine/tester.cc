#include "engine/tester.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "engine/tree_walk.h"
#include "platform/process.h"
#include "reporting/format.h"
#include "tree/planner.h"

namespace dtk {
namespace {

// "<word><path> (<size> bytes) No.<number>\n", the progress line of a file.
void PrintFileLine(Console& console, std::string_view word, std::string_view path, int64_t size,
                   uint32_t number) {
  ErrorLine(console, ErrorLine::kProgress)
      .Add(word)
      .Add(path)
      .Add(" (")
      .Int64(size)
      .Add(" bytes) No.")
      .Unsigned(number)
      .Add("\n")
      .Send();
}

}  // namespace

void DtkTest::AlignedDelete::operator()(uint8_t* bytes) const {
  ::operator delete[](bytes, std::align_val_t(kBufferAlignment));
}

DtkTest::AlignedBytes DtkTest::AllocateBytes(size_t count) {
  return AlignedBytes(static_cast<uint8_t*>(
      ::operator new[](count, std::align_val_t(kBufferAlignment), std::nothrow)));
}

DtkTest::DtkTest(FileSystem& fileSystem, Console& console, Clock& clock, const PathStyle& pathStyle)
    : fileSystem_(fileSystem),
      console_(console),
      pathStyle_(pathStyle),
      consoleFrame_(console, clock) {}

DtkTest::~DtkTest() = default;

int DtkTest::SetUpTransferBuffer() {
  if (ioBuffer_) return 0;
  ioBuffer_ = AllocateBytes(kIoBufferSize);
  if (!ioBuffer_) return -1;
  ioBufferSize_ = kIoBufferSize;
  return 0;
}

int DtkTest::MakePattern(uint32_t byteCount) {
  pattern_.reset();
  pattern_ = AllocateBytes(byteCount == 0 ? 1 : byteCount);
  if (!pattern_) return -1;
  patternSize_ = byteCount;
  uint8_t* bytes = pattern_.get();
  for (uint32_t i = 0; i < byteCount; i += 4) {
    uint32_t word = patternRandom_.Next();
    uint32_t take = std::min<uint32_t>(4, byteCount - i);
    for (uint32_t k = 0; k < take; ++k) bytes[i + k] = static_cast<uint8_t>(word >> (8 * k));
  }
  return 0;
}

void DtkTest::TakePattern(uint8_t* dest, uint32_t count) {
  // The pattern is a ring; a chunk no larger than the pattern wraps at most
  // once, so it arrives in at most two copies.
  while (count > 0) {
    uint32_t run = std::min(count, patternSize_ - patternPos_);
    std::memcpy(dest, pattern_.get() + patternPos_, run);
    dest += run;
    count -= run;
    patternPos_ += run;
    if (patternPos_ == patternSize_) patternPos_ = 0;
  }
}

void DtkTest::TakeChunk(uint32_t count) {
  TakePattern(ioBuffer_.get(), count);
  crc_.Update(count, ioBuffer_.get());
}

int DtkTest::SetUpCreateBuffers() {
  if (SetUpTransferBuffer() != 0) return -1;
  if (!pattern_ && MakePattern(kPatternSize) < 0) return -1;
  return 0;
}

int DtkTest::ComputeCrcs(FileList& plannedList) {
  if (SetUpCreateBuffers() != 0) return -1;
  return WalkPlannedEntries(plannedList, [&](FileEntry& entry) {
    if (entry.IsDirectory()) return 0;
    crc_.Reset();
    for (int64_t remaining = entry.size; remaining > 0;) {
      uint32_t chunk = static_cast<uint32_t>(std::min<int64_t>(remaining, ioBufferSize_));
      TakeChunk(chunk);
      remaining -= chunk;
    }
    entry.crcValue = crc_.Value();
    return 0;
  });
}

int DtkTest::Create(FileList& plannedList, const char* targetDir) {
  if (SetUpCreateBuffers() != 0) return -1;
  created_ = PhaseCounters();
  return RunPhaseFrame(*frame_, kCreateText, created_, times_,
                       [&] { return CreateTree(plannedList, targetDir); });
}

int DtkTest::CreateTree(FileList& plannedList, const char* targetDir) {
  // Room for a copy of every planned entry up front, so the list never
  // grows by reallocation during the walk; without the room it grows as
  // needed.
  PlanTotals plan = CountPlan(plannedList);
  createdList_.Reserve(createdList_.size() + plan.files + plan.directories);

  // Directories whose last entry has been made, for the sync option: a
  // directory is flushed once the walk has left it.
  std::vector<std::string> openDirs;
  auto flushDirsNotAbove = [&](const std::string& path) -> int {
    while (!openDirs.empty()) {
      const std::string& dir = openDirs.back();
      bool inside = path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0;
      if (inside) break;
      ErrorCode code = fileSystem_.FlushDirectory(dir.c_str());
      if (code != 0) {
        console_.ErrorF("WriteFile Error!: %s\n", SystemErrorText(code));
        return -1;
      }
      openDirs.pop_back();
    }
    return 0;
  };

  int status = WalkPlannedTree(
      plannedList, targetDir, pathStyle_, [&](FileEntry& entry, const std::string& path) -> int {
        if (sync_ && flushDirsNotAbove(path) != 0) return -1;
        FileEntry copy;
        if (copy.SetName(path) != 0) return -1;
        copy.size = entry.size;
        copy.attributes = entry.attributes;
        copy.crcValue = entry.crcValue;
        if (createdList_.Append(std::move(copy)) != 0) return -1;
        if (entry.IsDirectory()) {
          ErrorLine(console_, ErrorLine::kProgress)
              .Add("CreateDirecrory ")
              .Add(path)
              .Add("\n")
              .Send();
          // A directory that cannot be made stops nothing here: the first
          // file below it fails instead.
          fileSystem_.MakeDirectory(path.c_str());
          ++created_.second;
          if (sync_) openDirs.push_back(path + pathStyle_.separator);
          return 0;
        }
        PrintFileLine(console_, "CreateFile ", path, entry.size, created_.files + 1);
        return CreateOneFile(path.c_str(), entry);
      });
  if (status == 0 && sync_) {
    status = flushDirsNotAbove(std::string());
    if (status == 0) {
      ErrorCode code = fileSystem_.FlushDirectory(targetDir);
      if (code != 0) {
        console_.ErrorF("WriteFile Error!: %s\n", SystemErrorText(code));
        status = -1;
      }
    }
  }
  return status;
}

int DtkTest::CreateOneFile(const char* path, FileEntry& entry) {
  FileHandle file;
  ErrorCode code = fileSystem_.OpenForWrite(path, &file);
  if (code != 0) {
    console_.ErrorF("CreateFile Error!: %s\n", SystemErrorText(code));
    return -1;
  }
  crc_.Reset();
  for (int64_t remaining = entry.size; remaining > 0;) {
    uint32_t chunk = static_cast<uint32_t>(std::min<int64_t>(remaining, ioBufferSize_));
    TakeChunk(chunk);
    code = fileSystem_.Write(file, ioBuffer_.get(), chunk);
    if (code != 0) break;
    remaining -= chunk;
  }
  if (code == 0 && sync_) code = fileSystem_.Flush(file);
  // Close reports what a network file system could not write back; a file
  // whose data may be lost is not a file written completely.
  ErrorCode closeCode = fileSystem_.Close(file);
  if (code == 0) code = closeCode;
  if (code != 0) {
    console_.ErrorF("WriteFile Error!: %s\n", SystemErrorText(code));
    return -1;
  }
  entry.crcValue = crc_.Value();
  ++created_.files;
  created_.bytes += entry.size;
  return 0;
}

int DtkTest::Verify(const FileList& plannedList, const char* targetDir) {
  if (SetUpTransferBuffer() != 0) return -1;
  verified_ = PhaseCounters();
  return RunPhaseFrame(*frame_, kVerifyText, verified_, times_,
                       [&] { return VerifyTree(plannedList, targetDir); });
}

int DtkTest::VerifyTree(const FileList& plannedList, const char* targetDir) {
  return WalkPlannedTree(plannedList, targetDir, pathStyle_,
                         [&](const FileEntry& entry, const std::string& path) -> int {
                           if (entry.IsDirectory()) return 0;
                           ErrorLine(console_, ErrorLine::kProgress)
                               .Add("Verify ")
                               .Add(path)
                               .Add(" (")
                               .Hex8(entry.crcValue)
                               .Add(":")
                               .Int64(entry.size)
                               .Add(" bytes) No.")
                               .Unsigned(verified_.files + 1)
                               .Add("\n")
                               .Send();
                           return VerifyOneFile(path.c_str(), entry);
                         });
}

int DtkTest::VerifyOneFile(const char* path, const FileEntry& entry) {
  FileHandle file;
  ErrorCode code = fileSystem_.OpenForRead(path, &file);
  if (code != 0) {
    console_.ErrorF("CreateFile Error!: %s\n", SystemErrorText(code));
    return -1;
  }
  crc_.Reset();
  for (int64_t remaining = entry.size; remaining > 0;) {
    uint32_t chunk = static_cast<uint32_t>(std::min<int64_t>(remaining, ioBufferSize_));
    uint32_t got = 0;
    code = fileSystem_.Read(file, ioBuffer_.get(), chunk, &got);
    if (code != 0) {
      console_.ErrorF("ReadFile Error!: %s\n", SystemErrorText(code));
      fileSystem_.Close(file);
      return -1;
    }
    if (got == 0) {
      console_.Error("FileSize Error!\n");
      fileSystem_.Close(file);
      return -1;
    }
    crc_.Update(got, ioBuffer_.get());
    remaining -= got;
  }
  fileSystem_.Close(file);
  ++verified_.files;
  verified_.bytes += entry.size;
  if (crc_.Value() != entry.crcValue) {
    ++verified_.second;
    console_.Error("CRC Error!\n");
    if (observer_ != nullptr) observer_->OnCrcMismatch(path, entry.crcValue, crc_.Value());
  }
  return 0;
}

int DtkTest::Remove() {
  if (createdList_.empty()) return 0;
  removed_ = PhaseCounters();
  return RunPhaseFrame(*frame_, kRemoveText, removed_, times_, [&] { return RemoveWalk(); });
}

int DtkTest::RemoveWalk() {
  // The remove phase does not heed a stop request: it is what cleans up
  // after one.
  for (auto it = createdList_.rbegin(); it != createdList_.rend(); ++it) {
    const FileEntry& entry = *it;
    if (entry.IsDirectory()) {
      ErrorLine(console_, ErrorLine::kProgress)
          .Add("RemoveDirecrory ")
          .Add(entry.name)
          .Add("\n")
          .Send();
      if (fileSystem_.RemoveDirectory(entry.name.c_str()) != 0) return -1;
      ++removed_.second;
    } else {
      PrintFileLine(console_, "RemoveFile ", entry.name, entry.size, removed_.files + 1);
      if (fileSystem_.DeleteFile(entry.name.c_str()) != 0) return -1;
      ++removed_.files;
      removed_.bytes += entry.size;
    }
  }
  return 0;
}

int DtkTest::RemovePlanned(const FileList& plannedList, const char* targetDir) {
  if (plannedList.empty()) return 0;
  removed_ = PhaseCounters();
  return RunPhaseFrame(*frame_, kRemoveText, removed_, times_,
                       [&] { return RemovePlannedWalk(plannedList, targetDir); });
}

int DtkTest::RemovePlannedWalk(const FileList& plannedList, const char* targetDir) {
  // Each entry is tried before its line is printed, so that an entry that
  // is not there leaves no line. The remove phase does not heed a stop
  // request.
  auto removeEntry = [&](const FileEntry& entry, const std::string& path) -> int {
    if (entry.IsDirectory()) {
      ErrorCode code = fileSystem_.RemoveDirectory(path.c_str());
      if (code != 0 && IsNotFoundError(code)) return 0;
      ErrorLine(console_, ErrorLine::kProgress).Add("RemoveDirecrory ").Add(path).Add("\n").Send();
      if (code != 0) return -1;
      ++removed_.second;
      return 0;
    }
    ErrorCode code = fileSystem_.DeleteFile(path.c_str());
    if (code != 0 && IsNotFoundError(code)) return 0;
    PrintFileLine(console_, "RemoveFile ", path, entry.size, removed_.files + 1);
    if (code != 0) return -1;
    ++removed_.files;
    removed_.bytes += entry.size;
    return 0;
  };
  return WalkPlannedTreeReversed(plannedList, targetDir, pathStyle_, MaxPathLength(), removeEntry);
}

}  // namespace dtk
