// Reads made in the engine's own thread, one call at a time, where the
// kernel would block on them (tmpfs): cheaper than a trip to its worker.
#include <errno.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <utility>

#include "engine/uring_internal.h"

namespace dtk {
namespace uring {

bool UringEngine::ReadsWait(const FileJob& job) {
  // A test that stands in for the engine's calls wants them all sent.
  if (faults_ != nullptr) return false;
  // Unbuffered as the phase is, so that the look brings nothing into the
  // cache: the byte is refused (not whole blocks) after the question.
  int fd = ::openat(static_cast<int>(job.dir), job.path.c_str() + job.nameOffset,
                    kReadFileFlags | O_CLOEXEC | (block_ != 0 ? O_DIRECT : 0));
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
  const ChainCall& call = slot.calls[0];  // a chain of reads made here has one
  slot.submitted = timing_ ? CallClock::Ticks() : 0;
  // Reads follow one another from the start, so the file's position is the
  // chain's offset; a FIFO planted there reads as it would one call at a
  // time.
  ssize_t got;
  do {
    got = ::read(slot.descriptor, slot.buffer.bytes.get(), call.length);
  } while (got < 0 && errno == EINTR);
  const int32_t result = got < 0 ? -errno : static_cast<int32_t>(got);
  // It comes back as a call the ring made would.
  slot.pending = 1;
  OnCompletion(uint64_t{index} << 8, result, timing_ ? CallClock::Ticks() : 0);
  // Unless the chain ended with it and gave it back.
  if (slot.buffer.bytes) std::swap(slot.buffer, hereBuffer_);
}

}  // namespace uring
}  // namespace dtk
