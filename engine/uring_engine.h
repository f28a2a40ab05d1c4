// The uring engine: many files' calls in flight at once through one
// io_uring per tester (Linux, with liburing).
#ifndef DTK_ENGINE_URING_ENGINE_H_
#define DTK_ENGINE_URING_ENGINE_H_

#include <memory>
#include <string>

#include "engine/file_engine.h"

namespace dtk {

// Sets up a ring for `settings.depth` files in flight and checks that the
// kernel has every operation the engine uses. Null, with `*error` saying
// why, where it cannot be had (`settings.refusal`, not 0, refuses it as if
// setting up the ring had failed with that code).
std::unique_ptr<FileEngine> MakeUringEngine(const EngineSettings& settings, std::string* error);

}  // namespace dtk

#endif  // DTK_ENGINE_URING_ENGINE_H_
