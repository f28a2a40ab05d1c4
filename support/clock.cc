#include "support/clock.h"

#include <ctime>

namespace dtk {

int64_t SystemClock::Now() { return static_cast<int64_t>(std::time(nullptr)); }

}  // namespace dtk
