// S gate: multiplies the |1> amplitude by i.
#include "vorlent/gates/one_qubit_kernels.cuh"
#include "vorlent/gates/vorlent_gates.h"

namespace vorlent {

namespace {

// All-state and pair form: the full product with (0, 1).
template <typename T>
struct SProductOp {
  static constexpr bool kOnlyOne = true;
  QM_HD void operator()(CuComplex<T>& a1) const { a1 = CuComplex<T>{T(0), T(1)} * a1; }
};

// AutoPair form: component move and negation.
template <typename T>
struct SMoveOp {
  static constexpr bool kOnlyOne = true;
  QM_HD void operator()(CuComplex<T>& a1) const { a1 = {-a1.im, a1.re}; }
};

}  // namespace

template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    cu_s_kernel_all_state(int64_t n, CuComplex<T>* state, int target, uint64_t ctrl_mask, uint64_t ctrl_value) {
  gates::all_state_body(n, state, target, ctrl_mask, ctrl_value, SProductOp<T>{});
}

template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    cu_s_kernel_pair(int64_t n, CuComplex<T>* state, int target, uint64_t ctrl_mask, uint64_t ctrl_value) {
  gates::pair_body(n, state, target, ctrl_mask, ctrl_value, SProductOp<T>{});
}

namespace s_autopair {

template <typename T>
__global__ void __launch_bounds__(gates::kThreads) target0_no_control(uint64_t count, CuComplex<T>* state) {
  gates::target0_no_control_body(count, state, SMoveOp<T>{});
}

template <typename T>
__global__ void __launch_bounds__(gates::kThreads) no_control(uint64_t count, CuComplex<T>* state, uint64_t t) {
  gates::no_control_body(count, state, t, SMoveOp<T>{});
}

template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    target0_compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask, uint64_t base_value) {
  gates::target0_compact_body(count, state, insert_mask, base_value, SMoveOp<T>{});
}

template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask, uint64_t base_value, uint64_t t) {
  gates::compact_body(count, state, insert_mask, base_value, t, SMoveOp<T>{});
}

}  // namespace s_autopair

namespace {

template <typename T>
void launch_s(uint64_t n, CuComplex<T>* state, int target, const Qubits& controls, const Qubits& control_state,
              cudaStream_t stream, KernelMode mode) {
  const ControlMasks masks = build_control_masks(controls, control_state);
  check_gate_qubits(n, {target}, controls);
  gates::launch_one_qubit("cu_s kernel launch failed: ", plan_one_qubit(n, target, masks, controls.size(), mode), n,
                          state, target, masks, stream,
                          gates::PairKernels<cu_s_kernel_all_state<T>, cu_s_kernel_pair<T>>{}, std::tuple<>(),
                          gates::AutoPairKernels<s_autopair::target0_no_control<T>, s_autopair::no_control<T>,
                                                 s_autopair::target0_compact<T>, s_autopair::compact<T>>{},
                          std::tuple<>());
}

}  // namespace

void cu_s(uint64_t n, CuComplex<float>* state, int target, Qubits controls, const Qubits& control_state,
          cudaStream_t stream, KernelMode mode) {
  launch_s(n, state, target, controls, control_state, stream, mode);
}

void cu_s(uint64_t n, CuComplex<double>* state, int target, Qubits controls, const Qubits& control_state,
          cudaStream_t stream, KernelMode mode) {
  launch_s(n, state, target, controls, control_state, stream, mode);
}

}  // namespace vorlent
