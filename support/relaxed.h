// A count that one thread keeps and other threads may read at any moment,
// such as a phase's counters, which a status line reads while the walk
// goes on.
#ifndef DTK_SUPPORT_RELAXED_H_
#define DTK_SUPPORT_RELAXED_H_

#include <atomic>

namespace dtk {

// Every access is a relaxed atomic one, which on common processors is the
// plain load or store an ordinary number takes: the thread that keeps the
// count pays nothing for it. Only one thread may change it; readers see
// each value it stores, in order, and never a torn one.
template <class T>
class Relaxed {
 public:
  Relaxed(T value = 0) : value_(value) {}  // NOLINT: stands for a number
  Relaxed(const Relaxed& other) : value_(other.get()) {}
  Relaxed& operator=(const Relaxed& other) {
    set(other.get());
    return *this;
  }

  T get() const { return value_.load(std::memory_order_relaxed); }
  operator T() const { return get(); }  // NOLINT: reads as the number
  Relaxed& operator++() {
    set(get() + 1);
    return *this;
  }
  Relaxed& operator+=(T amount) {
    set(get() + amount);
    return *this;
  }

 private:
  void set(T value) { value_.store(value, std::memory_order_relaxed); }
  std::atomic<T> value_;
};

}  // namespace dtk

#endif  // DTK_SUPPORT_RELAXED_H_
