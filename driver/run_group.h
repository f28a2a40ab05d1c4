// The members of a run that carry out the phases in step, each in its own
// directory of the target: the processes of an MPI job (dtk-mpi), or the
// threads of one process (dtk -threads N). The few collective steps the
// phase sequence takes with them; every member must make the same calls in
// the same order.
#ifndef DTK_DRIVER_RUN_GROUP_H_
#define DTK_DRIVER_RUN_GROUP_H_

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace dtk {

class RunGroup {
 public:
  virtual ~RunGroup() = default;

  // What a member is called, "rank" or "thread": member N works in the
  // directory "<kind>-N" of the target, and its lines are marked
  // "[<kind> N] ". Empty for a run of one on its own.
  virtual const char* kind() const = 0;
  // This member's number, 0 to size() - 1.
  virtual int member() const = 0;
  virtual int size() const = 0;
  // The lead (member 0) prints the lines of the whole run and writes its
  // report.
  bool isLead() const { return member() == 0; }
  // The name of the machine this member runs on, where members may run on
  // several; empty otherwise.
  virtual std::string HostName() const = 0;

  // Returns once every member has called it.
  virtual void Barrier() = 0;
  // How the values of every member are combined.
  enum class Combine { kSum, kMin, kMax };
  // Every member's `value` combined, on every member.
  virtual uint64_t AllCombined(Combine how, uint64_t value) = 0;
  // Element by element over every member's `values`, into `results` on the
  // lead (`results` is not touched elsewhere and may be null there).
  virtual void CombineToLead(Combine how, const uint64_t* values, uint64_t* results, int count) = 0;
  // Every member's text, in member order, on the lead; nothing elsewhere.
  virtual std::vector<std::string> GatherToLead(const std::string& text) = 0;

  // True on every member when `value` is true on any.
  bool Any(bool value) { return AllCombined(Combine::kMax, value ? 1 : 0) != 0; }
  // The greatest of every member's `value` (none negative), on every member.
  int Max(int value) {
    return static_cast<int>(AllCombined(Combine::kMax, static_cast<uint64_t>(value)));
  }
  uint64_t Min(uint64_t value) { return AllCombined(Combine::kMin, value); }
};

// `a` and `b` combined as `how` says.
inline uint64_t Combined(RunGroup::Combine how, uint64_t a, uint64_t b) {
  return how == RunGroup::Combine::kSum   ? a + b
         : how == RunGroup::Combine::kMin ? std::min(a, b)
                                          : std::max(a, b);
}

// A run of one member on its own: every step is taken at once.
class SoloGroup : public RunGroup {
 public:
  const char* kind() const override { return ""; }
  int member() const override { return 0; }
  int size() const override { return 1; }
  std::string HostName() const override { return std::string(); }
  void Barrier() override {}
  uint64_t AllCombined(Combine, uint64_t value) override { return value; }
  void CombineToLead(Combine, const uint64_t* values, uint64_t* results, int count) override {
    std::copy(values, values + count, results);
  }
  std::vector<std::string> GatherToLead(const std::string& text) override { return {text}; }
};

}  // namespace dtk

#endif  // DTK_DRIVER_RUN_GROUP_H_
