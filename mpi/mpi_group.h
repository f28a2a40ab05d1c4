// The processes of one MPI job, and the few collective steps dtk-mpi takes
// with them. Every process must make the same calls in the same order.
#ifndef DTK_MPI_MPI_GROUP_H_
#define DTK_MPI_MPI_GROUP_H_

#include <cstdint>
#include <string>
#include <vector>

namespace dtk {

class MpiGroup {
 public:
  // The world of a job whose MPI is initialised.
  MpiGroup();

  int rank() const { return rank_; }
  int size() const { return size_; }
  bool isLead() const { return rank_ == 0; }
  // The name of the machine this process runs on.
  std::string HostName() const;

  void Barrier();
  // True on every process when `value` is true on any.
  bool Any(bool value);
  // The greatest or least of every process's value, on every process.
  int Max(int value);
  uint64_t Min(uint64_t value);
  // Element by element over every process, into `values` on the lead
  // (rank 0); `values` is left alone elsewhere.
  void SumToLead(uint64_t* values, int count);
  void MinToLead(uint64_t* values, int count);
  void MaxToLead(uint64_t* values, int count);
  // Every process's text, in rank order, on the lead; nothing elsewhere.
  std::vector<std::string> GatherToLead(const std::string& text);

 private:
  int rank_ = 0;
  int size_ = 1;
};

}  // namespace dtk

#endif  // DTK_MPI_MPI_GROUP_H_
