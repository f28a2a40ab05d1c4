// The timeline of every phase: what the members of a process finished in
// each stretch of the phase's time, taken from the counters the run keeps
// anyway by a thread of its own that sleeps between samples.
#ifndef DTK_REPORTING_TIMELINE_SAMPLER_H_
#define DTK_REPORTING_TIMELINE_SAMPLER_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "reporting/phase_frame.h"
#include "reporting/run_report.h"
#include "reporting/timed_file_system.h"

namespace dtk {

class TimelineSampler {
 public:
  using SteadyClock = std::chrono::steady_clock;

  // Samples the phases of up to `members` members every `interval`.
  TimelineSampler(int members, std::chrono::milliseconds interval);
  ~TimelineSampler();
  TimelineSampler(const TimelineSampler&) = delete;
  TimelineSampler& operator=(const TimelineSampler&) = delete;

  // Member `member` begins a phase that counts in `counters` (directories
  // too, unless `verify`, whose second count is its CRC errors), timed by
  // `timed`. Members that begin a phase while another is in it share its
  // start, from which every sample's time is counted.
  void BeginPhase(int member, const PhaseCounters& counters, bool verify, TimedFileSystem& timed);
  // The phase is over for `member`: its last sample holds what is left,
  // and its timeline, whose samples add up to its counts, is returned.
  std::vector<TimelineSample> EndPhase(int member);

 private:
  struct Member {
    const PhaseCounters* counters = nullptr;
    TimedFileSystem* timed = nullptr;
    bool verify = false;
    bool active = false;
    // What the samples so far hold.
    uint64_t files = 0;
    uint64_t directories = 0;
    int64_t bytes = 0;
    std::vector<TimelineSample> samples;
  };

  // Runs in the sampler's thread.
  void Run();
  // Takes every sample due by `now`: after a stop of the process (SIGSTOP)
  // the samples it missed hold nothing, the last one what came meanwhile.
  void SampleDue(SteadyClock::time_point now);
  // Adds the sample of `member` that ends at `end`; true when its
  // timeline's samples merged.
  bool AddSampleOf(Member& member, SteadyClock::time_point end, bool withCounts);

  const std::chrono::milliseconds baseInterval_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Member> members_;
  int active_ = 0;
  bool stopping_ = false;
  SteadyClock::time_point start_;     // of the phase under way
  SteadyClock::time_point last_;      // where the last sample ended
  SteadyClock::duration interval_{};  // of the samples to come
  std::thread thread_;
};

}  // namespace dtk

#endif  // DTK_REPORTING_TIMELINE_SAMPLER_H_
