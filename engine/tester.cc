#include "engine/tester.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

#include "platform/process.h"
#include "reporting/format.h"
#include "support/ring_crc.h"
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

void PrintDirectoryLine(Console& console, std::string_view word, std::string_view path) {
  ErrorLine(console, ErrorLine::kProgress).Add(word).Add(path).Add("\n").Send();
}

// Closes the directory a walk was in, if it was open.
void CloseWalkDir(FileSystem& fileSystem, WalkDir& dir) {
  if (dir.isOpen()) fileSystem.CloseDirectory(dir.handle);
  dir.handle = kInvalidDir;
}

}  // namespace

TreeRoot::TreeRoot(FileSystem& fileSystem, std::string path)
    : fileSystem_(fileSystem), path_(std::move(path)) {
  dir_.error = fileSystem_.OpenTarget(path_.c_str(), &dir_.handle);
}

TreeRoot::TreeRoot(FileSystem& fileSystem, const TreeRoot& parent, const std::string& name,
                   bool make)
    : fileSystem_(fileSystem), path_(JoinPath(parent.path(), name)) {
  nameOffset_ = path_.size() - name.size();
  EntryPlace at = PlaceOf(parent.dir(), path_, nameOffset_);
  // A directory that cannot be made stops nothing here: opening it tells.
  if (make) fileSystem_.MakeDirectory(at);
  dir_.error = fileSystem_.OpenDirectory(at, &dir_.handle);
}

TreeRoot::~TreeRoot() { CloseWalkDir(fileSystem_, dir_); }

ErrorCode TreeRoot::CloseAndRemove(const TreeRoot& parent, FileSystem& fileSystem) {
  EntryPlace at = PlaceOf(parent.dir(), path_, nameOffset_);
  // Only the directory this root opened goes: one that another user put at
  // its name after renaming it away is theirs.
  ErrorCode moved = dir_.isOpen() ? fileSystem.DirectoryIsAt(dir_.handle, at) : 0;
  CloseWalkDir(fileSystem_, dir_);
  return moved != 0 ? moved : fileSystem.RemoveDirectory(at);
}

bool MadeEntries::Contains(const FileEntry& entry) const {
  if (entry.IsDirectory()) {
    return entry.number < directoriesAttempted &&
           (lastDirectoryMade || entry.number + 1 < directoriesAttempted);
  }
  return entry.number < filesAttempted && (lastFileMade || entry.number + 1 < filesAttempted);
}

bool MadeEntries::empty() const {
  int64_t files = filesAttempted - (filesAttempted > 0 && !lastFileMade ? 1 : 0);
  int64_t directories =
      directoriesAttempted - (directoriesAttempted > 0 && !lastDirectoryMade ? 1 : 0);
  return files + directories == 0;
}

DtkTest::DtkTest(FileSystem& fileSystem, Console& console, Clock& clock, const PathStyle& pathStyle)
    : fileSystem_(fileSystem),
      console_(console),
      pathStyle_(pathStyle),
      consoleFrame_(console, clock) {}

DtkTest::~DtkTest() = default;

void DtkTest::set_direct(uint32_t blockSize) {
  if (blockSize == directBlockSize_) return;
  directBlockSize_ = blockSize;
  ioBuffer_.reset();  // made again for the new block size
}

int DtkTest::SetUpTransferBuffer() {
  if (ioBuffer_) return 0;
  const uint32_t block = directBlockSize_;
  // Through the cache a transfer is 128 KiB, with room for a page more: the
  // last read of a file asks for a byte beyond its planned end. Unbuffered,
  // it is the most whole blocks that fit in 128 KiB (or one larger block),
  // and the last read, a byte beyond the planned end rounded up to whole
  // blocks, fits in it as well.
  const uint32_t transfer = block == 0               ? kIoBufferSize
                            : block <= kIoBufferSize ? kIoBufferSize - kIoBufferSize % block
                                                     : block;
  ioBuffer_ = AllocateAligned(block == 0 ? transfer + kPageAlignment : transfer,
                              std::bit_ceil(std::max<size_t>(kPageAlignment, block)));
  ioBufferSize_ = ioBuffer_ ? transfer : 0;
  return ioBuffer_ ? 0 : -1;
}

int DtkTest::MakePattern(uint32_t byteCount) {
  pattern_.reset();
  pattern_ = AllocateAligned(byteCount == 0 ? 1 : 2 * size_t{byteCount});
  if (!pattern_) return -1;
  patternSize_ = byteCount;
  uint8_t* bytes = pattern_.get();
  for (uint32_t i = 0; i < byteCount; i += 4) {
    uint32_t word = patternRandom_.Next();
    uint32_t take = std::min<uint32_t>(4, byteCount - i);
    for (uint32_t k = 0; k < take; ++k) bytes[i + k] = static_cast<uint8_t>(word >> (8 * k));
  }
  std::memcpy(bytes + byteCount, bytes, byteCount);
  return 0;
}

uint32_t DtkTest::TakePattern(int64_t size) {
  uint32_t start = patternPos_;
  patternPos_ = static_cast<uint32_t>(
      (uint64_t{patternPos_} + static_cast<uint64_t>(size) % patternSize_) % patternSize_);
  return start;
}

int DtkTest::ReserveBuffers() {
  if (SetUpTransferBuffer() != 0) return -1;
  if (!pattern_ && MakePattern(kPatternSize) < 0) return -1;
  return 0;
}

int DtkTest::NoMemory() {
  console_.ErrorF("Memory Error!: %s\n", SystemErrorText(OutOfMemoryError()));
  return -1;
}

bool DtkTest::Stopping() {
  stopped_ = StopRequested() != 0 || (abort_ != nullptr && abort_->load(std::memory_order_relaxed));
  return stopped_;
}

namespace {

// The CRCs of stretches of the standard pattern, worked out once for every
// tester of the process (all of them lay down the same bytes); null when
// there was no memory for them.
const RingCrc* StandardRingCrc(const uint8_t* pattern) {
  static const RingCrc* const shared = [pattern]() -> const RingCrc* {
    auto* ring = new (std::nothrow) RingCrc();
    if (ring != nullptr && ring->Init(pattern, DtkTest::kPatternSize) != 0) {
      delete ring;
      ring = nullptr;
    }
    return ring;
  }();
  return shared;
}

}  // namespace

template <class Walk>
int DtkTest::RunPhase(const PhaseText& text, PhaseCounters& counters, FileEngine::Work work,
                      Walk&& walk) {
  counters = PhaseCounters();
  work_ = work;
  FileEngine::Phase phase{work, this};
  phase.pattern = pattern_.get();
  phase.patternSize = patternSize_;
  phase.flush = sync_;
  phase.buffer = ioBuffer_.get();
  phase.transferSize = ioBufferSize_;
  phase.directBlockSize = directBlockSize_;
  return RunPhaseFrame(*frame_, text, counters, times_, [&] {
    try {
      engine_->Begin(phase);
      // Whatever ends the walk (memory exhausted too), no call stays in
      // flight.
      struct Ending {
        FileEngine* engine;
        ~Ending() { engine->End(); }
      } ending{engine_};
      return walk();
    } catch (const std::bad_alloc&) {
      return NoMemory();
    }
  });
}

int DtkTest::SubmitJob(const FileEntry& entry, const std::string& path, size_t nameOffset,
                       const WalkDir& parent, uint32_t ringStart, uint32_t expected) {
  FileJob* job = engine_->NextJob();
  if (job == nullptr) return -1;
  job->entry = &entry;
  job->dir = parent.handle;
  job->dirError = parent.error;
  job->path.assign(path);
  job->nameOffset = nameOffset;
  job->ringStart = ringStart;
  job->expected = expected;
  engine_->Submit();
  return 0;
}

void DtkTest::Starting(const FileJob& job) {
  const FileEntry& entry = *job.entry;
  if (work_ == FileEngine::Work::kCreate) {
    PrintFileLine(console_, "CreateFile ", job.path, entry.size, created_.files + 1);
    made_.filesAttempted = int64_t{entry.number} + 1;
    made_.lastFileMade = false;
  } else if (work_ == FileEngine::Work::kVerify) {
    ErrorLine(console_, ErrorLine::kProgress)
        .Add("Verify ")
        .Add(job.path)
        .Add(" (")
        .Hex8(job.expected)
        .Add(":")
        .Int64(entry.size)
        .Add(" bytes) No.")
        .Unsigned(verified_.files + 1)
        .Add("\n")
        .Send();
  }
  // A file to remove has its line once it is tried: one that is gone has
  // none.
}

int DtkTest::Retire(FileJob& job) {
  const FileEntry& entry = *job.entry;
  if (work_ == FileEngine::Work::kRemove) return Removed(entry, job.path, job.code);
  const bool creating = work_ == FileEngine::Work::kCreate;
  if (creating) made_.lastFileMade = job.opened;
  if (job.code != 0) {
    bool opening =
        job.failedCall == FileCall::kOpenForWrite || job.failedCall == FileCall::kOpenForRead;
    console_.ErrorF("%s Error!: %s\n",
                    opening    ? "CreateFile"
                    : creating ? "WriteFile"
                               : "ReadFile",
                    SystemErrorText(job.code));
    return -1;
  }
  if (job.sizeError) {
    console_.Error("FileSize Error!\n");
    return -1;
  }
  if (creating) {
    // A file written completely.
    crcsKnown_ = int64_t{entry.number} + 1;
    ++created_.files;
    created_.bytes += entry.size;
    return 0;
  }
  ++verified_.files;
  verified_.bytes += entry.size;
  if (job.crc != job.expected) {
    ++verified_.directoriesOrErrors;
    console_.Error("CRC Error!\n");
    if (observer_ != nullptr) observer_->OnCrcMismatch(job.path.c_str(), job.expected, job.crc);
  }
  return 0;
}

uint32_t DtkTest::PatternCrc(uint32_t ringStart, int64_t size) {
  // From the CRCs of the ring's prefixes, without reading the file's bytes.
  if (size <= 0) return 0;
  if (patternSize_ == kPatternSize) {
    if (const RingCrc* ring = StandardRingCrc(pattern_.get())) {
      return ring->Crc(ringStart, static_cast<uint64_t>(size));
    }
  }
  Crc32 crc;
  uint32_t position = ringStart;
  for (int64_t remaining = size; remaining > 0;) {
    uint32_t run = static_cast<uint32_t>(std::min<int64_t>(remaining, patternSize_));
    crc.Update(run, pattern_.get() + position);
    position = static_cast<uint32_t>((uint64_t{position} + run) % patternSize_);
    remaining -= run;
  }
  return crc.Value();
}

int DtkTest::Create(FileList& plannedList, const TreeRoot& root) {
  stopped_ = false;
  if (ReserveBuffers() != 0) return NoMemory();
  made_ = MadeEntries();
  crcsKnown_ = 0;
  return RunPhase(kCreateText, created_, FileEngine::Work::kCreate,
                  [&] { return CreateTree(plannedList, root); });
}

int DtkTest::CreateTree(FileList& plannedList, const TreeRoot& root) {
  auto visit = [&](const FileEntry& entry, const std::string& path, size_t nameOffset,
                   const WalkDir& parent, WalkDir* child) -> int {
    if (Stopping()) {
      // What is in flight is finished first, as the entry under way is.
      Drain();
      return -1;
    }
    EntryPlace at = PlaceOf(parent, path, nameOffset);
    if (child != nullptr) {
      // Every file before the directory is done, its line printed.
      if (Drain() < 0) return -1;
      PrintDirectoryLine(console_, "CreateDirecrory ", path);
      made_.directoriesAttempted = int64_t{entry.number} + 1;
      // A directory that cannot be made stops nothing here: the first file
      // in it fails instead. One that exists already is used. What this run
      // made, or found and opened, is removed again.
      bool madeNow = fileSystem_.MakeDirectory(at) == 0;
      child->error = fileSystem_.OpenDirectory(at, &child->handle);
      made_.lastDirectoryMade = madeNow || child->isOpen();
      ++created_.directoriesOrErrors;
      return 0;
    }
    return SubmitJob(entry, path, nameOffset, parent, TakePattern(entry.size), 0);
  };
  // With -sync a directory is flushed once its last entry is made.
  auto leave = [&](WalkDir& dir, bool completed) -> int {
    // No job may be in flight in a directory that closes.
    int drained = Drain();
    ErrorCode code = 0;
    if (drained == 0 && completed && sync_ && dir.isOpen()) {
      code = fileSystem_.FlushDirectory(dir.handle);
    }
    CloseWalkDir(fileSystem_, dir);
    if (drained < 0) return -1;
    if (code == 0) return 0;
    console_.ErrorF("WriteFile Error!: %s\n", SystemErrorText(code));
    return -1;
  };
  int status = WalkPlannedTree(plannedList, root.path(), pathStyle_, root.dir(), visit, leave);
  if (status == 0) status = Drain();
  if (status == 0 && sync_ && root.dir().isOpen()) {
    ErrorCode code = fileSystem_.FlushDirectory(root.dir().handle);
    if (code != 0) {
      console_.ErrorF("WriteFile Error!: %s\n", SystemErrorText(code));
      status = -1;
    }
  }
  return status;
}

int DtkTest::Verify(const FileList& plannedList, const TreeRoot& root) {
  stopped_ = false;
  if (SetUpTransferBuffer() != 0) return NoMemory();
  // The CRCs a file should have come from the pattern.
  if (crcsKnown_ > 0 && !pattern_ && MakePattern(kPatternSize) < 0) return NoMemory();
  return RunPhase(kVerifyText, verified_, FileEngine::Work::kVerify,
                  [&] { return VerifyTree(plannedList, root); });
}

int DtkTest::VerifyTree(const FileList& plannedList, const TreeRoot& root) {
  // Where each file starts in the pattern ring: right after the one before.
  uint64_t ringStart = 0;
  auto visit = [&](const FileEntry& entry, const std::string& path, size_t nameOffset,
                   const WalkDir& parent, WalkDir* child) -> int {
    if (Stopping()) {
      Drain();
      return -1;
    }
    EntryPlace at = PlaceOf(parent, path, nameOffset);
    if (child != nullptr) {
      child->error = fileSystem_.OpenDirectory(at, &child->handle);
      return 0;
    }
    uint32_t expected =
        entry.number < crcsKnown_ ? PatternCrc(static_cast<uint32_t>(ringStart), entry.size) : 0;
    if (entry.size > 0) ringStart = (ringStart + static_cast<uint64_t>(entry.size)) % kPatternSize;
    return SubmitJob(entry, path, nameOffset, parent, 0, expected);
  };
  auto leave = [&](WalkDir& dir, bool) {
    int drained = Drain();
    CloseWalkDir(fileSystem_, dir);
    return drained;
  };
  int status = WalkPlannedTree(plannedList, root.path(), pathStyle_, root.dir(), visit, leave);
  return status == 0 ? Drain() : status;
}

int DtkTest::Remove(const FileList& plannedList, const TreeRoot& root) {
  stopped_ = false;
  if (made_.empty()) return 0;
  return RunPhase(kRemoveText, removed_, FileEngine::Work::kRemove,
                  [&] { return RemoveTree(plannedList, root); });
}

int DtkTest::RemovePlanned(const FileList& plannedList, const TreeRoot& root) {
  // Every number an entry can have.
  constexpr int64_t kAll = int64_t{INT32_MAX} + 1;
  made_ = plannedList.empty() ? MadeEntries() : MadeEntries{kAll, kAll, true, true};
  return Remove(plannedList, root);
}

int DtkTest::Removed(const FileEntry& entry, const std::string& path, ErrorCode code) {
  // An entry that is not there any more leaves no line.
  if (code != 0 && IsNotFoundError(code)) return 0;
  bool directory = entry.IsDirectory();
  if (directory) {
    PrintDirectoryLine(console_, "RemoveDirecrory ", path);
  } else {
    PrintFileLine(console_, "RemoveFile ", path, entry.size, removed_.files + 1);
  }
  if (code != 0) {
    console_.ErrorF("%s Error!: %s\n", directory ? "RemoveDirectory" : "DeleteFile",
                    SystemErrorText(code));
    return -1;
  }
  if (directory) {
    ++removed_.directoriesOrErrors;
  } else {
    ++removed_.files;
    removed_.bytes += entry.size;
  }
  return 0;
}

int DtkTest::RemoveTree(const FileList& plannedList, const TreeRoot& root) {
  // The remove phase does not heed a stop request: it is what cleans up
  // after one. Each entry is tried before its line is printed, so that an
  // entry that is not there any more leaves no line.
  auto enter = [&](const FileEntry&, const std::string& path, size_t nameOffset,
                   const WalkDir& parent, WalkDir* child) -> int {
    child->error = fileSystem_.OpenDirectory(PlaceOf(parent, path, nameOffset), &child->handle);
    // A directory that is gone took its contents with it.
    return child->error != 0 && IsNotFoundError(child->error) ? 1 : 0;
  };
  auto visit = [&](const FileEntry& entry, const std::string& path, size_t nameOffset,
                   const WalkDir& parent) -> int {
    if (!entry.IsDirectory()) return SubmitJob(entry, path, nameOffset, parent, 0, 0);
    // A directory goes once the files before it are gone, their lines
    // printed.
    if (Drain() < 0) return -1;
    EntryPlace at = PlaceOf(parent, path, nameOffset);
    return Removed(entry, path, fileSystem_.RemoveDirectory(at));
  };
  // A failure found here ends the walk at the directory's own visit.
  auto leave = [&](WalkDir& dir) {
    Drain();
    CloseWalkDir(fileSystem_, dir);
  };
  auto include = [&](const FileEntry& entry) { return made_.Contains(entry); };
  int status = WalkPlannedTreeReversed(plannedList, root.path(), pathStyle_, MaxPathLength(),
                                       root.dir(), include, enter, visit, leave);
  return status == 0 ? Drain() : status;
}

}  // namespace dtk
