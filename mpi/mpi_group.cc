#include "mpi/mpi_group.h"

#include <mpi.h>

namespace dtk {
namespace {

MPI_Op OperationOf(RunGroup::Combine how) {
  return how == RunGroup::Combine::kSum   ? MPI_SUM
         : how == RunGroup::Combine::kMin ? MPI_MIN
                                          : MPI_MAX;
}

}  // namespace

MpiGroup::MpiGroup() {
  MPI_Comm_rank(MPI_COMM_WORLD, &rank_);
  MPI_Comm_size(MPI_COMM_WORLD, &size_);
}

std::string MpiGroup::HostName() const {
  char name[MPI_MAX_PROCESSOR_NAME];
  int length = 0;
  if (MPI_Get_processor_name(name, &length) != MPI_SUCCESS) return std::string();
  return std::string(name, static_cast<size_t>(length));
}

void MpiGroup::Barrier() { MPI_Barrier(MPI_COMM_WORLD); }

uint64_t MpiGroup::AllCombined(Combine how, uint64_t value) {
  uint64_t all = value;
  MPI_Allreduce(&value, &all, 1, MPI_UINT64_T, OperationOf(how), MPI_COMM_WORLD);
  return all;
}

void MpiGroup::CombineToLead(Combine how, const uint64_t* values, uint64_t* results, int count) {
  // Only the lead receives; the others only send.
  MPI_Reduce(values, rank_ == 0 ? results : nullptr, count, MPI_UINT64_T, OperationOf(how), 0,
             MPI_COMM_WORLD);
}

std::vector<std::string> MpiGroup::GatherToLead(const std::string& text) {
  int length = static_cast<int>(text.size());
  std::vector<int> lengths(rank_ == 0 ? size_ : 0);
  MPI_Gather(&length, 1, MPI_INT, lengths.data(), 1, MPI_INT, 0, MPI_COMM_WORLD);
  std::vector<int> offsets(lengths.size());
  std::string all;
  if (rank_ == 0) {
    int64_t total = 0;
    for (int k = 0; k < size_; ++k) {
      offsets[k] = static_cast<int>(total);
      total += lengths[k];
    }
    all.resize(static_cast<size_t>(total));
  }
  MPI_Gatherv(text.data(), length, MPI_CHAR, all.data(), lengths.data(), offsets.data(), MPI_CHAR,
              0, MPI_COMM_WORLD);
  std::vector<std::string> texts;
  for (size_t k = 0; k < lengths.size(); ++k) texts.push_back(all.substr(offsets[k], lengths[k]));
  return texts;
}

}  // namespace dtk
