#include "engine/file_engine.h"

#include "engine/sync_engine.h"
#if defined(DTK_HAVE_URING)
#include "engine/uring_engine.h"
#endif

namespace dtk {

std::unique_ptr<FileEngine> MakeFileEngine(const EngineSettings& settings, std::string* error) {
  error->clear();
  if (settings.kind == EngineKind::kSync) return std::make_unique<SyncEngine>(*settings.fileSystem);
#if defined(DTK_HAVE_URING)
  return MakeUringEngine(settings, error);
#elif defined(__linux__)
  *error = "this dtk was built without io_uring (liburing was not found)";
  return nullptr;
#else
  *error = "io_uring is a Linux interface";
  return nullptr;
#endif
}

}  // namespace dtk
