// Planning a gate list for a state spread over 2**g processes. Each process
// holds L local qubits (physical index bits 0..L-1); bits L..n-1 select the
// process. The plan is a pure function of its inputs, so every process builds
// the same one without talking to the others.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vorlent/gate_record.h"

namespace vorlent {
namespace distributed {

// One exchange of a global physical bit with a local one.
struct SwapPair {
  int global_bit;
  int local_bit;
};

struct PlanStep {
  enum class Kind { Gate, Swap };
  Kind kind = Kind::Gate;
  GateRecord gate;              // Gate: the record on physical bits
  std::vector<SwapPair> pairs;  // Swap: exchanged in one step
  std::vector<int> layout;      // Swap: the layout once it is done
};

struct DistributedPlan {
  std::vector<PlanStep> steps;
  std::vector<int> layout;  // after the last step
};

// The checks the single-device runner makes gate by gate, made for the whole
// list up front with the same messages, so a bad list fails on every process
// before any data moves.
void validate_records(int64_t n, const std::vector<GateRecord>& records);

// Gates that only multiply amplitudes by phases never need their targets local.
bool is_diagonal(const GateRecord& record);

// The logical qubits a gate must hold locally to run.
std::vector<int64_t> needed_local(const GateRecord& record);

// `layout[q]` is the physical bit of logical qubit q. Refuses (invalid_argument)
// a gate that needs more than `local_qubits` qubits held locally.
DistributedPlan plan_distributed(int64_t n, int64_t local_qubits, std::vector<int> layout,
                                 const std::vector<GateRecord>& records);

// The gate as process `rank` runs it on its L local qubits: global controls are
// dropped when they hold and skip the gate when not; a diagonal gate on global
// targets becomes a phase, or a smaller diagonal on its local targets. Returns
// false when the gate does nothing on this process.
bool localize(const GateRecord& physical, int64_t local_qubits, uint64_t rank, GateRecord& out);

// 64-bit digest of a call's parsed arguments, compared across processes.
uint64_t digest_records(const std::string& call, const std::vector<GateRecord>& records, const std::string& endian,
                        int32_t mode);

class Digest {
 public:
  void bytes(const void* data, size_t size);
  void text(const std::string& s);
  void u64(uint64_t v) { bytes(&v, sizeof v); }
  uint64_t value() const { return h_; }

 private:
  uint64_t h_ = 1469598103934665603ull;
};

}  // namespace distributed
}  // namespace vorlent
