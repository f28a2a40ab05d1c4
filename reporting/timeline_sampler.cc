#include "reporting/timeline_sampler.h"

namespace dtk {
namespace {

double Seconds(std::chrono::steady_clock::duration duration) {
  return std::chrono::duration<double>(duration).count();
}

}  // namespace

TimelineSampler::TimelineSampler(int members, std::chrono::milliseconds interval)
    : baseInterval_(interval), members_(static_cast<size_t>(members)) {
  thread_ = std::thread([this] { Run(); });
}

TimelineSampler::~TimelineSampler() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void TimelineSampler::BeginPhase(int member, const PhaseCounters& counters, bool verify,
                                 TimedFileSystem& timed) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (active_ == 0) {
    start_ = last_ = SteadyClock::now();
    interval_ = baseInterval_;
  }
  Member& m = members_[static_cast<size_t>(member)];
  m = Member();
  m.counters = &counters;
  m.timed = &timed;
  m.verify = verify;
  m.active = true;
  timed.TakeSampleMax();  // calls before the phase are no part of it
  ++active_;
  changed_.notify_all();
}

std::vector<TimelineSample> TimelineSampler::EndPhase(int member) {
  std::lock_guard<std::mutex> lock(mutex_);
  SampleDue(SteadyClock::now());
  Member& m = members_[static_cast<size_t>(member)];
  if (!m.active) return {};
  // What is left, unless the phase ended right where a sample did.
  SteadyClock::time_point now = SteadyClock::now();
  if (now > last_) AddSampleOf(m, now, true);
  m.active = false;
  --active_;
  return std::move(m.samples);
}

bool TimelineSampler::AddSampleOf(Member& member, SteadyClock::time_point end, bool withCounts) {
  TimelineSample sample;
  sample.t = Seconds(end - start_);
  sample.seconds = Seconds(end - last_);
  if (withCounts) {
    const PhaseCounters& counters = *member.counters;
    uint64_t files = counters.files.get();
    uint64_t directories = member.verify ? 0 : counters.directoriesOrErrors.get();
    int64_t bytes = counters.bytes.get();
    sample.files = files - member.files;
    sample.directories = directories - member.directories;
    sample.bytes = bytes - member.bytes;
    sample.maxMicros = static_cast<double>(member.timed->TakeSampleMax()) / 1000.0;
    member.files = files;
    member.directories = directories;
    member.bytes = bytes;
  }
  return AddSample(member.samples, sample);
}

void TimelineSampler::SampleDue(SteadyClock::time_point now) {
  while (active_ > 0 && last_ + interval_ <= now) {
    SteadyClock::time_point end = last_ + interval_;
    // Only the sample that ends last before `now` holds what came since the
    // last one taken: the others were missed while nothing ran.
    bool latest = end + interval_ > now;
    bool merged = false;
    for (Member& member : members_) {
      if (member.active) merged |= AddSampleOf(member, end, latest);
    }
    last_ = end;
    if (merged) interval_ *= 2;
  }
}

void TimelineSampler::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    if (active_ == 0) {
      changed_.wait(lock);
      continue;
    }
    changed_.wait_until(lock, last_ + interval_);
    SampleDue(SteadyClock::now());
  }
}

}  // namespace dtk
