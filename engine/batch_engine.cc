#include "engine/batch_engine.h"

#if defined(DTK_HAVE_URING)
#include "engine/uring_engine.h"
#endif

namespace dtk {
namespace {

ErrorCode forcedUringRefusal = 0;

}  // namespace

void ForceUringRefusal(ErrorCode code) { forcedUringRefusal = code; }

std::unique_ptr<BatchEngine> MakeBatchEngine(const EngineSettings& settings, std::string* error) {
  error->clear();
  if (settings.kind == EngineKind::kSync) return nullptr;
#if defined(DTK_HAVE_URING)
  return MakeUringEngine(settings, forcedUringRefusal, error);
#elif defined(__linux__)
  *error = "this dtk was built without io_uring (liburing was not found)";
  return nullptr;
#else
  *error = "io_uring is a Linux interface";
  return nullptr;
#endif
}

}  // namespace dtk
