// What a distributed state needs from its communicator. The core sees only
// this interface; the bindings implement it on an mpi4py communicator, so the
// module itself links no MPI library.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace vorlent {
namespace distributed {

// The error text of a process that took a Ctrl-C in a collective call.
extern const char* const kInterrupted;

class Transport {
 public:
  virtual ~Transport() = default;
  virtual int rank() const = 0;
  virtual int size() const = 0;
  // Host memory only; `bytes` stays below 2**31 (callers split larger moves).
  virtual void sendrecv(const void* send, void* recv, size_t bytes, int partner) = 0;
  virtual void send(const void* data, size_t bytes, int dest) = 0;
  virtual void recv(void* data, size_t bytes, int source) = 0;
  virtual void bcast(void* data, size_t bytes, int root) = 0;
  virtual void allreduce_sum(double* data, size_t count) = 0;
  // Every rank's text, in rank order.
  virtual std::vector<std::string> allgather(const std::string& text) = 0;
  // True when a Ctrl-C (or another signal whose handler raises) is pending;
  // takes it from the interpreter, so the caller decides how to stop.
  virtual bool interrupted() = 0;
};

}  // namespace distributed
}  // namespace vorlent
