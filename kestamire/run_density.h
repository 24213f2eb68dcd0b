// The density executor: prepares a whole operation list, then applies it,
// one operation at a time or in fused groups.
#pragma once

#include <cstdint>
#include <vector>

#include "common/cu_complex.h"
#include "kestamire/density_ops.h"
#include "kestamire/density_sparsesharemem.h"

namespace quillmarch {
namespace kestamire {

// True when QUILLMARCH_DENSITY_FUSION is set, non-empty and does not start with '0'.
bool density_fusion_enabled();

struct DensityFusionOptions {
  int32_t max_active = 5;  // most qubits one group may touch
  int32_t min_shared = 4;  // fewest active qubits for the shared-memory kernel
  int32_t window = 1024;   // most operations examined when a group is started
};

// The options the executor plans an n-qubit run with; max_active is 0 or less
// for n <= 4, where the sequential path is taken.
DensityFusionOptions density_fusion_options(uint64_t n);

// Group kinds of a fusion plan.
enum DensityGroupKind : int32_t {
  SingleOperation = 0,
  OneQubitRun = 1,   // several operations on one qubit
  SharedMemory = 2,  // one pass of the shared-memory kernel
  FewQubitRun = 3,   // several operations on 2 or 3 qubits, run one by one
};

struct DensityGroup {
  DensityGroupKind kind = SingleOperation;
  std::vector<int64_t> operations;               // indices into the operation list, ascending
  std::vector<int64_t> active;                   // sorted union of the operations' targets and controls
  std::vector<DeviceDensityGate<double>> gates;  // SharedMemory only, one per operation
};

// Cuts a prepared operation list into groups by the rule the state-vector
// planner follows too (common/fusion_scan.h): an operation only moves ahead of
// an earlier one when they share no qubit, and a group touches at most
// max_active qubits. Shared-memory records come from `prepared` and its matrix
// buffer `matrices`. Throws std::runtime_error for a grouped operation that
// has no shared-memory form.
template <typename T>
std::vector<DensityGroup> plan_density_fusion(uint64_t n, const std::vector<DensityOperation>& operations,
                                              const std::vector<PreparedDensityOp>& prepared,
                                              const std::vector<CuComplex<T>>& matrices,
                                              const DensityFusionOptions& options);

// Prepares every operation (and plans, when fusing) before the first kernel,
// so an invalid list leaves rho untouched; ends with a device-wide
// synchronisation.
template <typename T>
void run_density_operations(CuComplex<T>* rho, uint64_t n, const std::vector<DensityOperation>& operations,
                            bool fusion);

}  // namespace kestamire
}  // namespace quillmarch
