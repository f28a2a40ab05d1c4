#include "mpi/mpi_group.h"

#include <mpi.h>

namespace dtk {
namespace {

void ReduceToLead(const uint64_t* values, uint64_t* results, int count, MPI_Op op, int rank) {
  // Only the lead receives; the others only send.
  MPI_Reduce(values, rank == 0 ? results : nullptr, count, MPI_UINT64_T, op, 0, MPI_COMM_WORLD);
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

bool MpiGroup::Any(bool value) {
  int local = value ? 1 : 0;
  int any = 0;
  MPI_Allreduce(&local, &any, 1, MPI_INT, MPI_LOR, MPI_COMM_WORLD);
  return any != 0;
}

int MpiGroup::Max(int value) {
  int max = value;
  MPI_Allreduce(&value, &max, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
  return max;
}

uint64_t MpiGroup::Min(uint64_t value) {
  uint64_t min = value;
  MPI_Allreduce(&value, &min, 1, MPI_UINT64_T, MPI_MIN, MPI_COMM_WORLD);
  return min;
}

void MpiGroup::SumToLead(const uint64_t* values, uint64_t* results, int count) {
  ReduceToLead(values, results, count, MPI_SUM, rank_);
}

void MpiGroup::MinToLead(const uint64_t* values, uint64_t* results, int count) {
  ReduceToLead(values, results, count, MPI_MIN, rank_);
}

void MpiGroup::MaxToLead(const uint64_t* values, uint64_t* results, int count) {
  ReduceToLead(values, results, count, MPI_MAX, rank_);
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
