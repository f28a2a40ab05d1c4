#include "driver/thread_group.h"

#include <algorithm>
#include <thread>

namespace dtk {

void ThreadGroup::Barrier() {
  std::unique_lock<std::mutex> lock(meeting_.mutex_);
  uint64_t round = meeting_.round_;
  if (++meeting_.arrived_ == meeting_.size_) {
    meeting_.arrived_ = 0;
    ++meeting_.round_;
    meeting_.allArrived_.notify_all();
    return;
  }
  meeting_.allArrived_.wait(lock, [&] { return meeting_.round_ != round; });
}

template <class Read>
void ThreadGroup::Exchange(const void* mine, Read&& read) {
  // Each member writes only its own slot, and only between the barrier
  // that ended the step before and the one below; the barriers order the
  // reads after every write.
  meeting_.shown_[static_cast<size_t>(member_)] = mine;
  Barrier();
  read(meeting_.shown_);
  Barrier();
}

uint64_t ThreadGroup::AllCombined(Combine how, uint64_t value) {
  uint64_t all = value;
  Exchange(&value, [&](const std::vector<const void*>& shown) {
    all = *static_cast<const uint64_t*>(shown[0]);
    for (size_t k = 1; k < shown.size(); ++k) {
      all = Combined(how, all, *static_cast<const uint64_t*>(shown[k]));
    }
  });
  return all;
}

void ThreadGroup::CombineToLead(Combine how, const uint64_t* values, uint64_t* results, int count) {
  Exchange(values, [&](const std::vector<const void*>& shown) {
    if (!isLead()) return;
    std::copy(values, values + count, results);
    for (size_t k = 1; k < shown.size(); ++k) {
      const uint64_t* theirs = static_cast<const uint64_t*>(shown[k]);
      for (int i = 0; i < count; ++i) results[i] = Combined(how, results[i], theirs[i]);
    }
  });
}

std::vector<std::string> ThreadGroup::GatherToLead(const std::string& text) {
  std::vector<std::string> texts;
  Exchange(&text, [&](const std::vector<const void*>& shown) {
    if (!isLead()) return;
    for (const void* each : shown) texts.push_back(*static_cast<const std::string*>(each));
  });
  return texts;
}

std::error_code RunOnThreads(int count, const std::function<void(int)>& body,
                             const std::function<void()>& whileWaiting,
                             std::chrono::milliseconds interval) {
  std::mutex mutex;
  std::condition_variable changed;
  enum { kWaiting, kGo, kCancel } state = kWaiting;
  int finished = 0;
  std::vector<std::thread> threads;
  threads.reserve(static_cast<size_t>(count));
  std::error_code failure;
  for (int k = 0; k < count; ++k) {
    try {
      threads.emplace_back([&, k] {
        {
          std::unique_lock<std::mutex> lock(mutex);
          changed.wait(lock, [&] { return state != kWaiting; });
          if (state == kCancel) return;
        }
        body(k);
        std::lock_guard<std::mutex> lock(mutex);
        ++finished;
        changed.notify_all();
      });
    } catch (const std::system_error& error) {
      failure = error.code();
      break;
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    state = failure ? kCancel : kGo;
  }
  changed.notify_all();
  if (!failure && whileWaiting) {
    std::unique_lock<std::mutex> lock(mutex);
    while (!changed.wait_for(lock, interval, [&] { return finished == count; })) {
      lock.unlock();
      whileWaiting();
      lock.lock();
    }
  }
  for (std::thread& thread : threads) thread.join();
  return failure;
}

}  // namespace dtk
