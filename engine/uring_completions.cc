// Taking the completions of the calls in flight, and retiring files in the
// order they were given.
#include <errno.h>
#include <unistd.h>

#include <algorithm>

#include "engine/uring_internal.h"

namespace dtk {
namespace uring {

void UringEngine::SubmitAndWait(unsigned waitFor) {
  if (!queuedSlots_.empty()) {
    uint64_t now = CallClock::Ticks();
    for (uint32_t index : queuedSlots_) slots_[index].submitted = now;
    queuedSlots_.clear();
  }
  int result = io_uring_submit_and_wait(&ring_, waitFor);
  if (result > 0) {
    queued_ -= static_cast<uint32_t>(result);
    outstanding_ += static_cast<uint32_t>(result);
  }
  if (result < 0 && result != -EINTR && result != -EAGAIN && result != -EBUSY &&
      result != -ENOMEM) {
    broken_ = static_cast<ErrorCode>(-result);
  }
}

void UringEngine::Pump() {
  RetireReady();
  uint32_t inFlight = queued_ + outstanding_;
  if (failed_ || inFlight == 0) return;
  // Waiting for about half of what is in flight keeps the kernel busy with
  // the other half while the tester prints and checks, with few calls.
  SubmitAndWait(std::max(1u, inFlight / 2));
  Reap();
  RetireReady();
}

void UringEngine::Reap() {
  uint64_t now = timing_ ? CallClock::Ticks() : 0;
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

void UringEngine::OnCompletion(uint64_t userData, int32_t result, uint64_t now) {
  if (userData == kCleanupTag) return;
  uint32_t index = static_cast<uint32_t>(userData >> 8);
  Slot& slot = slots_[index];
  ChainCall& call = slot.calls[userData & 0xFF];
  call.result = result;
  // A name that is taken goes to the checked reuse, which counts its own
  // open, as the calls one at a time count one.
  bool reused = call.call == FileCall::kOpenForWrite && result == -EEXIST;
  if (timing_ && result != -ECANCELED && !reused) {
    timed_->RecordCall(call.call,
                       CallClock::Nanoseconds(now > slot.submitted ? now - slot.submitted : 0));
  }
  if (--slot.pending == 0) ChainDone(index);
}

void UringEngine::ReadCameBack(Slot& slot, const ChainCall& call) {
  FileJob& job = slot.job;
  if (call.result == -EAGAIN && call.lastRead) {
    slot.mayWait = true;  // read again, waiting for the data
    return;
  }
  if (call.result < 0) {
    job.Fail(call.call, static_cast<ErrorCode>(-call.result));
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
    const ErrorCode error = call.result < 0 ? static_cast<ErrorCode>(-call.result) : 0;
    switch (call.call) {
      case FileCall::kOpenForWrite:
      case FileCall::kOpenForRead:
        if (call.result >= 0) {
          slot.open = job.opened = true;
          if (slot.here) slot.descriptor = call.result;
        } else if (call.result == -EEXIST && phase_.work == Work::kCreate) {
          slot.leftOver = true;  // something is there: the checked reuse decides
        } else {
          job.Fail(call.call, error);
        }
        break;
      case FileCall::kWrite:
        // A call that moves nothing without an error means there is no room.
        // An unbuffered write that comes up short leaves no whole block to
        // go on from: the device had no room for it.
        if (call.result <= 0 || (block_ != 0 && static_cast<uint32_t>(call.result) < call.length)) {
          job.Fail(call.call, error != 0 ? error : ENOSPC);
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
        job.Fail(call.call, error);
        break;
      case FileCall::kClose:
        slot.open = false;
        // A close that fails loses data written, not data read.
        if (phase_.work == Work::kVerify) {
          slot.closeCode = error;
        } else {
          job.Fail(call.call, error);
        }
        break;
      default:  // the calls on directories, which are no file's
        break;
    }
  }
  // A file being written is closed by the chain of its last bytes; one
  // being read once its reads are over.
  bool stop = slot.leftOver || job.code != 0 || job.sizeError || abandoning_ || slot.readsOver ||
              phase_.work == Work::kRemove;
  if (!slot.open) {
    slot.finished = true;
    ReleaseBuffer(slot);
    return;
  }
  if (stop) {
    slot.calls[0] = {FileCall::kClose, false, 0, 0, 0, 0};
    slot.callCount = 1;
  } else {
    PlanChain(slot);
  }
  continuing_.push_back(index);
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
    readBytes_ -= std::min<uint64_t>(readBytes_,
                                     std::min<int64_t>(slot.job.entry->size + 1, largestTransfer_));
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
      job.Fail(slot.calls[0].call, broken_);
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
      job.ClearOutcome();
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
      SubmitAndWait(queued_ + outstanding_);
      Reap();
    }
  };
  // Every call comes back; a chain that ends now only closes its file.
  waitForAll();
  if (phase_.work == Work::kCreate) {
    // The files that jobs after the one that ended the phase made go again,
    // so that the tree is what the calls one at a time would have left.
    for (uint64_t sequence = head_; sequence != tail_; ++sequence) {
      const FileJob& job = SlotOf(sequence).job;
      if (!job.opened) continue;
      if (broken_ == 0 && io_uring_sq_space_left(&ring_) == 0) SubmitAndWait(0);
      io_uring_sqe* sqe = broken_ == 0 ? io_uring_get_sqe(&ring_) : nullptr;
      if (sqe == nullptr) {
        // The ring takes no more calls: the file goes one call at a time.
        fileSystem_->DeleteFile(job.place());
        continue;
      }
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

}  // namespace uring
}  // namespace dtk
