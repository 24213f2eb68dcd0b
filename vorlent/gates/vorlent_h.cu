// Hadamard gate.
#include "vorlent/gates/one_qubit_kernels.cuh"
#include "vorlent/gates/vorlent_gates.h"

namespace vorlent {

namespace {

// All-state and pair form: sum and difference times the complex constant (c, 0).
template <typename T>
struct HProductOp {
  static constexpr bool kOnlyOne = false;
  QM_HD void operator()(CuComplex<T>& a0, CuComplex<T>& a1) const {
    const CuComplex<T> c{gates::inv_sqrt2<T>(), T(0)};
    const CuComplex<T> sum = a0 + a1;
    const CuComplex<T> diff = a0 - a1;
    a0 = c * sum;
    a1 = c * diff;
  }
};

// AutoPair form: real scaling of sum and difference.
template <typename T>
struct HScaleOp {
  static constexpr bool kOnlyOne = false;
  QM_HD void operator()(CuComplex<T>& a0, CuComplex<T>& a1) const {
    const T c = gates::inv_sqrt2<T>();
    const CuComplex<T> sum = a0 + a1;
    const CuComplex<T> diff = a0 - a1;
    a0 = quillmarch::scale(sum, c);
    a1 = quillmarch::scale(diff, c);
  }
};

}  // namespace

template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    cu_h_kernel_all_state(int64_t n, CuComplex<T>* state, int target, uint64_t ctrl_mask, uint64_t ctrl_value) {
  gates::all_state_body(n, state, target, ctrl_mask, ctrl_value, HProductOp<T>{});
}

template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    cu_h_kernel_pair(int64_t n, CuComplex<T>* state, int target, uint64_t ctrl_mask, uint64_t ctrl_value) {
  gates::pair_body(n, state, target, ctrl_mask, ctrl_value, HProductOp<T>{});
}

namespace {

template <typename T>
__global__ void __launch_bounds__(gates::kThreads) h_target0_no_control(uint64_t count, CuComplex<T>* state) {
  gates::target0_no_control_body(count, state, HScaleOp<T>{});
}

template <typename T>
__global__ void __launch_bounds__(gates::kThreads) h_no_control(uint64_t count, CuComplex<T>* state, uint64_t t) {
  gates::no_control_body(count, state, t, HScaleOp<T>{});
}

template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    h_target0_compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask, uint64_t base_value) {
  gates::target0_compact_body(count, state, insert_mask, base_value, HScaleOp<T>{});
}

template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    h_compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask, uint64_t base_value, uint64_t t) {
  gates::compact_body(count, state, insert_mask, base_value, t, HScaleOp<T>{});
}

template <typename T>
void launch_h(uint64_t n, CuComplex<T>* state, int target, const Qubits& controls, const Qubits& control_state,
              cudaStream_t stream, KernelMode mode) {
  const ControlMasks masks = build_control_masks(controls, control_state);
  check_gate_qubits(n, {target}, controls);
  gates::launch_one_qubit(
      "cu_h kernel launch failed: ", plan_one_qubit(n, target, masks, controls.size(), mode), n, state, target, masks,
      stream, gates::PairKernels<cu_h_kernel_all_state<T>, cu_h_kernel_pair<T>>{}, std::tuple<>(),
      gates::AutoPairKernels<h_target0_no_control<T>, h_no_control<T>, h_target0_compact<T>, h_compact<T>>{},
      std::tuple<>());
}

}  // namespace

void cu_h(uint64_t n, CuComplex<float>* state, int target, Qubits controls, const Qubits& control_state,
          cudaStream_t stream, KernelMode mode) {
  launch_h(n, state, target, controls, control_state, stream, mode);
}

void cu_h(uint64_t n, CuComplex<double>* state, int target, Qubits controls, const Qubits& control_state,
          cudaStream_t stream, KernelMode mode) {
  launch_h(n, state, target, controls, control_state, stream, mode);
}

}  // namespace vorlent
