// Engines make the calls of the files of a phase. The tester walks the tree
// and hands each file to its engine as a job, and is handed it back, done,
// in the order it gave them: it prints every line, counts and marks what
// was made the same way whichever engine made the calls. The sync engine
// makes a file's calls at once, one at a time; the uring engine keeps many
// files' calls in flight.
//
// Directories are not jobs: the tester makes, opens, flushes and removes
// them itself, after the engine has finished every job given before
// (Drain), so that no job is in flight in a directory it closes.
#ifndef DTK_ENGINE_FILE_ENGINE_H_
#define DTK_ENGINE_FILE_ENGINE_H_

#include <cstdint>
#include <memory>
#include <string>

#include "platform/file_system.h"
#include "reporting/timed_file_system.h"
#include "tree/file_list.h"

namespace dtk {

enum class EngineKind { kSync, kUring };
// The name of an engine on the command line and in the report.
inline const char* EngineName(EngineKind kind) {
  return kind == EngineKind::kUring ? "uring" : "sync";
}

constexpr uint32_t kDefaultEngineDepth = 32;
constexpr uint32_t kMaxEngineDepth = 4096;

// One file of a phase: what the tester asks, and what became of it.
struct FileJob {
  // Given by the tester.
  const FileEntry* entry = nullptr;
  DirHandle dir = kInvalidDir;  // the open directory that holds it
  ErrorCode dirError = 0;       // why there is none
  std::string path;             // its full path, for lines and failures
  size_t nameOffset = 0;        // where its name starts in `path`
  uint32_t ringStart = 0;       // create: where its data starts in the pattern ring
  uint32_t expected = 0;        // verify: the CRC it should have

  // Told by the engine.
  bool opened = false;                            // the file was opened (for create: made)
  ErrorCode code = 0;                             // 0, or why the file failed
  FileCall failedCall = FileCall::kOpenForWrite;  // the call that failed, when `code` is not 0
  bool sizeError = false;  // verify: the file is shorter or longer than planned
  uint32_t crc = 0;        // verify: the CRC of what was read

  EntryPlace place() const {
    return {dir, dirError, path.c_str() + nameOffset, path.c_str(), path.size()};
  }
  // Forgets what the engine told of the job's last file.
  void ClearOutcome() {
    opened = sizeError = false;
    code = 0;
    crc = 0;
  }
  // Fails the job at `call` with `error` (0: no failure), unless it failed
  // before.
  void Fail(FileCall call, ErrorCode error) {
    if (code != 0 || error == 0) return;
    code = error;
    failedCall = call;
  }
};

// Whoever gave the jobs: the tester.
class FileJobSink {
 public:
  virtual ~FileJobSink() = default;
  // `job`'s calls are about to be made (the sync engine), or have been
  // (the uring engine): its line comes first.
  virtual void Starting(const FileJob& job) = 0;
  // `job` is done; jobs come back in the order they were given. 0 to go
  // on; -1 ends the phase at this job.
  virtual int Retire(FileJob& job) = 0;
};

// Sees each call an engine is about to make past the file system; a test
// double fails some of them.
class EngineFaults {
 public:
  virtual ~EngineFaults() = default;
  // Before `call` on the file `path`, moving `count` bytes: 0 to make it,
  // or the error it fails with instead, without being made.
  virtual ErrorCode Before(FileCall call, const char* path, uint32_t count) = 0;
};

class FileEngine {
 public:
  enum class Work { kCreate, kVerify, kRemove };
  // What a phase's jobs are.
  struct Phase {
    Work work;
    FileJobSink* sink;
    // Create: the pattern ring (kept twice over, so that any run of it up
    // to its size lies in one piece) and whether each file is flushed
    // before it is closed.
    const uint8_t* pattern = nullptr;
    uint32_t patternSize = 0;
    bool flush = false;
    // The tester's transfer buffer, and the most one read or write moves.
    uint8_t* buffer = nullptr;
    uint32_t transferSize = 0;
    // With unbuffered I/O (-direct), the block size that every transfer's
    // length and offset are a multiple of (and the buffer is aligned to);
    // 0: through the file cache.
    uint32_t directBlockSize = 0;
  };

  virtual ~FileEngine() = default;

  // Starts a phase; the engine holds no job.
  virtual void Begin(const Phase& phase) = 0;
  // A job to fill in, once there is room for it in flight (earlier jobs
  // are retired meanwhile); null once a job has ended the phase.
  virtual FileJob* NextJob() = 0;
  // Sends the job that NextJob gave.
  virtual void Submit() = 0;
  // Waits for every job given and retires them in order. 0, or -1 when a
  // job ended the phase: then nothing more is retired, every call in
  // flight has been reaped and, in the create phase, the files that later
  // jobs made are removed again, without lines and counts.
  virtual int Drain() = 0;
  // Ends the phase at once, whatever is in flight (the walk ended early):
  // every call is reaped, later jobs are not retired, and the files they
  // made are removed again. Needed only when Drain did not return.
  virtual void End() = 0;
};

// What a tester's engine is to be.
struct EngineSettings {
  EngineKind kind = EngineKind::kSync;
  uint32_t depth = kDefaultEngineDepth;  // files in flight at once
  // The file system of the tester's calls, through which the engine makes
  // those of a file's calls it does not make itself.
  FileSystem* fileSystem = nullptr;
  TimedFileSystem* timed = nullptr;  // records the engine's own calls; may be null
  EngineFaults* faults = nullptr;    // may be null
  bool direct = false;               // the phases will ask for unbuffered I/O
  // For tests: the uring engine is refused as if the system had refused
  // io_uring with this code (0: as the system says).
  ErrorCode refusal = 0;
};

// Makes the engine `settings` ask for, one per tester: testers that run in
// threads of their own each get one, made by the thread that runs the
// tester's phases. An engine the system cannot give is null with `*error`
// saying why. Throws std::bad_alloc when memory runs out, the ring's
// included.
std::unique_ptr<FileEngine> MakeFileEngine(const EngineSettings& settings, std::string* error);

}  // namespace dtk

#endif  // DTK_ENGINE_FILE_ENGINE_H_
