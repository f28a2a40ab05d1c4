#include "engine/sync_engine.h"

#include "engine/file_calls.h"

namespace dtk {

void SyncEngine::Begin(const Phase& phase) {
  phase_ = phase;
  failed_ = false;
}

FileJob* SyncEngine::NextJob() {
  if (failed_) return nullptr;
  job_.ClearOutcome();
  return &job_;
}

void SyncEngine::Submit() {
  // The file's line comes before its calls: after a failure, or while a
  // call takes long, the last line names the file.
  phase_.sink->Starting(job_);
  MakeFileCalls(fileSystem_, phase_, job_);
  if (phase_.sink->Retire(job_) < 0) failed_ = true;
}

}  // namespace dtk
