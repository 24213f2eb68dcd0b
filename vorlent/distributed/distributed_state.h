// A state vector spread over 2**g processes, each holding L = n - g qubits in
// a DeviceState of its own. Every member function below is collective: all
// processes call it with the same arguments, in the same order.
#pragma once

#include <complex>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "common/pauli_words.h"
#include "vorlent/distributed/distributed_plan.h"
#include "vorlent/distributed/exchange.h"
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

// Raised on the process that was interrupted (the bindings turn it into
// KeyboardInterrupt); the others get runtime_error naming it.
class Interrupted : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// True when every process passed the same value.
bool agree(Transport& transport, uint64_t value);
// Throws on every process, naming the first one whose `error` is not empty;
// returns when all are empty.
void settle(Transport& transport, const std::string& error);

template <typename T>
struct ExchangeBuffers;

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

  // Observables of the whole state, the same on every process: words and
  // targets are logical, as on one device.
  std::vector<double> pauli_expectations(const std::vector<quillmarch::PauliWord>& words);
  std::vector<double> probabilities(const std::vector<int64_t>& targets, const std::string& endian);
  // <this|other>. Moves other's amplitudes into this state's layout first,
  // which leaves other the same state.
  std::complex<double> inner_product(DistributedState& other);

  Transport& transport() const { return *transport_; }

  int64_t n = 0;
  int64_t local_qubits = 0;
  int rank = 0;
  int size = 1;
  int is_double = 0;
  uint64_t buffer_bytes = 0;
  // Exchanges hand device memory to the transport (a CUDA-aware MPI library).
  bool cuda_aware = false;
  std::vector<int> layout;  // layout[q]: physical bit of logical qubit q
  ExchangeStats stats;
  DeviceState local;

 private:
  uint64_t chunk_bytes() const;
  // Both exchange buffers, of at most `most` elements, on every process, or
  // runtime_error on all when any process has `error` or fails to allocate.
  template <typename T>
  std::unique_ptr<ExchangeBuffers<T>> open_buffers(uint64_t most, const std::string& error);
  // Exchanges each pair's global and local physical bit; `layout` is the caller's.
  template <typename T>
  void swap_step(const std::vector<SwapPair>& pairs, ExchangeBuffers<T>& buffers);
  // Trades with `partner`, chunk by chunk, the `count` local amplitudes whose
  // `pair_mask` bits read `block_bits` for the partner's, counting the bytes,
  // and waits for the device; a failure is kept in `error` for settling.
  template <typename T>
  void trade_block(ExchangeBuffers<T>& buffers, uint64_t count, uint64_t pair_mask, uint64_t block_bits, int partner,
                   std::string& error);
  template <typename T>
  void run_plan(const DistributedPlan& plan, KernelMode mode);
  // Where each measured logical target lies: a local bit, or this process's global bit.
  OutcomeMap outcome_map(const std::vector<int64_t>& targets, bool little) const;
  // The 2**m outcome sums of the whole state, all-reduced, and then rank 0's on every process.
  template <typename T>
  std::vector<double> outcome_sums(const OutcomeMap& map, size_t m);
  template <typename T>
  std::pair<OutcomeCounts, std::string> sample_typed(const std::vector<int64_t>& targets, const std::string& endian,
                                                     uint64_t shots, uint64_t seed, bool collapse_last);
  template <typename T>
  std::vector<double> expectations_typed(const std::vector<quillmarch::PauliWord>& words);
  // Moves amplitudes until `layout` equals `wanted`: one swap step, then
  // whole-slice trades for global bits and local SWAPs for local ones.
  template <typename T>
  void align_to(const std::vector<int>& wanted);

  std::shared_ptr<Transport> transport_;
};

}  // namespace distributed
}  // namespace vorlent
