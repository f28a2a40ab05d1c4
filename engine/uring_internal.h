// The uring engine's parts, shared by the files it is made of: setting the
// ring up (uring_setup.cc), sending chains (uring_chains.cc), taking their
// completions and retiring files (uring_completions.cc), and reading where
// the kernel would block (uring_read_here.cc).
//
// The uring engine. Every file of a phase is a chain of linked calls in one
// io_uring: open (relative to its directory's handle), its writes or reads,
// a flush with -sync, close. The file is opened into a place of the ring's
// registered file table (a direct descriptor), the place of its job's slot,
// so it never takes a descriptor of the process and each call on it skips
// the descriptor lookup. Up to `depth` files are in flight; their chains go
// to the kernel together, in one system call for many files, and come back
// to the tester in the order it gave them.
//
// A chain ends early when a call fails or moves fewer bytes than asked; the
// rest of the chain is then cancelled, and the engine sends what is left as
// the next chain (the rest of a short write, or the close of a file whose
// transfer failed). A large file takes several chains, each of at most
// kMaxChainTransfers transfers, so that a chain always fits the queue.
//
// With -direct the files are opened for unbuffered I/O, and every transfer
// moves whole blocks from or to a buffer of the slot's own, aligned to a
// block. A file the engine cannot send (a name that is taken, a place that
// cannot be reached) gets the calls one at a time, as the sync engine makes
// them, when its turn comes to be retired.
//
// Each tester has its own engine and ring, made by the thread that runs its
// phases, so testers in threads each drive their own.
#ifndef DTK_ENGINE_URING_INTERNAL_H_
#define DTK_ENGINE_URING_INTERNAL_H_

#include <liburing.h>

#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "engine/file_calls.h"
#include "engine/file_engine.h"
#include "platform/posix_file_system.h"
#include "support/aligned_bytes.h"
#include "support/call_clock.h"
#include "support/crc32.h"

// A no-op that completes with the result it carries (Linux 6.10): how a
// test's fault stands in for a call without the call being made.
#ifndef IORING_NOP_INJECT_RESULT
#define IORING_NOP_INJECT_RESULT (1U << 0)
#endif

// Cutting a file to a size, on a descriptor (Linux 6.9), which liburing
// before 2.6 has no name for.
inline constexpr uint8_t kOpFtruncate = 55;

namespace dtk {
namespace uring {

inline constexpr uint32_t kMaxChainTransfers = 8;
// Open, the transfers, the cut to size (-direct), flush, close.
inline constexpr uint32_t kMaxChainCalls = kMaxChainTransfers + 4;
// The most entries a submission queue may have.
inline constexpr uint32_t kMaxQueueEntries = 32768;
// The user data of the calls that remove the files made after a failure.
inline constexpr uint64_t kCleanupTag = ~uint64_t{0};
// The bytes that the reads of the files in flight may bring at once (at
// least one file's): what they bring is checked while it is still in the
// processor's cache, as one transfer buffer's would be.
inline constexpr uint64_t kReadBytesInFlight = 128 * 1024;

struct ChainCall {
  FileCall call;
  bool lastRead;    // a read that asks for one byte more than is left, without waiting
  uint32_t length;  // of a read or write (-direct: whole blocks)
  int64_t offset;   // in the file
  ErrorCode fault;  // a test's fault: the call fails with it, unmade
  int32_t result;
};

struct ReadBuffer {
  AlignedBytes bytes;
  uint32_t capacity = 0;
  // Makes room for at least `size` bytes, aligned to a page; what was there
  // is not kept.
  void Reserve(uint32_t size) {
    if (size <= capacity) return;
    uint32_t rounded = static_cast<uint32_t>(WholeBlocks(size, kPageAlignment));
    bytes = AllocateAligned(rounded);
    capacity = bytes ? rounded : 0;
    if (!bytes) throw std::bad_alloc();
  }
};

// A file in flight, in its place of the registered file table.
struct Slot {
  FileJob job;
  ChainCall calls[kMaxChainCalls];
  uint32_t callCount = 0;
  uint32_t pending = 0;     // completions of the chain still to come
  int64_t done = 0;         // bytes written, or read and checked
  bool open = false;        // the file is in the table
  bool finished = false;    // no call is left: it may be retired
  bool readsOver = false;   // verify: every byte is read and checked
  bool mayWait = false;     // verify: the data was not at hand: reads wait for it
  ErrorCode closeCode = 0;  // verify: a close that failed, which fails nothing
  bool here = false;        // verify: its reads are made here, not sent (ReadHere)
  bool leftOver = false;    // its calls are made one at a time when it is retired
  int descriptor = -1;      // then: the file's ordinary descriptor
  Crc32 crc;
  ReadBuffer buffer;       // verify: what its reads bring; -direct: what its writes take
  uint64_t submitted = 0;  // CallClock ticks when its chain was sent
};

class UringEngine : public FileEngine {
 public:
  explicit UringEngine(const EngineSettings& settings)
      : depth_(settings.depth),
        direct_(settings.direct),
        fileSystem_(settings.fileSystem),
        timed_(settings.timed),
        faults_(settings.faults),
        slots_(settings.depth) {
    queuedSlots_.reserve(depth_);
    continuing_.reserve(depth_);
    freeBuffers_.resize(depth_);
  }
  ~UringEngine() override {
    if (!ready_) return;
    End();
    io_uring_queue_exit(&ring_);
  }

  // Sets up the ring: "", or why the system cannot give it; `refusal` (not
  // 0) refuses it as setting up the ring would have with that code.
  std::string SetUp(ErrorCode refusal);
  // Makes the ring; null, or the call that failed with `ringError_`.
  const char* MakeRing();
  // Readies the engine for the thread that runs the phases.
  void Start();
  FileCall OpenCall() const {
    return phase_.work == Work::kVerify ? FileCall::kOpenForRead : FileCall::kOpenForWrite;
  }

  void Begin(const Phase& phase) override;
  FileJob* NextJob() override;
  void Submit() override;
  int Drain() override;
  void End() override;

 private:
  Slot& SlotOf(uint64_t sequence) { return slots_[sequence % depth_]; }
  // Plans the slot's next chain from where its file stands.
  void PlanChain(Slot& slot);
  // Puts the slot's chain into the submission queue, each call with the
  // fault a test gives it.
  void QueueChain(uint32_t index);
  // Sends what is queued and waits for `waitFor` completions. A signal, or
  // a shortage the next round may not have, passes; any other failure
  // leaves a ring that takes no more calls (`broken_`).
  void SubmitAndWait(unsigned waitFor);
  // Sends, waits for about half of what is in flight, reaps, retires.
  void Pump();
  void Reap();
  // The call `userData` names came back with `result` at `now` (CallClock
  // ticks; 0 untimed).
  void OnCompletion(uint64_t userData, int32_t result, uint64_t now);
  void ChainDone(uint32_t index);
  void ReadCameBack(Slot& slot, const ChainCall& call);
  // Whether the system must block to read the job's file (and so, as a
  // rule, any file of its file system): then a read sent to the ring goes
  // to a worker thread and back, a switch per file that costs more than the
  // call it saves, and the phase's reads are made here instead.
  bool ReadsWait(const FileJob& job);
  // Makes the reads of the slot's chain, one call at a time, as if the
  // ring had sent them; then plans what follows.
  void ReadHere(uint32_t index);
  // Gives the slot the buffer freed last, of at least `bytes` bytes.
  void TakeBuffer(Slot& slot, uint32_t bytes);
  // Puts a finished slot's buffer back on top of the free ones.
  void ReleaseBuffer(Slot& slot);
  void RetireReady();
  void Cleanup();

  io_uring ring_{};
  bool ready_ = false;  // the ring exists
  bool started_ = false;
  int ringError_ = 0;
  const uint32_t depth_;
  const bool direct_;   // unbuffered I/O will be asked for
  uint32_t block_ = 0;  // of the phase's unbuffered transfers; 0: none
  FileSystem* const fileSystem_;
  TimedFileSystem* const timed_;
  EngineFaults* const faults_;
  std::vector<Slot> slots_;
  std::vector<uint32_t> queuedSlots_;  // chains queued since the last submission (timing)
  std::vector<uint32_t> continuing_;   // chains to queue once the completions are reaped
  Phase phase_{Work::kCreate, nullptr};
  uint32_t largestTransfer_ = 0;
  uint64_t head_ = 0;                    // the oldest job not retired
  uint64_t tail_ = 0;                    // the next job
  uint32_t queued_ = 0;                  // calls in the submission queue
  uint32_t outstanding_ = 0;             // calls sent whose completion is not reaped
  uint64_t readBytes_ = 0;               // verify: the largest reads of the files in flight
  std::vector<ReadBuffer> freeBuffers_;  // the buffers of no slot, the one freed last on top
  bool timing_ = false;
  bool failed_ = false;      // a job ended the phase
  bool abandoning_ = false;  // the phase is ending: chains close their file and stop
  // Verify: whether the first file was looked at, and whether reads on its
  // file system must block.
  bool readsProbed_ = false;
  bool readsWait_ = false;
  ReadBuffer hereBuffer_;  // what the reads made here bring, one at a time
  ErrorCode broken_ = 0;   // the ring took no more calls
};

}  // namespace uring
}  // namespace dtk

#endif  // DTK_ENGINE_URING_INTERNAL_H_
