// The threads of one process as a run group (dtk -threads N), and starting
// them.
#ifndef DTK_DRIVER_THREAD_GROUP_H_
#define DTK_DRIVER_THREAD_GROUP_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include "driver/run_group.h"

namespace dtk {

// One thread's place in the group. Every collective step is a meeting of
// all the threads: each shows the others its values where they lie, and
// nothing is copied but what the lead combines.
class ThreadGroup : public RunGroup {
 public:
  // What the threads of a group share; it outlives them.
  class Meeting {
   public:
    explicit Meeting(int size) : size_(size), shown_(static_cast<size_t>(size)) {}

   private:
    friend class ThreadGroup;
    const int size_;
    std::mutex mutex_;
    std::condition_variable allArrived_;
    int arrived_ = 0;
    uint64_t round_ = 0;
    std::vector<const void*> shown_;  // by member, for the step under way
  };

  // Member `member` of the threads that meet at `meeting`.
  ThreadGroup(Meeting& meeting, int member) : meeting_(meeting), member_(member) {}

  const char* kind() const override { return "thread"; }
  int member() const override { return member_; }
  int size() const override { return meeting_.size_; }
  std::string HostName() const override { return std::string(); }

  void Barrier() override;
  uint64_t AllCombined(Combine how, uint64_t value) override;
  void CombineToLead(Combine how, const uint64_t* values, uint64_t* results, int count) override;
  std::vector<std::string> GatherToLead(const std::string& text) override;

 private:
  // Shows `mine` to the others, waits until every member has shown its
  // own, lets `read` look at all of them (in member order), and returns
  // once every member has done so, so that what was shown may go.
  template <class Read>
  void Exchange(const void* mine, Read&& read);

  Meeting& meeting_;
  int member_;
};

// Runs `body(k)` for every k from 0 to `count` - 1, each on a thread of its
// own, and returns once all of them have returned. Every thread is started
// before any body runs: when one cannot be started, no body runs and the
// system's reason is returned; otherwise the code is empty. Meanwhile the
// calling thread calls `whileWaiting` (unless it is empty) every
// `interval`, until the last body has returned.
std::error_code RunOnThreads(int count, const std::function<void(int)>& body,
                             const std::function<void()>& whileWaiting = {},
                             std::chrono::milliseconds interval = std::chrono::seconds(1));

}  // namespace dtk

#endif  // DTK_DRIVER_THREAD_GROUP_H_
