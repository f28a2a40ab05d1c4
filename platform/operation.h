// The kinds of call a report names, the same on every platform, and which
// calls of the file system each one covers.
#ifndef DTK_PLATFORM_OPERATION_H_
#define DTK_PLATFORM_OPERATION_H_

#include "platform/file_system.h"

namespace dtk {

// Opening a file for writing and for reading are both "open", opening a
// directory is "opendir"; flushing a file and a directory are both
// "flush", closing either is "close"; setting a file's size is
// "truncate".
enum class Operation {
  kMkdir,
  kOpen,
  kWrite,
  kRead,
  kFlush,
  kClose,
  kUnlink,
  kRmdir,
  kTruncate,
  kOpendir
};
constexpr int kOperationCount = 10;

// Its name in the report: "mkdir", "open", ...
const char* OperationName(Operation operation);

// The kind of the call `call`.
constexpr Operation OperationOf(FileCall call) {
  constexpr Operation kKinds[] = {Operation::kMkdir, Operation::kOpendir,  Operation::kFlush,
                                  Operation::kClose, Operation::kOpen,     Operation::kOpen,
                                  Operation::kWrite, Operation::kRead,     Operation::kTruncate,
                                  Operation::kFlush, Operation::kClose,    Operation::kUnlink,
                                  Operation::kRmdir};
  return kKinds[static_cast<int>(call)];
}

}  // namespace dtk

#endif  // DTK_PLATFORM_OPERATION_H_
