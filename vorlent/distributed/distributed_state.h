// A state vector spread over 2**g processes, each holding L = n - g qubits in
// a DeviceState of its own. Every member function below is collective: all
// processes call it with the same arguments, in the same order.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "vorlent/distributed/distributed_plan.h"
#include "vorlent/distributed/transport.h"
#include "vorlent/gate_record.h"
#include "vorlent/measure/vorlent_measure.h"
#include "vorlent/vorlent_device_state.h"

namespace vorlent {
namespace distributed {

struct ExchangeStats {
  uint64_t bytes_sent = 0;
  uint64_t swap_steps = 0;
  double exchange_seconds = 0.0;
};

// Page size: the smallest exchange buffer a state accepts.
constexpr uint64_t kMinBufferBytes = 4096;

// True when every process passed the same value.
bool agree(Transport& transport, uint64_t value);
// Throws runtime_error on every process, naming the first one whose `error`
// is not empty; returns when all are empty.
void settle(Transport& transport, const std::string& error);

class DistributedState {
 public:
  // Allocates the local slice; contents undefined. The caller has checked the
  // process count and agreed the arguments among processes.
  DistributedState(int64_t n, int is_double, int device_id, uint64_t buffer_bytes,
                   std::shared_ptr<Transport> transport);
  DistributedState(const DistributedState&) = delete;
  DistributedState& operator=(const DistributedState&) = delete;

  void reset_to_zero_state();
  // `host` holds all 2**n amplitudes in logical order on `root`, is unused elsewhere.
  void scatter_from(const void* host, int root);
  // The whole state in logical order into `host` on `root`.
  void gather_to(void* host, int root) const;
  // The whole state in logical order into `host` on every process.
  void gather_to_all(void* host) const;

  void run(const std::vector<GateRecord>& records, KernelMode mode);
  std::pair<OutcomeCounts, std::string> sample(const std::vector<int64_t>& targets, const std::string& endian,
                                               uint64_t shots, uint64_t seed, bool collapse_last);

  Transport& transport() const { return *transport_; }

  int64_t n = 0;
  int64_t local_qubits = 0;
  int rank = 0;
  int size = 1;
  int is_double = 0;
  uint64_t buffer_bytes = 0;
  std::vector<int> layout;  // layout[q]: physical bit of logical qubit q
  ExchangeStats stats;
  DeviceState local;

 private:
  uint64_t chunk_bytes() const;
  template <typename T>
  void run_plan(const DistributedPlan& plan, KernelMode mode);
  template <typename T>
  std::pair<OutcomeCounts, std::string> sample_typed(const std::vector<int64_t>& targets, const std::string& endian,
                                                     uint64_t shots, uint64_t seed, bool collapse_last);

  std::shared_ptr<Transport> transport_;
};

}  // namespace distributed
}  // namespace vorlent
