// The sync engine: makes each file's calls as it is handed over, one at a
// time, and hands it back at once.
#ifndef DTK_ENGINE_SYNC_ENGINE_H_
#define DTK_ENGINE_SYNC_ENGINE_H_

#include "engine/file_engine.h"

namespace dtk {

class SyncEngine : public FileEngine {
 public:
  // Borrows `fileSystem` for its whole life.
  explicit SyncEngine(FileSystem& fileSystem) : fileSystem_(fileSystem) {}

  void Begin(const Phase& phase) override;
  FileJob* NextJob() override;
  void Submit() override;
  int Drain() override { return failed_ ? -1 : 0; }
  void End() override {}

 private:
  FileSystem& fileSystem_;
  Phase phase_{Work::kCreate, nullptr};
  FileJob job_;
  bool failed_ = false;
};

}  // namespace dtk

#endif  // DTK_ENGINE_SYNC_ENGINE_H_
