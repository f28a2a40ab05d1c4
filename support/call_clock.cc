#include "support/call_clock.h"

#include <chrono>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <cpuid.h>
#include <x86intrin.h>
#define DTK_TIME_STAMP_COUNTER 1
#endif

namespace dtk {
namespace {

uint64_t SteadyNanoseconds() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

#if defined(DTK_TIME_STAMP_COUNTER)
// Nanoseconds per tick of the counter, or 0 where it is not to be used.
double CounterRate() {
  static const double rate = [] {
    unsigned a = 0, b = 0, c = 0, d = 0;
    // Invariant: the same rate in every power state (CPUID 0x80000007, EDX
    // bit 8).
    if (!__get_cpuid(0x80000007, &a, &b, &c, &d) || (d & (1u << 8)) == 0) return 0.0;
    // Two milliseconds of the steady clock against the counter: the rate to
    // a few parts in a hundred thousand.
    uint64_t startNs = SteadyNanoseconds();
    uint64_t startTicks = __rdtsc();
    uint64_t endNs;
    do {
      endNs = SteadyNanoseconds();
    } while (endNs - startNs < 2000000);
    uint64_t ticks = __rdtsc() - startTicks;
    return ticks == 0 ? 0.0 : static_cast<double>(endNs - startNs) / static_cast<double>(ticks);
  }();
  return rate;
}
#endif

}  // namespace

uint64_t CallClock::Ticks() {
#if defined(DTK_TIME_STAMP_COUNTER)
  if (CounterRate() != 0) return __rdtsc();
#endif
  return SteadyNanoseconds();
}

uint64_t CallClock::Nanoseconds(uint64_t ticks) {
#if defined(DTK_TIME_STAMP_COUNTER)
  if (double rate = CounterRate(); rate != 0) {
    return static_cast<uint64_t>(static_cast<double>(ticks) * rate);
  }
#endif
  return ticks;
}

}  // namespace dtk
