// The clock that times each file-system call of a report: read twice a
// call, so it must cost little. Where the processor's time-stamp counter
// runs at one rate whatever the core's speed and sleep (invariant, x86-64),
// it is that counter, whose rate is measured against the steady clock the
// first time it is asked for; elsewhere, the steady clock.
#ifndef DTK_SUPPORT_CALL_CLOCK_H_
#define DTK_SUPPORT_CALL_CLOCK_H_

#include <cstdint>

namespace dtk {

class CallClock {
 public:
  // The time now, in ticks of this clock.
  static uint64_t Ticks();
  // A span of `ticks` in nanoseconds.
  static uint64_t Nanoseconds(uint64_t ticks);
};

}  // namespace dtk

#endif  // DTK_SUPPORT_CALL_CLOCK_H_
