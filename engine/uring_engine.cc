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
#include "engine/uring_engine.h"

#include <errno.h>
#include <fcntl.h>
#include <liburing.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

#include "engine/file_calls.h"
#include "platform/posix_file_system.h"
#include "support/aligned_bytes.h"
#include "support/crc32.h"

// A no-op that completes with the result it carries (Linux 6.10): how a
// test's fault stands in for a call without the call being made.
#ifndef IORING_NOP_INJECT_RESULT
#define IORING_NOP_INJECT_RESULT (1U << 0)
#endif

// Cutting a file to a size, on a descriptor (Linux 6.9), which liburing
// before 2.6 has no name for.
constexpr uint8_t kOpFtruncate = 55;

namespace dtk {
namespace {

constexpr uint32_t kMaxChainTransfers = 8;
// Open, the transfers, the cut to size (-direct), flush, close.
constexpr uint32_t kMaxChainCalls = kMaxChainTransfers + 4;
// The most entries a submission queue may have.
constexpr uint32_t kMaxQueueEntries = 32768;
// The user data of the calls that remove the files made after a failure.
constexpr uint64_t kCleanupTag = ~uint64_t{0};
// The bytes that the reads of the files in flight may bring at once (at
// least one file's): what they bring is checked while it is still in the
// processor's cache, as one transfer buffer's would be.
constexpr uint64_t kReadBytesInFlight = 128 * 1024;

// Files are opened as the file system opens them (direct descriptors take
// no O_CLOEXEC: they are not in the process's table).
constexpr int kCreateFlags = kCreateFileFlags;
constexpr int kReadFlags = kReadFileFlags;

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
  ReadBuffer buffer;      // verify: what its reads bring; -direct: what its writes take
  int64_t submitted = 0;  // steady-clock nanoseconds when its chain was sent
};

// Why a system refuses io_uring, when it does.
const char kTurnedOff[] =
    " (io_uring is turned off by kernel.io_uring_disabled or a seccomp policy)";

std::string Failed(const char* what, int negativeCode) {
  return std::string(what) + ": " + SystemErrorText(static_cast<ErrorCode>(-negativeCode));
}

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
  void PlanClose(Slot& slot);
  void AskFaults(Slot& slot);
  // Puts the slot's chain into the submission queue.
  void QueueChain(uint32_t index);
  // Sends what is queued and waits for `waitFor` completions; the system
  // call's result.
  int SubmitAndWait(unsigned waitFor);
  // Sends, waits for about half of what is in flight, reaps, retires.
  void Pump();
  void Reap();
  void OnCompletion(uint64_t userData, int32_t result, int64_t now);
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
  void Fail(FileJob& job, FileCall call, int32_t result);
  // Gives the slot the buffer freed last, of at least `bytes` bytes.
  void TakeBuffer(Slot& slot, uint32_t bytes);
  // Puts a finished slot's buffer back on top of the free ones.
  void ReleaseBuffer(Slot& slot);
  void RetireReady();
  void Cleanup();
  static int64_t Now();

  io_uring ring_{};
  bool ready_ = false;  // the ring exists
  bool started_ = false;
  int ringError_ = 0;
  const uint32_t depth_;
  const bool direct_;  // unbuffered I/O will be asked for
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
  ErrorCode broken_ = 0;     // the ring took no more calls
};

// Checks on a small ring of its own that the kernel has what the engine
// uses: "", or what it lacks.
std::string ProbeKernel(bool direct) {
  io_uring ring;
  int result = io_uring_queue_init(4, &ring, 0);
  if (result < 0) return Failed("io_uring_setup", result);
  std::string missing;
  io_uring_probe* probe = io_uring_get_probe_ring(&ring);
  static const struct {
    int opcode;
    const char* name;
  } kNeeded[] = {
      {IORING_OP_OPENAT, "IORING_OP_OPENAT"}, {IORING_OP_READ, "IORING_OP_READ"},
      {IORING_OP_WRITE, "IORING_OP_WRITE"},   {IORING_OP_FSYNC, "IORING_OP_FSYNC"},
      {IORING_OP_CLOSE, "IORING_OP_CLOSE"},   {IORING_OP_UNLINKAT, "IORING_OP_UNLINKAT"}};
  for (const auto& needed : kNeeded) {
    if (probe == nullptr) {
      missing = "a list of its io_uring operations";
    } else if (!io_uring_opcode_supported(probe, needed.opcode) && missing.empty()) {
      missing = needed.name;
    }
  }
  // Unbuffered writes are of whole blocks, and the file is cut to its size
  // after the last one.
  if (direct && probe != nullptr && !io_uring_opcode_supported(probe, kOpFtruncate) &&
      missing.empty()) {
    missing = "IORING_OP_FTRUNCATE for -direct";
  }
  if (probe != nullptr) io_uring_free_probe(probe);
  // Opening into a ring's file table (a direct descriptor, Linux 5.15): an
  // older kernel ignores the place and gives an ordinary descriptor.
  if (missing.empty() && io_uring_register_files_sparse(&ring, 1) < 0) {
    int none = -1;
    if (io_uring_register_files(&ring, &none, 1) < 0) missing = "registered file tables";
  }
  if (missing.empty()) {
    io_uring_prep_openat_direct(io_uring_get_sqe(&ring), AT_FDCWD, "/", O_PATH | O_DIRECTORY, 0, 0);
    io_uring_cqe* cqe = nullptr;
    result = io_uring_submit_and_wait(&ring, 1);
    if (result >= 0) result = io_uring_peek_cqe(&ring, &cqe);
    int opened = result < 0 ? result : cqe->res;
    if (result >= 0) io_uring_cqe_seen(&ring, cqe);
    if (opened > 0) ::close(opened);
    if (opened != 0) missing = "direct descriptors (IORING_OP_OPENAT into a file table)";
  }
  io_uring_queue_exit(&ring);
  if (missing.empty()) return "";
  return "the kernel has no " + missing +
         (missing.find("FTRUNCATE") != std::string::npos ? " (Linux 6.9 or later)"
                                                         : " (Linux 5.15 or later)");
}

std::string UringEngine::SetUp(ErrorCode refusal) {
  if (refusal != 0) return Failed("io_uring_setup", -static_cast<int>(refusal)) + kTurnedOff;
  if (std::string lacking = ProbeKernel(direct_); !lacking.empty()) {
    // A system that forbids io_uring says so at the first call.
    if (lacking.find(SystemErrorText(EPERM)) != std::string::npos ||
        lacking.find(SystemErrorText(ENOSYS)) != std::string::npos) {
      lacking += kTurnedOff;
    }
    return lacking;
  }
  const char* failed = MakeRing();
  // The ring's memory is memory like any other: running out of it is not a
  // refusal of io_uring.
  if (failed != nullptr && ringError_ == -ENOMEM) throw std::bad_alloc();
  if (failed != nullptr) return Failed(failed, ringError_);
  return "";
}

const char* UringEngine::MakeRing() {
  // Every slot may have a whole chain in flight; the completion queue takes
  // them all, so that it never overflows. The thread that makes the ring
  // is its only submitter, which lets completions wait until that thread
  // asks for them (DEFER_TASKRUN, Linux 6.1) instead of interrupting it
  // one by one.
  uint32_t calls = depth_ * kMaxChainCalls;
  io_uring_params params{};
  params.flags = IORING_SETUP_CQSIZE | IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN;
  params.cq_entries = calls;
  uint32_t entries = std::min(calls, kMaxQueueEntries);
  ringError_ = io_uring_queue_init_params(entries, &ring_, &params);
  if (ringError_ == -EINVAL) {
    params = io_uring_params{};
    params.flags = IORING_SETUP_CQSIZE;
    params.cq_entries = calls;
    ringError_ = io_uring_queue_init_params(entries, &ring_, &params);
  }
  if (ringError_ < 0) return "io_uring_setup";
  ready_ = true;
  ringError_ = io_uring_register_files_sparse(&ring_, depth_);
  if (ringError_ < 0) {
    std::vector<int> empty(depth_, -1);  // kernels before 5.19 take a table of empty places
    ringError_ = io_uring_register_files(&ring_, empty.data(), depth_);
  }
  if (ringError_ < 0) return "registering a file table";
  // The calls that the kernel cannot finish at once (making and removing
  // files) go to a worker thread. With one worker they are made one after
  // another in the order sent, as one call at a time makes them: a file
  // system that fills up fails at the same file.
  unsigned workers[2] = {1, 0};
  io_uring_register_iowq_max_workers(&ring_, workers);
  return nullptr;
}

void UringEngine::Start() {
  started_ = true;
  // The thread and its worker hand the processor over in batches: a wakeup
  // does not preempt the other (SCHED_BATCH, which the worker takes from
  // this thread when it is made), so on one core the worker makes the calls
  // sent together, one after another, and this thread takes their
  // completions together, instead of the two switching at every call.
  sched_param none{};
  sched_setscheduler(0, SCHED_BATCH, &none);
}

void UringEngine::Begin(const Phase& phase) {
  if (!started_) Start();
  phase_ = phase;
  block_ = phase.directBlockSize;
  head_ = tail_ = 0;
  failed_ = abandoning_ = false;
  readsProbed_ = readsWait_ = false;
  largestTransfer_ = phase.work == Work::kCreate ? std::min(phase.transferSize, phase.patternSize)
                                                 : phase.transferSize;
  timing_ = timed_ != nullptr && timed_->enabled();
}

FileJob* UringEngine::NextJob() {
  RetireReady();
  while (!failed_ && tail_ - head_ == depth_) Pump();
  if (failed_) {
    Cleanup();
    return nullptr;
  }
  FileJob& job = SlotOf(tail_).job;
  job.opened = job.sizeError = false;
  job.code = 0;
  job.crc = 0;
  return &job;
}

void UringEngine::Submit() {
  uint32_t index = static_cast<uint32_t>(tail_ % depth_);
  Slot& slot = slots_[index];
  slot.done = 0;
  slot.open = slot.finished = slot.readsOver = slot.mayWait = slot.here = slot.leftOver = false;
  slot.closeCode = 0;
  slot.crc.Reset();
  FileJob& job = slot.job;
  if (broken_ != 0) {
    // No ring: every file fails with the reason.
    job.code = broken_;
    job.failedCall = OpenCall();
    slot.finished = true;
    ++tail_;
    return;
  }
  if (job.dir == kInvalidDir || job.path.size() > MaxPathLength()) {
    // Nowhere to send its calls: made one at a time, they fail with the
    // reason.
    slot.leftOver = slot.finished = true;
    ++tail_;
    return;
  }
  if (phase_.work == Work::kVerify && !readsProbed_) {
    readsProbed_ = true;
    readsWait_ = ReadsWait(job);
  }
  // The largest read of the file: all of it and a byte more, or a transfer.
  const uint32_t need =
      static_cast<uint32_t>(std::min<int64_t>(job.entry->size + 1, largestTransfer_));
  // Where reads must block, each goes to the worker thread and back. Small
  // files go many to a batch, one switch for them all; a file that takes
  // much of the bytes in flight is read here, one call in place of a
  // switch there and back.
  slot.here = phase_.work == Work::kVerify && readsWait_ && need > kReadBytesInFlight / 8;
  if (phase_.work == Work::kVerify && !slot.here) {
    // What reads bring is checked while it is still in the processor's
    // cache: so few large files are read at once.
    while (readBytes_ > 0 && readBytes_ + need > kReadBytesInFlight && !failed_) Pump();
    if (failed_) return;  // the job is not sent; the next NextJob says so
    TakeBuffer(slot, static_cast<uint32_t>(WholeBlocks(need, block_)));
    readBytes_ += need;
  } else if (phase_.work == Work::kCreate && block_ != 0) {
    // Unbuffered writes come from memory aligned to a block: each is
    // copied there from the pattern, one write at a time.
    TakeBuffer(slot, static_cast<uint32_t>(
                         WholeBlocks(std::min<int64_t>(job.entry->size, largestTransfer_), block_)));
  }
  PlanChain(slot);
  ++tail_;
  QueueChain(index);
}

bool UringEngine::ReadsWait(const FileJob& job) {
  // A test that stands in for the engine's calls wants them all sent.
  if (faults_ != nullptr) return false;
  // Unbuffered as the phase is, so that the look brings nothing into the
  // cache: the byte is refused (not whole blocks) after the question.
  int fd = ::openat(static_cast<int>(job.dir), job.path.c_str() + job.nameOffset,
                    kReadFlags | O_CLOEXEC | (block_ != 0 ? O_DIRECT : 0));
  if (fd < 0) return false;  // the file's own calls will say what is wrong
  bool waits = false;
  struct stat status;
  if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
    // A read that must not wait is refused outright by a file that has no
    // way to make one.
    uint8_t byte;
    iovec part{&byte, 1};
    waits = ::preadv2(fd, &part, 1, 0, RWF_NOWAIT) < 0 && errno == EOPNOTSUPP;
  }
  ::close(fd);
  return waits;
}

void UringEngine::ReadHere(uint32_t index) {
  Slot& slot = slots_[index];
  // A read asks for at most a transfer (whole blocks with -direct).
  hereBuffer_.Reserve(static_cast<uint32_t>(WholeBlocks(largestTransfer_, block_)));
  // The read is checked before the next is made: the file's chain takes
  // the buffer for as long as its read came back.
  std::swap(slot.buffer, hereBuffer_);
  ChainCall& call = slot.calls[0];  // a chain of reads made here has one
  int64_t start = timing_ ? Now() : 0;
  // Reads follow one another from the start, so the file's position is the
  // chain's offset; a FIFO planted there reads as it would one call at a
  // time.
  ssize_t got;
  do {
    got = ::read(slot.descriptor, slot.buffer.bytes.get(), call.length);
  } while (got < 0 && errno == EINTR);
  call.result = got < 0 ? -errno : static_cast<int32_t>(got);
  if (timing_) timed_->RecordCall(FileCall::kRead, static_cast<uint64_t>(Now() - start));
  slot.pending = 0;
  ChainDone(index);
  // Unless the chain ended with it and gave it back.
  if (slot.buffer.bytes) std::swap(slot.buffer, hereBuffer_);
}

void UringEngine::PlanChain(Slot& slot) {
  uint32_t count = 0;
  auto add = [&](FileCall call, int64_t offset, uint32_t length, bool lastRead) {
    slot.calls[count++] = {call, lastRead, length, offset, 0, 0};
  };
  const int64_t size = slot.job.entry->size;
  switch (phase_.work) {
    case Work::kRemove:
      add(FileCall::kDeleteFile, 0, 0, false);
      break;
    case Work::kCreate: {
      if (!slot.job.opened) add(OpenCall(), 0, 0, false);
      int64_t at = slot.done;
      // Unbuffered: one write a chain, from the slot's one buffer, filled
      // up to a whole block with zeros; the file is then cut to its size.
      const uint32_t transfers = block_ == 0 ? kMaxChainTransfers : 1;
      for (uint32_t n = 0; at < size && n < transfers; ++n) {
        uint32_t length = static_cast<uint32_t>(std::min<int64_t>(size - at, largestTransfer_));
        add(FileCall::kWrite, at, static_cast<uint32_t>(WholeBlocks(length, block_)), false);
        at += length;
      }
      if (at == size) {
        if (WholeBlocks(static_cast<uint64_t>(size), block_) != static_cast<uint64_t>(size)) {
          add(FileCall::kSetFileSize, size, 0, false);
        }
        if (phase_.flush) add(FileCall::kFlush, 0, 0, false);
        add(FileCall::kClose, 0, 0, false);
      }
      break;
    }
    case Work::kVerify: {
      if (!slot.job.opened) {
        add(OpenCall(), 0, 0, false);
        // Reads made here need the descriptor the open gives.
        if (slot.here) break;
      }
      // The last read asks for a byte more than is left, so that a file
      // longer than planned shows without another call. Coming up short
      // (as it does), it would go to the worker thread to look for the
      // byte again, unless it takes what is at hand (RWF_NOWAIT): the
      // file is closed once the read has said what it holds.
      int64_t remaining = size - slot.done;
      add(FileCall::kRead, slot.done, NextReadSize(remaining, largestTransfer_, block_),
          remaining < largestTransfer_);
      break;
    }
  }
  slot.callCount = count;
  AskFaults(slot);
}

void UringEngine::PlanClose(Slot& slot) {
  slot.calls[0] = {FileCall::kClose, false, 0, 0, 0, 0};
  slot.callCount = 1;
  AskFaults(slot);
}

void UringEngine::AskFaults(Slot& slot) {
  if (faults_ == nullptr) return;
  for (uint32_t i = 0; i < slot.callCount; ++i) {
    ChainCall& call = slot.calls[i];
    call.fault = faults_->Before(call.call, slot.job.path.c_str(), call.length);
  }
}

void UringEngine::QueueChain(uint32_t index) {
  Slot& slot = slots_[index];
  if (slot.here && slot.calls[0].call == FileCall::kRead) {
    ReadHere(index);
    return;
  }
  // A chain goes to the kernel in one piece.
  if (io_uring_sq_space_left(&ring_) < slot.callCount) SubmitAndWait(0);
  if (io_uring_sq_space_left(&ring_) < slot.callCount) {
    // The kernel takes nothing more: the file fails with the reason.
    broken_ = EBUSY;
    Fail(slot.job, slot.calls[0].call, -EBUSY);
    slot.finished = true;
    ReleaseBuffer(slot);
    return;
  }
  const FileJob& job = slot.job;
  const char* name = job.path.c_str() + job.nameOffset;
  const int dir = static_cast<int>(job.dir);
  const int unbuffered = block_ != 0 ? O_DIRECT : 0;
  for (uint32_t i = 0; i < slot.callCount; ++i) {
    const ChainCall& call = slot.calls[i];
    io_uring_sqe* sqe = io_uring_get_sqe(&ring_);
    if (call.fault != 0) {
      io_uring_prep_nop(sqe);
      sqe->rw_flags = IORING_NOP_INJECT_RESULT;
      sqe->len = static_cast<uint32_t>(-static_cast<int32_t>(call.fault));
    } else {
      switch (call.call) {
        case FileCall::kOpenForWrite:
        case FileCall::kOpenForRead:
          if (slot.here) {
            io_uring_prep_openat(sqe, dir, name, kReadFlags | O_CLOEXEC | unbuffered, 0);
            break;
          }
          io_uring_prep_openat_direct(sqe, dir, name,
                                      (phase_.work == Work::kCreate ? kCreateFlags : kReadFlags) |
                                          unbuffered,
                                      0666, index);
          break;
        case FileCall::kWrite: {
          // Every chunk is one run of the pattern ring, written from where
          // it lies, or (unbuffered) from the slot's aligned buffer.
          uint64_t ringAt =
              (job.ringStart + static_cast<uint64_t>(call.offset) % phase_.patternSize) %
              phase_.patternSize;
          const uint8_t* data = phase_.pattern + ringAt;
          if (block_ != 0) {
            uint32_t bytes = static_cast<uint32_t>(
                std::min<int64_t>(job.entry->size - call.offset, largestTransfer_));
            CopyPattern(slot.buffer.bytes.get(), phase_.pattern, phase_.patternSize, ringAt, bytes,
                        block_);
            data = slot.buffer.bytes.get();
          }
          io_uring_prep_write(sqe, static_cast<int>(index), data, call.length,
                              static_cast<uint64_t>(call.offset));
          sqe->flags |= IOSQE_FIXED_FILE;
          break;
        }
        case FileCall::kSetFileSize:
          io_uring_prep_rw(kOpFtruncate, sqe, static_cast<int>(index), nullptr, 0,
                           static_cast<uint64_t>(call.offset));
          sqe->flags |= IOSQE_FIXED_FILE;
          break;
        case FileCall::kRead:
          io_uring_prep_read(sqe, static_cast<int>(index), slot.buffer.bytes.get(), call.length,
                             static_cast<uint64_t>(call.offset));
          sqe->flags |= IOSQE_FIXED_FILE;
          break;
        case FileCall::kFlush:
          io_uring_prep_fsync(sqe, static_cast<int>(index), 0);
          sqe->flags |= IOSQE_FIXED_FILE;
          break;
        case FileCall::kClose:
          if (slot.here) {
            io_uring_prep_close(sqe, slot.descriptor);
            slot.descriptor = -1;
            break;
          }
          io_uring_prep_close_direct(sqe, index);
          break;
        case FileCall::kDeleteFile:
          io_uring_prep_unlinkat(sqe, dir, name, 0);
          break;
      }
    }
    // A failure, or a transfer that moves less than asked, cancels the
    // rest of the chain.
    if (i + 1 < slot.callCount) sqe->flags |= IOSQE_IO_LINK;
    io_uring_sqe_set_data64(sqe, (uint64_t{index} << 8) | i);
  }
  slot.pending = slot.callCount;
  queued_ += slot.callCount;
  if (timing_) queuedSlots_.push_back(index);
}

int64_t UringEngine::Now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int UringEngine::SubmitAndWait(unsigned waitFor) {
  if (!queuedSlots_.empty()) {
    int64_t now = Now();
    for (uint32_t index : queuedSlots_) slots_[index].submitted = now;
    queuedSlots_.clear();
  }
  int result = io_uring_submit_and_wait(&ring_, waitFor);
  if (result > 0) {
    queued_ -= static_cast<uint32_t>(result);
    outstanding_ += static_cast<uint32_t>(result);
  }
  return result;
}

void UringEngine::Pump() {
  RetireReady();
  uint32_t inFlight = queued_ + outstanding_;
  if (failed_ || inFlight == 0) return;
  // Waiting for about half of what is in flight keeps the kernel busy with
  // the other half while the tester prints and checks, with few calls.
  int result = SubmitAndWait(std::max(1u, inFlight / 2));
  // A signal, or a shortage the next round may not have.
  if (result < 0 && result != -EINTR && result != -EAGAIN && result != -EBUSY &&
      result != -ENOMEM) {
    broken_ = static_cast<ErrorCode>(-result);
  }
  Reap();
  RetireReady();
}

void UringEngine::Reap() {
  int64_t now = timing_ ? Now() : 0;
  unsigned head;
  unsigned seen = 0;
  io_uring_cqe* cqe;
  io_uring_for_each_cqe(&ring_, head, cqe) {
    OnCompletion(cqe->user_data, cqe->res, now);
    ++seen;
  }
  io_uring_cq_advance(&ring_, seen);
  outstanding_ -= seen;
  // Reads made here plan the close that follows them: the list grows.
  for (size_t i = 0; i < continuing_.size(); ++i) QueueChain(continuing_[i]);
  continuing_.clear();
}

void UringEngine::OnCompletion(uint64_t userData, int32_t result, int64_t now) {
  if (userData == kCleanupTag) return;
  uint32_t index = static_cast<uint32_t>(userData >> 8);
  Slot& slot = slots_[index];
  ChainCall& call = slot.calls[userData & 0xFF];
  call.result = result;
  // A name that is taken goes to the checked reuse, which counts its own
  // open, as the calls one at a time count one.
  bool reused = call.call == FileCall::kOpenForWrite && result == -EEXIST;
  if (timing_ && result != -ECANCELED && !reused) {
    timed_->RecordCall(call.call, static_cast<uint64_t>(std::max<int64_t>(0, now - slot.submitted)));
  }
  if (--slot.pending == 0) ChainDone(index);
}

void UringEngine::Fail(FileJob& job, FileCall call, int32_t result) {
  if (job.code != 0) return;
  job.code = static_cast<ErrorCode>(-result);
  job.failedCall = call;
}

void UringEngine::ReadCameBack(Slot& slot, const ChainCall& call) {
  FileJob& job = slot.job;
  if (call.result == -EAGAIN && call.lastRead) {
    slot.mayWait = true;  // read again, waiting for the data
    return;
  }
  if (call.result < 0) {
    Fail(job, call.call, call.result);
    return;
  }
  // The rules of a read one call at a time.
  int64_t got = call.result;
  ReadStep step = AfterRead(got, job.entry->size - slot.done, call.length, block_);
  if (step == ReadStep::kSizeError) {
    job.sizeError = true;
    return;
  }
  if (got > 0) slot.crc.Update(static_cast<uint32_t>(got), slot.buffer.bytes.get());
  slot.done += got;
  if (step == ReadStep::kDone) slot.readsOver = true;
}

void UringEngine::ChainDone(uint32_t index) {
  Slot& slot = slots_[index];
  FileJob& job = slot.job;
  for (uint32_t i = 0; i < slot.callCount; ++i) {
    const ChainCall& call = slot.calls[i];
    // Not made: an earlier call of the chain failed or came up short.
    if (call.result == -ECANCELED) break;
    switch (call.call) {
      case FileCall::kOpenForWrite:
        case FileCall::kOpenForRead:
        if (call.result >= 0) {
          slot.open = job.opened = true;
          if (slot.here) slot.descriptor = call.result;
        } else if (call.result == -EEXIST && phase_.work == Work::kCreate) {
          slot.leftOver = true;  // something is there: the checked reuse decides
        } else {
          Fail(job, call.call, call.result);
        }
        break;
      case FileCall::kWrite:
        // A call that moves nothing without an error means there is no room.
        // An unbuffered write that comes up short leaves no whole block to
        // go on from: the device had no room for it.
        if (call.result <= 0 || (block_ != 0 && static_cast<uint32_t>(call.result) < call.length)) {
          Fail(job, call.call, call.result < 0 ? call.result : -ENOSPC);
        } else {
          slot.done = std::min<int64_t>(slot.done + call.result, job.entry->size);
        }
        break;
      case FileCall::kRead:
        ReadCameBack(slot, call);
        break;
      case FileCall::kFlush:
      case FileCall::kSetFileSize:
      case FileCall::kDeleteFile:
        if (call.result < 0) Fail(job, call.call, call.result);
        break;
      case FileCall::kClose:
        slot.open = false;
        // A close that fails loses data written, not data read.
        if (call.result < 0 && phase_.work == Work::kVerify) {
          slot.closeCode = static_cast<ErrorCode>(-call.result);
        } else if (call.result < 0) {
          Fail(job, call.call, call.result);
        }
        break;
    }
  }
  // A file being written is closed by the chain of its last bytes; one
  // being read once its reads are over.
  bool stop = slot.leftOver || job.code != 0 || job.sizeError || abandoning_ || slot.readsOver ||
              phase_.work == Work::kRemove;
  bool more = slot.open;
  if (stop && more) PlanClose(slot);
  if (!stop && more) PlanChain(slot);
  if (more) {
    continuing_.push_back(index);
  } else {
    slot.finished = true;
    ReleaseBuffer(slot);
  }
}

void UringEngine::TakeBuffer(Slot& slot, uint32_t bytes) {
  // The buffer freed last, still in the cache.
  ReadBuffer& buffer = freeBuffers_.back();
  buffer.Reserve(bytes);
  slot.buffer = std::move(buffer);
  freeBuffers_.pop_back();
}

void UringEngine::ReleaseBuffer(Slot& slot) {
  if (!slot.buffer.bytes) return;
  if (phase_.work == Work::kVerify) {
    readBytes_ -= std::min<uint64_t>(
        readBytes_, std::min<int64_t>(slot.job.entry->size + 1, largestTransfer_));
  }
  freeBuffers_.push_back(std::move(slot.buffer));
  slot.buffer = ReadBuffer();
}

void UringEngine::RetireReady() {
  while (!failed_ && !abandoning_ && head_ != tail_) {
    Slot& slot = SlotOf(head_);
    FileJob& job = slot.job;
    if (!slot.finished) {
      if (broken_ == 0) break;
      // The ring takes no more calls: the file fails with its reason.
      if (job.code == 0) job.code = broken_;
      slot.leftOver = false;
    }
    ++head_;
    job.crc = slot.crc.Value();
    if (timing_ && !slot.leftOver) {
      // Failures are listed in the order of the files, up to the one that
      // ends the phase, as when the calls are made one at a time.
      if (job.code != 0) timed_->RecordFailure(job.failedCall, job.path, job.code);
      if (slot.closeCode != 0) timed_->RecordFailure(FileCall::kClose, job.path, slot.closeCode);
    }
    phase_.sink->Starting(job);
    if (slot.leftOver) {
      job.opened = false;
      job.code = 0;
      MakeFileCalls(*fileSystem_, phase_, job);
    }
    if (phase_.sink->Retire(job) < 0) failed_ = true;
  }
}

int UringEngine::Drain() {
  RetireReady();
  while (!failed_ && head_ != tail_) Pump();
  if (!failed_) return 0;
  Cleanup();
  return -1;
}

void UringEngine::End() { Cleanup(); }

void UringEngine::Cleanup() {
  if (head_ == tail_ && queued_ + outstanding_ == 0) return;
  abandoning_ = true;
  auto waitForAll = [&] {
    while (broken_ == 0 && queued_ + outstanding_ > 0) {
      int result = SubmitAndWait(queued_ + outstanding_);
      if (result < 0 && result != -EINTR && result != -EAGAIN && result != -EBUSY &&
          result != -ENOMEM) {
        broken_ = static_cast<ErrorCode>(-result);
      }
      Reap();
    }
  };
  // Every call comes back; a chain that ends now only closes its file.
  waitForAll();
  if (phase_.work == Work::kCreate) {
    // The files that jobs after the one that ended the phase made go again,
    // so that the tree is what the calls one at a time would have left.
    for (uint64_t sequence = head_; sequence != tail_ && broken_ == 0; ++sequence) {
      const FileJob& job = SlotOf(sequence).job;
      if (!job.opened) continue;
      if (io_uring_sq_space_left(&ring_) == 0) SubmitAndWait(0);
      io_uring_sqe* sqe = io_uring_get_sqe(&ring_);
      io_uring_prep_unlinkat(sqe, static_cast<int>(job.dir), job.path.c_str() + job.nameOffset, 0);
      io_uring_sqe_set_data64(sqe, kCleanupTag);
      ++queued_;
    }
    waitForAll();
  }
  head_ = tail_;
  for (Slot& slot : slots_) {
    // Only a ring that took no more calls leaves a file open.
    if (slot.descriptor >= 0) ::close(slot.descriptor);
    slot.descriptor = -1;
    if (slot.buffer.bytes) freeBuffers_.push_back(std::move(slot.buffer));
    slot.buffer = ReadBuffer();
  }
  readBytes_ = 0;
  abandoning_ = false;
  failed_ = true;
}

}  // namespace

std::unique_ptr<FileEngine> MakeUringEngine(const EngineSettings& settings, std::string* error) {
  auto engine = std::make_unique<UringEngine>(settings);
  *error = engine->SetUp(settings.refusal);
  if (!error->empty()) return nullptr;
  return engine;
}

}  // namespace dtk
