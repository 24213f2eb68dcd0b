// Pauli Y gate.
#include "vorlent/gates/one_qubit_kernels.cuh"
#include "vorlent/gates/vorlent_gates.h"

namespace vorlent {

namespace {

// All-state and pair form: products with the constant entries -i and i, zero
// parts multiplied too.
template <typename T>
struct YProductOp {
  static constexpr bool kOnlyOne = false;
  QM_HD void operator()(CuComplex<T>& a0, CuComplex<T>& a1) const {
    const CuComplex<T> minus_i{T(0), T(-1)};
    const CuComplex<T> plus_i{T(0), T(1)};
    const CuComplex<T> b0 = minus_i * a1;
    a1 = plus_i * a0;
    a0 = b0;
  }
};

// AutoPair form: component moves and negations.
template <typename T>
struct YMoveOp {
  static constexpr bool kOnlyOne = false;
  QM_HD void operator()(CuComplex<T>& a0, CuComplex<T>& a1) const {
    const CuComplex<T> b0{a1.im, -a1.re};
    a1 = {-a0.im, a0.re};
    a0 = b0;
  }
};

}  // namespace

template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    cu_y_kernel_all_state(int64_t n, CuComplex<T>* state, int target, uint64_t ctrl_mask, uint64_t ctrl_value) {
  gates::all_state_body(n, state, target, ctrl_mask, ctrl_value, YProductOp<T>{});
}

template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    cu_y_kernel_pair(int64_t n, CuComplex<T>* state, int target, uint64_t ctrl_mask, uint64_t ctrl_value) {
  gates::pair_body(n, state, target, ctrl_mask, ctrl_value, YProductOp<T>{});
}

namespace y_autopair {

template <typename T>
__global__ void __launch_bounds__(gates::kThreads) target0_no_control(uint64_t count, CuComplex<T>* state) {
  gates::target0_no_control_body(count, state, YMoveOp<T>{});
}

template <typename T>
__global__ void __launch_bounds__(gates::kThreads) no_control(uint64_t count, CuComplex<T>* state, uint64_t t) {
  gates::no_control_body(count, state, t, YMoveOp<T>{});
}

template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    target0_compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask, uint64_t base_value) {
  gates::target0_compact_body(count, state, insert_mask, base_value, YMoveOp<T>{});
}

template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask, uint64_t base_value, uint64_t t) {
  gates::compact_body(count, state, insert_mask, base_value, t, YMoveOp<T>{});
}

}  // namespace y_autopair

namespace {

template <typename T>
void launch_y(uint64_t n, CuComplex<T>* state, int target, const Qubits& controls, const Qubits& control_state,
              cudaStream_t stream, KernelMode mode) {
  const ControlMasks masks = build_control_masks(controls, control_state);
  check_gate_qubits(n, {target}, controls);
  gates::launch_one_qubit("cu_y kernel launch failed: ", plan_one_qubit(n, target, masks, controls.size(), mode), n,
                          state, target, masks, stream,
                          gates::PairKernels<cu_y_kernel_all_state<T>, cu_y_kernel_pair<T>>{}, std::tuple<>(),
                          gates::AutoPairKernels<y_autopair::target0_no_control<T>, y_autopair::no_control<T>,
                                                 y_autopair::target0_compact<T>, y_autopair::compact<T>>{},
                          std::tuple<>());
}

}  // namespace

void cu_y(uint64_t n, CuComplex<float>* state, int target, Qubits controls, const Qubits& control_state,
          cudaStream_t stream, KernelMode mode) {
  launch_y(n, state, target, controls, control_state, stream, mode);
}

void cu_y(uint64_t n, CuComplex<double>* state, int target, Qubits controls, const Qubits& control_state,
          cudaStream_t stream, KernelMode mode) {
  launch_y(n, state, target, controls, control_state, stream, mode);
}

}  // namespace vorlent
