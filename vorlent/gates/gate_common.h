// Host-side pieces every gate launcher shares: control masks, the checks that
// keep every kernel inside the state, and the one-qubit launch geometry.
#pragma once

#include <cstdint>
#include <vector>

#include "vorlent/gate_record.h"

namespace vorlent {

struct ControlMasks {
  uint64_t mask = 0;   // bit c set for every control qubit c
  uint64_t value = 0;  // bit c set where control c must be 1
};

ControlMasks build_control_masks(const std::vector<int64_t>& controls, const std::vector<int64_t>& control_state);

// Rejects, before any launch, gates whose qubits would send a kernel outside
// the state or break the enumeration of the compact kernels: targets outside
// [0, n) or repeated, controls at or above n, repeated, or equal to a target.
void check_gate_qubits(uint64_t n, const std::vector<int64_t>& targets, const std::vector<int64_t>& controls);

// Which kernel of a one-qubit family runs, over how many work items.
enum class OneQubitShape { AllState, Pair, Target0NoControl, NoControl, Target0Compact, Compact };

struct OneQubitLaunch {
  OneQubitShape shape;
  uint64_t work;         // threads wanted: amplitudes, pairs or compact pairs
  uint64_t t;            // 1 << target
  uint64_t insert_mask;  // compact shapes: control bits and the target bit
  uint64_t base_value;   // compact shapes: control bits that must be 1
};

// AllState -> all-state kernel; PairAuto -> one of the four AutoPair kernels;
// any other mode -> pair kernel.
OneQubitLaunch plan_one_qubit(uint64_t n, int target, const ControlMasks& masks, size_t num_controls, KernelMode mode);

}  // namespace vorlent
