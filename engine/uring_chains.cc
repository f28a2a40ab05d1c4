// Sending files to the kernel as chains of linked calls.
#include <errno.h>
#include <fcntl.h>
#include <sched.h>

#include <algorithm>

#include "engine/uring_internal.h"

namespace dtk {
namespace uring {

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
  job.ClearOutcome();
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
    job.Fail(OpenCall(), broken_);
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
    TakeBuffer(slot, static_cast<uint32_t>(WholeBlocks(
                         std::min<int64_t>(job.entry->size, largestTransfer_), block_)));
  }
  PlanChain(slot);
  ++tail_;
  QueueChain(index);
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
}

void UringEngine::QueueChain(uint32_t index) {
  Slot& slot = slots_[index];
  const FileJob& job = slot.job;
  for (uint32_t i = 0; faults_ != nullptr && i < slot.callCount; ++i) {
    ChainCall& call = slot.calls[i];
    call.fault = faults_->Before(call.call, job.path.c_str(), call.length);
  }
  if (slot.here && slot.calls[0].call == FileCall::kRead) {
    ReadHere(index);
    return;
  }
  // A chain goes to the kernel in one piece.
  if (io_uring_sq_space_left(&ring_) < slot.callCount) SubmitAndWait(0);
  if (io_uring_sq_space_left(&ring_) < slot.callCount) {
    // The kernel takes nothing more: the file fails with the reason.
    broken_ = EBUSY;
    slot.job.Fail(slot.calls[0].call, EBUSY);
    slot.finished = true;
    ReleaseBuffer(slot);
    return;
  }
  const char* name = job.path.c_str() + job.nameOffset;
  const int dir = static_cast<int>(job.dir);
  // Files are opened as the file system opens them; direct descriptors take
  // no O_CLOEXEC: they are not in the process's table.
  const int openFlags = (phase_.work == Work::kCreate ? kCreateFileFlags : kReadFileFlags) |
                        (block_ != 0 ? O_DIRECT : 0);
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
            io_uring_prep_openat(sqe, dir, name, openFlags | O_CLOEXEC, 0);
            break;
          }
          io_uring_prep_openat_direct(sqe, dir, name, openFlags, 0666, index);
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
        default:  // the calls on directories, which are no file's
          io_uring_prep_nop(sqe);
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

}  // namespace uring
}  // namespace dtk
