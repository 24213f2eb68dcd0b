// The transport of a distributed state over an mpi4py communicator (binding
// side). Each call takes the interpreter lock for one transfer only.
#pragma once

#include "common/py_guard.h"

#include <memory>

#include "vorlent/distributed/transport.h"

namespace vorlent {
namespace distributed {

// Raised as ImportError when mpi4py cannot be imported.
extern const char* const kMpiInstallHint;

// The mpi4py.MPI module, or ImportError with the install hint.
pybind11::object import_mpi();

class MpiTransport final : public Transport {
 public:
  // `comm` None means MPI.COMM_WORLD. Called with the interpreter lock held.
  explicit MpiTransport(const pybind11::object& comm);
  ~MpiTransport() override;

  int rank() const override { return rank_; }
  int size() const override { return size_; }
  void sendrecv(const void* send, void* recv, size_t bytes, int partner) override;
  void send(const void* data, size_t bytes, int dest) override;
  void recv(void* data, size_t bytes, int source) override;
  void bcast(void* data, size_t bytes, int root) override;
  void allreduce_sum(double* data, size_t count) override;
  std::vector<std::string> allgather(const std::string& text) override;
  bool interrupted() override;

  // This process's rank among those sharing its node's memory.
  int node_rank();
  // Whether the MPI library under mpi4py reports CUDA-aware transfers
  // (MPIX_Query_cuda_support of Open MPI and MPICH); false where it cannot tell.
  bool library_cuda_aware();

 private:
  pybind11::object mpi_;
  pybind11::object comm_;
  int rank_ = 0;
  int size_ = 1;
};

}  // namespace distributed
}  // namespace vorlent
