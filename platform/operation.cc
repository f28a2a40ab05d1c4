#include "platform/operation.h"

namespace dtk {

const char* OperationName(Operation operation) {
  static const char* const kNames[kOperationCount] = {
      "mkdir", "open", "write", "read", "flush", "close", "unlink", "rmdir", "truncate", "opendir"};
  return kNames[static_cast<int>(operation)];
}

}  // namespace dtk
