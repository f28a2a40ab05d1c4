// The tester: carries out the create, verify and remove phases on a planned
// tree, through the platform's file system.
#ifndef DTK_ENGINE_TESTER_H_
#define DTK_ENGINE_TESTER_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <string>

#include "engine/file_engine.h"
#include "engine/sync_engine.h"
#include "engine/tree_walk.h"
#include "platform/file_system.h"
#include "platform/path.h"
#include "reporting/console.h"
#include "reporting/phase_frame.h"
#include "support/aligned_bytes.h"
#include "support/crc32.h"
#include "support/mt_random.h"
#include "tree/file_list.h"

namespace dtk {

// The directory a tree is made in, open while it lives: the target as the
// user gave it (links followed), or a directory of the run's own inside
// another root (never through a link).
class TreeRoot {
 public:
  // Opens the target `path`. A target that cannot be opened is still a
  // root: whatever is attempted in it fails with the reason.
  TreeRoot(FileSystem& fileSystem, std::string path);
  // Opens the directory `name` inside `parent`, making it first when `make`.
  TreeRoot(FileSystem& fileSystem, const TreeRoot& parent, const std::string& name, bool make);
  ~TreeRoot();
  TreeRoot(const TreeRoot&) = delete;
  TreeRoot& operator=(const TreeRoot&) = delete;

  const std::string& path() const { return path_; }
  const WalkDir& dir() const { return dir_; }
  // Closes the directory and removes it from `parent`; 0, or the reason it
  // cannot be removed: the not-found code when the directory is no longer
  // at its name in `parent`, where nothing is then removed.
  ErrorCode CloseAndRemove(const TreeRoot& parent, FileSystem& fileSystem);

 private:
  FileSystem& fileSystem_;
  std::string path_;
  size_t nameOffset_ = 0;  // of the name inside its parent's path
  WalkDir dir_;
};

// What the create phase made, as marks on the plan: it attempts entries in
// the order of their numbers (files and directories each), so what it
// attempted is every number below a bound, and of those only the last file
// and the last directory can have failed to be made.
struct MadeEntries {
  int64_t filesAttempted = 0;
  int64_t directoriesAttempted = 0;
  bool lastFileMade = false;
  bool lastDirectoryMade = false;

  bool Contains(const FileEntry& entry) const;
  // Whether nothing at all was made.
  bool empty() const;
};

class DtkTest : private FileJobSink {
 public:
  static constexpr uint32_t kIoBufferSize = 0x20000;  // 128 KiB per read or write call
  static constexpr uint32_t kPatternSize = 0x40000;   // 256 KiB of pattern data

  // Borrows the file system, the console and the clock for its whole life.
  DtkTest(FileSystem& fileSystem, Console& console, Clock& clock,
          const PathStyle& pathStyle = NativePathStyle());
  ~DtkTest() override;
  DtkTest(const DtkTest&) = delete;
  DtkTest& operator=(const DtkTest&) = delete;

  // Replaces the data pattern with `byteCount` bytes of the tester's own
  // generator, each output laid down least significant byte first; a final
  // partial word gives its low bytes. The pattern is kept twice over, so
  // that any stretch of the ring up to its size lies in one piece. Returns
  // 0, or -1 when memory is exhausted (the pattern is then gone, its size
  // and position unchanged).
  int MakePattern(uint32_t byteCount);

  // The create phase: makes every directory and writes every file of
  // `plannedList` in `root`, and marks what it made. Returns 0, or -1 when
  // an entry failed.
  int Create(FileList& plannedList, const TreeRoot& root);
  // The verify phase: reads every planned file back and compares its CRC
  // with the one the create phase recorded. A mismatch is counted, not a
  // failure. Returns 0 when the walk reached its end, -1 when a file could
  // not be opened or read, or was shorter or longer than planned.
  int Verify(const FileList& plannedList, const TreeRoot& root);
  // The remove phase: deletes what the create phase made, last first. An
  // entry that is not there any more is passed over without a line and
  // without a count. Prints nothing and returns 0 when nothing was made.
  int Remove(const FileList& plannedList, const TreeRoot& root);

  // Takes every planned file's CRC to be the one the create phase records
  // for it (from the data pattern, the ring position carried on from file
  // to file), for a tree an earlier run made: a later verify phase checks
  // every file against it.
  void UsePlannedCrcs() { crcsKnown_ = INT64_MAX; }
  // The remove phase for a tree an earlier run left in `root`: everything
  // planned is taken to be made. Prints nothing and returns 0 when nothing
  // is planned.
  int RemovePlanned(const FileList& plannedList, const TreeRoot& root);

  // The CRC the create phase records for a file of `size` bytes whose
  // first byte is pattern byte `ringStart`.
  uint32_t PatternCrc(uint32_t ringStart, int64_t size);

  // Flush every file to stable storage before closing it, and every
  // directory after its last entry is made.
  void set_sync(bool sync) { sync_ = sync; }
  // Writes and reads files around the system's file cache, every transfer
  // whole blocks of `blockSize` bytes (a power of two, from
  // FileSystem::ProbeDirectIo) from memory aligned to a block; 0 goes
  // through the cache, as at first.
  void set_direct(uint32_t blockSize);
  // Makes the transfer buffer (for the block size set now) and the data
  // pattern, which the phases otherwise make when they first need them:
  // 0, or -1 when memory is exhausted.
  int ReserveBuffers();
  // Borrows `observer` (may be null) until it is replaced.
  void set_observer(TestObserver* observer) { observer_ = observer; }
  // Borrows `frame` until it is replaced; null puts back the tester's own,
  // which prints the frame lines on the console.
  void set_frame(PhaseFrame* frame) { frame_ = frame != nullptr ? frame : &consoleFrame_; }
  // Borrows `engine` for the files' calls of every phase until it is
  // replaced; null puts back the tester's own sync engine (at first), which
  // makes each call at once. Lines, counts and marks are the same.
  void set_engine(FileEngine* engine) { engine_ = engine != nullptr ? engine : &syncEngine_; }
  // Borrows a flag that, once set, ends the create and verify walks at the
  // next entry, as a stop request does (another tester of the run failed).
  void set_abort(const std::atomic<bool>* abort) { abort_ = abort; }

  const uint8_t* pattern() const { return pattern_.get(); }
  uint32_t patternPos() const { return patternPos_; }
  const MadeEntries& made() const { return made_; }
  const PhaseCounters& created() const { return created_; }
  const PhaseCounters& verified() const { return verified_; }
  const PhaseCounters& removed() const { return removed_; }
  // Whether the walk of the last phase ended at a stop request or at the
  // abort flag rather than at an entry of its own.
  bool stopped() const { return stopped_; }

 private:
  int SetUpTransferBuffer();
  // Says that memory is exhausted and returns -1.
  int NoMemory();
  // Whether the walk is to end at this entry; marks the walk stopped.
  bool Stopping();
  // Runs the phase `text`, counted from nought in `counters`, in its frame:
  // `walk` with the engine's phase `work` begun, which ends however the
  // walk ends; memory exhausted on the way ends it with its reason.
  template <class Walk>
  int RunPhase(const PhaseText& text, PhaseCounters& counters, FileEngine::Work work, Walk&& walk);
  // Waits for the engine's jobs; -1 when one failed.
  int Drain() { return engine_->Drain(); }
  // Hands the file `entry` at `path` in `parent` to the engine.
  int SubmitJob(const FileEntry& entry, const std::string& path, size_t nameOffset,
                const WalkDir& parent, uint32_t ringStart, uint32_t expected);
  // The line of a job of the engine, and what it did, in the order of the
  // walk.
  void Starting(const FileJob& job) override;
  int Retire(FileJob& job) override;
  int CreateTree(FileList& plannedList, const TreeRoot& root);
  int VerifyTree(const FileList& plannedList, const TreeRoot& root);
  // What the removal of `entry` with the result `code` prints and counts.
  int Removed(const FileEntry& entry, const std::string& path, ErrorCode code);
  // Removes the entries of `plannedList` that were made, last first.
  int RemoveTree(const FileList& plannedList, const TreeRoot& root);
  // Moves the pattern ring's position past a file of `size` bytes and
  // returns where that file starts.
  uint32_t TakePattern(int64_t size);

  FileSystem& fileSystem_;
  Console& console_;
  const PathStyle& pathStyle_;
  bool sync_ = false;
  uint32_t directBlockSize_ = 0;  // 0: through the file cache
  TestObserver* observer_ = nullptr;
  const std::atomic<bool>* abort_ = nullptr;
  SyncEngine syncEngine_{fileSystem_};
  FileEngine* engine_ = &syncEngine_;
  FileEngine::Work work_ = FileEngine::Work::kCreate;  // of the engine's phase
  ConsolePhaseFrame consoleFrame_;
  PhaseFrame* frame_ = &consoleFrame_;

  PhaseTimes times_;
  bool stopped_ = false;
  uint32_t ioBufferSize_ = 0;
  AlignedBytes ioBuffer_;
  MtDefaultRandom patternRandom_;
  AlignedBytes pattern_;
  uint32_t patternSize_ = 0;
  uint32_t patternPos_ = 0;
  MadeEntries made_;
  // Files numbered below this have the CRC the pattern gives them; the
  // others were never written completely and have none (0).
  int64_t crcsKnown_ = 0;
  PhaseCounters created_;   // files, directories, bytes
  PhaseCounters verified_;  // files, CRC errors, bytes
  PhaseCounters removed_;   // files, directories, bytes
};

}  // namespace dtk

#endif  // DTK_ENGINE_TESTER_H_
