// Setting the uring engine up: what the kernel has, and the ring.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "engine/uring_engine.h"
#include "engine/uring_internal.h"

namespace dtk {
namespace uring {
namespace {

// Why a system refuses io_uring, when it does.
const char kTurnedOff[] =
    " (io_uring is turned off by kernel.io_uring_disabled or a seccomp policy)";

std::string Failed(const char* what, int negativeCode) {
  return std::string(what) + ": " + SystemErrorText(static_cast<ErrorCode>(-negativeCode));
}

// Gives `ring` a registered file table of `places` empty places; the
// system call's result.
int RegisterFileTable(io_uring* ring, unsigned places) {
  int result = io_uring_register_files_sparse(ring, places);
  if (result >= 0) return result;
  std::vector<int> empty(places, -1);  // kernels before 5.19 take a table of empty places
  return io_uring_register_files(ring, empty.data(), places);
}

// Checks on a small ring of its own that the kernel has what the engine
// uses: "", or what it lacks.
std::string ProbeKernel(bool direct) {
  io_uring ring;
  int result = io_uring_queue_init(4, &ring, 0);
  // A ring's memory is memory like any other: running out of it is not a
  // refusal of io_uring.
  if (result == -ENOMEM) throw std::bad_alloc();
  // A system that forbids io_uring says so at the first call.
  if (result == -EPERM || result == -ENOSYS) return Failed("io_uring_setup", result) + kTurnedOff;
  if (result < 0) return Failed("io_uring_setup", result);
  std::string missing;
  io_uring_probe* probe = io_uring_get_probe_ring(&ring);
  if (probe == nullptr) missing = "a list of its io_uring operations";
  static const struct {
    int opcode;
    const char* name;
  } kNeeded[] = {
      {IORING_OP_OPENAT, "IORING_OP_OPENAT"}, {IORING_OP_READ, "IORING_OP_READ"},
      {IORING_OP_WRITE, "IORING_OP_WRITE"},   {IORING_OP_FSYNC, "IORING_OP_FSYNC"},
      {IORING_OP_CLOSE, "IORING_OP_CLOSE"},   {IORING_OP_UNLINKAT, "IORING_OP_UNLINKAT"}};
  // Without a list, `missing` already says so.
  for (const auto& needed : kNeeded) {
    if (missing.empty() && !io_uring_opcode_supported(probe, needed.opcode)) missing = needed.name;
  }
  // Unbuffered writes are of whole blocks, and the file is cut to its size
  // after the last one.
  if (direct && missing.empty() && !io_uring_opcode_supported(probe, kOpFtruncate)) {
    missing = "IORING_OP_FTRUNCATE for -direct";
  }
  if (probe != nullptr) io_uring_free_probe(probe);
  // Opening into a ring's file table (a direct descriptor, Linux 5.15): an
  // older kernel ignores the place and gives an ordinary descriptor.
  if (missing.empty() && RegisterFileTable(&ring, 1) < 0) missing = "registered file tables";
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

}  // namespace

std::string UringEngine::SetUp(ErrorCode refusal) {
  if (refusal != 0) return Failed("io_uring_setup", -static_cast<int>(refusal)) + kTurnedOff;
  if (std::string lacking = ProbeKernel(direct_); !lacking.empty()) return lacking;
  const char* failed = MakeRing();
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
  // A kernel before 6.1 refuses the last two flags: the ring is then made
  // without them.
  for (unsigned flags : {IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN, 0u}) {
    io_uring_params params{};
    params.flags = IORING_SETUP_CQSIZE | flags;
    params.cq_entries = calls;
    ringError_ = io_uring_queue_init_params(std::min(calls, kMaxQueueEntries), &ring_, &params);
    if (ringError_ != -EINVAL) break;
  }
  if (ringError_ < 0) return "io_uring_setup";
  ready_ = true;
  ringError_ = RegisterFileTable(&ring_, depth_);
  if (ringError_ < 0) return "registering a file table";
  // The calls that the kernel cannot finish at once (making and removing
  // files) go to a worker thread. With one worker they are made one after
  // another in the order sent, as one call at a time makes them: a file
  // system that fills up fails at the same file.
  unsigned workers[2] = {1, 0};
  io_uring_register_iowq_max_workers(&ring_, workers);
  return nullptr;
}

}  // namespace uring

std::unique_ptr<FileEngine> MakeUringEngine(const EngineSettings& settings, std::string* error) {
  auto engine = std::make_unique<uring::UringEngine>(settings);
  *error = engine->SetUp(settings.refusal);
  if (!error->empty()) return nullptr;
  return engine;
}

}  // namespace dtk
