// Pauli Z gate: negates the |1> amplitude.
#include "vorlent/gates/one_qubit_kernels.cuh"
#include "vorlent/gates/vorlent_gates.h"

namespace vorlent {

namespace {

// The same negation in every family.
template <typename T>
struct ZOp {
  static constexpr bool kOnlyOne = true;
  QM_HD void operator()(CuComplex<T>& a1) const { a1 = {-a1.re, -a1.im}; }
};

}  // namespace

template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    cu_z_kernel_all_state(int64_t n, CuComplex<T>* state, int target, uint64_t ctrl_mask, uint64_t ctrl_value) {
  gates::all_state_body(n, state, target, ctrl_mask, ctrl_value, ZOp<T>{});
}

template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    cu_z_kernel_pair(int64_t n, CuComplex<T>* state, int target, uint64_t ctrl_mask, uint64_t ctrl_value) {
  gates::pair_body(n, state, target, ctrl_mask, ctrl_value, ZOp<T>{});
}

namespace z_autopair {

template <typename T>
__global__ void __launch_bounds__(gates::kThreads) target0_no_control(uint64_t count, CuComplex<T>* state) {
  gates::target0_no_control_body(count, state, ZOp<T>{});
}

template <typename T>
__global__ void __launch_bounds__(gates::kThreads) no_control(uint64_t count, CuComplex<T>* state, uint64_t t) {
  gates::no_control_body(count, state, t, ZOp<T>{});
}

template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    target0_compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask, uint64_t base_value) {
  gates::target0_compact_body(count, state, insert_mask, base_value, ZOp<T>{});
}

template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask, uint64_t base_value, uint64_t t) {
  gates::compact_body(count, state, insert_mask, base_value, t, ZOp<T>{});
}

}  // namespace z_autopair

namespace {

template <typename T>
void launch_z(uint64_t n, CuComplex<T>* state, int target, const Qubits& controls, const Qubits& control_state,
              cudaStream_t stream, KernelMode mode) {
  const ControlMasks masks = build_control_masks(controls, control_state);
  check_gate_qubits(n, {target}, controls);
  gates::launch_one_qubit("cu_z kernel launch failed: ", plan_one_qubit(n, target, masks, controls.size(), mode), n,
                          state, target, masks, stream,
                          gates::PairKernels<cu_z_kernel_all_state<T>, cu_z_kernel_pair<T>>{}, std::tuple<>(),
                          gates::AutoPairKernels<z_autopair::target0_no_control<T>, z_autopair::no_control<T>,
                                                 z_autopair::target0_compact<T>, z_autopair::compact<T>>{},
                          std::tuple<>());
}

}  // namespace

void cu_z(uint64_t n, CuComplex<float>* state, int target, Qubits controls, const Qubits& control_state,
          cudaStream_t stream, KernelMode mode) {
  launch_z(n, state, target, controls, control_state, stream, mode);
}

void cu_z(uint64_t n, CuComplex<double>* state, int target, Qubits controls, const Qubits& control_state,
          cudaStream_t stream, KernelMode mode) {
  launch_z(n, state, target, controls, control_state, stream, mode);
}

}  // namespace vorlent
