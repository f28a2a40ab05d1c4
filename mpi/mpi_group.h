// The processes of one MPI job as a run group. Every process must make the
// same calls in the same order.
#ifndef DTK_MPI_MPI_GROUP_H_
#define DTK_MPI_MPI_GROUP_H_

#include <cstdint>
#include <string>
#include <vector>

#include "driver/run_group.h"

namespace dtk {

class MpiGroup : public RunGroup {
 public:
  // The world of a job whose MPI is initialised.
  MpiGroup();

  int rank() const { return rank_; }
  const char* kind() const override { return "rank"; }
  int member() const override { return rank_; }
  int size() const override { return size_; }
  std::string HostName() const override;

  void Barrier() override;
  uint64_t AllCombined(Combine how, uint64_t value) override;
  void CombineToLead(Combine how, const uint64_t* values, uint64_t* results, int count) override;
  std::vector<std::string> GatherToLead(const std::string& text) override;

 private:
  int rank_ = 0;
  int size_ = 1;
};

}  // namespace dtk

#endif  // DTK_MPI_MPI_GROUP_H_
