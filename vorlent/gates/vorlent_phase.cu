// PHASE gate: multiplies the |1> amplitude by exp(i theta), the full angle.
// T and T-dagger arrive here as PHASE(pi/4) and PHASE(-pi/4).
#include "vorlent/gates/one_qubit_kernels.cuh"
#include "vorlent/gates/vorlent_gates.h"

namespace vorlent {

namespace {

template <typename T>
struct PhaseOp {
  static constexpr bool kOnlyOne = true;
  CuComplex<T> p;  // exp(i theta)
  QM_HD void operator()(CuComplex<T>& a1) const { a1 = p * a1; }
};

// Evaluated by every thread of the all-state and pair kernels, and once on
// the host for the AutoPair kernels.
template <typename T>
QM_HD PhaseOp<T> phase_op(T theta) {
  PhaseOp<T> op;
  quillmarch::sin_cos(theta, &op.p.im, &op.p.re);
  return op;
}

}  // namespace

template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    cu_phase_kernel_all_state(int64_t n, CuComplex<T>* state, int target, uint64_t ctrl_mask, uint64_t ctrl_value,
                              T theta) {
  const PhaseOp<T> op = phase_op(theta);
  gates::all_state_body(n, state, target, ctrl_mask, ctrl_value, op);
}

template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    cu_phase_kernel_pair(int64_t n, CuComplex<T>* state, int target, uint64_t ctrl_mask, uint64_t ctrl_value, T theta) {
  const PhaseOp<T> op = phase_op(theta);
  gates::pair_body(n, state, target, ctrl_mask, ctrl_value, op);
}

namespace phase_autopair {

template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    target0_no_control(uint64_t count, CuComplex<T>* state, CuComplex<T> p) {
  gates::target0_no_control_body(count, state, PhaseOp<T>{p});
}

template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    no_control(uint64_t count, CuComplex<T>* state, uint64_t t, CuComplex<T> p) {
  gates::no_control_body(count, state, t, PhaseOp<T>{p});
}

template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    target0_compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask, uint64_t base_value, CuComplex<T> p) {
  gates::target0_compact_body(count, state, insert_mask, base_value, PhaseOp<T>{p});
}

template <typename T>
__global__ void __launch_bounds__(gates::kThreads) compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask,
                                                           uint64_t base_value, uint64_t t, CuComplex<T> p) {
  gates::compact_body(count, state, insert_mask, base_value, t, PhaseOp<T>{p});
}

}  // namespace phase_autopair

namespace {

template <typename T>
void launch_phase(uint64_t n, CuComplex<T>* state, int target, const Qubits& controls, const Qubits& control_state,
                  cudaStream_t stream, T theta, KernelMode mode) {
  const ControlMasks masks = build_control_masks(controls, control_state);
  check_gate_qubits(n, {target}, controls);
  const PhaseOp<T> host = phase_op(theta);
  gates::launch_one_qubit("cu_phase kernel launch failed: ", plan_one_qubit(n, target, masks, controls.size(), mode), n,
                          state, target, masks, stream,
                          gates::PairKernels<cu_phase_kernel_all_state<T>, cu_phase_kernel_pair<T>>{},
                          std::make_tuple(theta),
                          gates::AutoPairKernels<phase_autopair::target0_no_control<T>, phase_autopair::no_control<T>,
                                                 phase_autopair::target0_compact<T>, phase_autopair::compact<T>>{},
                          std::make_tuple(host.p));
}

}  // namespace

void cu_phase(uint64_t n, CuComplex<float>* state, int target, Qubits controls, const Qubits& control_state,
              cudaStream_t stream, float theta, KernelMode mode) {
  launch_phase(n, state, target, controls, control_state, stream, theta, mode);
}

void cu_phase(uint64_t n, CuComplex<double>* state, int target, Qubits controls, const Qubits& control_state,
              cudaStream_t stream, double theta, KernelMode mode) {
  launch_phase(n, state, target, controls, control_state, stream, theta, mode);
}

}  // namespace vorlent
