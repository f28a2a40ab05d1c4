// The calendar clock the phases' start and finish lines read, in whole
// seconds since 1970; tests pin it.
#ifndef DTK_SUPPORT_CLOCK_H_
#define DTK_SUPPORT_CLOCK_H_

#include <cstdint>

namespace dtk {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual int64_t Now() = 0;
};

class SystemClock : public Clock {
 public:
  int64_t Now() override;
};

}  // namespace dtk

#endif  // DTK_SUPPORT_CLOCK_H_
