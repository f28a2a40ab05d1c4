// The tester: carries out the create, verify and remove phases on a planned
// tree, through the platform's file system.
#ifndef DTK_ENGINE_TESTER_H_
#define DTK_ENGINE_TESTER_H_

#include <cstdint>
#include <memory>
#include <string>

#include "platform/file_system.h"
#include "reporting/console.h"
#include "platform/path.h"
#include "reporting/phase_frame.h"
#include "support/crc32.h"
#include "support/mt_random.h"
#include "tree/file_list.h"

namespace dtk {

// What the tester tells besides its console lines.
class TestObserver {
 public:
  virtual ~TestObserver() = default;
  // The verify phase read the file `path` to its planned size, and its CRC
  // was not the one recorded for it.
  virtual void OnCrcMismatch(const char* path, uint32_t expected, uint32_t actual) = 0;
};

class DtkTest {
 public:
  static constexpr uint32_t kIoBufferSize = 0x20000;  // 128 KiB per read or write call
  static constexpr uint32_t kPatternSize = 0x40000;   // 256 KiB of pattern data

  // Borrows the file system, the console and the clock for its whole life.
  DtkTest(FileSystem& fileSystem, Console& console, Clock& clock,
          const PathStyle& pathStyle = NativePathStyle());
  virtual ~DtkTest();
  DtkTest(const DtkTest&) = delete;
  DtkTest& operator=(const DtkTest&) = delete;

  // Replaces the data pattern with `byteCount` bytes of the tester's own
  // generator, each output laid down least significant byte first; a final
  // partial word gives its low bytes. Returns 0, or -1 when memory is
  // exhausted (the pattern is then gone, its size and position unchanged).
  int MakePattern(uint32_t byteCount);

  // The create phase: makes every directory and writes every file of
  // `plannedList` below `targetDir`, storing each file's CRC in its planned
  // entry and a copy of every attempted entry, named by its full path, in
  // `createdList`. Returns 0, or -1 when an entry failed.
  int Create(FileList& plannedList, const char* targetDir);
  // The verify phase: reads every planned file back and compares its CRC
  // with the stored one. A mismatch is counted, not a failure. Returns 0 when
  // the walk reached its end, -1 when a file could not be opened or read or
  // ended early.
  int Verify(const FileList& plannedList, const char* targetDir);
  // The remove phase: deletes what the create phase attempted, last first.
  // Prints nothing and returns 0 when nothing was attempted.
  int Remove();

  // Stores in every planned file the CRC that the create phase records for
  // it, from the data pattern taken exactly as the create phase takes it
  // (the ring position carried on from file to file), without touching the
  // disk. Prints nothing. Returns 0, or -1 when a buffer cannot be allocated
  // or a stop was requested.
  int ComputeCrcs(FileList& plannedList);
  // The remove phase for a tree an earlier run left below `targetDir`: walks
  // the planned tree in the reverse of the create order and deletes each
  // file and removes each directory. An entry that is not there is passed
  // over without a line and without a count; any other failure stops the
  // walk. Prints nothing and returns 0 when nothing is planned.
  int RemovePlanned(const FileList& plannedList, const char* targetDir);

  // Flush every file to stable storage before closing it, and every
  // directory after its last entry is made.
  void set_sync(bool sync) { sync_ = sync; }
  // Borrows `observer` (may be null) until it is replaced.
  void set_observer(TestObserver* observer) { observer_ = observer; }
  // Borrows `frame` until it is replaced; null puts back the tester's own,
  // which prints the frame lines on the console.
  void set_frame(PhaseFrame* frame) { frame_ = frame != nullptr ? frame : &consoleFrame_; }

  uint32_t ioBufferSize() const { return ioBufferSize_; }
  const uint8_t* ioBuffer() const { return ioBuffer_.get(); }
  const uint8_t* pattern() const { return pattern_.get(); }
  uint32_t patternSize() const { return patternSize_; }
  uint32_t patternPos() const { return patternPos_; }
  const FileList& createdList() const { return createdList_; }
  const PhaseCounters& created() const { return created_; }
  const PhaseCounters& verified() const { return verified_; }
  const PhaseCounters& removed() const { return removed_; }
  const PhaseTimes& times() const { return times_; }

 private:
  int SetUpTransferBuffer();
  int CreateTree(FileList& plannedList, const char* targetDir);
  int CreateOneFile(const char* path, FileEntry& entry);
  int VerifyTree(const FileList& plannedList, const char* targetDir);
  int VerifyOneFile(const char* path, const FileEntry& entry);
  int RemoveWalk();
  int RemovePlannedWalk(const FileList& plannedList, const char* targetDir);
  // Copies the next `count` pattern bytes, from `patternPos` on, into `dest`.
  void TakePattern(uint8_t* dest, uint32_t count);
  // The next `count` (at most ioBufferSize) bytes of a file's data: taken
  // from the pattern into the transfer buffer and folded into the CRC.
  void TakeChunk(uint32_t count);
  // Transfer buffer and pattern, as the create phase needs them.
  int SetUpCreateBuffers();

  FileSystem& fileSystem_;
  Console& console_;
  const PathStyle& pathStyle_;
  bool sync_ = false;
  TestObserver* observer_ = nullptr;
  ConsolePhaseFrame consoleFrame_;
  PhaseFrame* frame_ = &consoleFrame_;

  PhaseTimes times_;
  uint32_t ioBufferSize_ = 0;
  // The buffers start on a page boundary: the system's copies to and from
  // the transfer buffer run in whole cache lines, which on some processors
  // is several times faster than from an address 16 bytes into a line.
  static constexpr size_t kBufferAlignment = 4096;
  struct AlignedDelete {
    void operator()(uint8_t* bytes) const;
  };
  using AlignedBytes = std::unique_ptr<uint8_t[], AlignedDelete>;
  static AlignedBytes AllocateBytes(size_t count);

  AlignedBytes ioBuffer_;
  Crc32 crc_;
  MtDefaultRandom patternRandom_;
  AlignedBytes pattern_;
  uint32_t patternSize_ = 0;
  uint32_t patternPos_ = 0;
  FileList createdList_;
  PhaseCounters created_;   // files, directories, bytes
  PhaseCounters verified_;  // files, CRC errors, bytes
  PhaseCounters removed_;   // files, directories, bytes
};

}  // namespace dtk

#endif  // DTK_ENGINE_TESTER_H_
