// RX rotation: [[c, -i s], [-i s, c]] with c, s the cosine and sine of half
// the angle.
#include "vorlent/gates/one_qubit_kernels.cuh"
#include "vorlent/gates/vorlent_gates.h"

namespace vorlent {

namespace {

template <typename T>
struct RxOp {
  static constexpr bool kOnlyOne = false;
  CuComplex<T> m0;  // (c, 0)
  CuComplex<T> m1;  // (0, -s)
  QM_HD void operator()(CuComplex<T>& a0, CuComplex<T>& a1) const {
    const CuComplex<T> b0 = m0 * a0 + m1 * a1;
    a1 = m1 * a0 + m0 * a1;
    a0 = b0;
  }
};

// Evaluated by every thread of the all-state and pair kernels, and once on
// the host for the AutoPair kernels.
template <typename T>
QM_HD RxOp<T> rx_op(T theta) {
  T s, c;
  quillmarch::sin_cos(T(0.5) * theta, &s, &c);
  return {{c, T(0)}, {T(0), -s}};
}

}  // namespace

template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    cu_rx_kernel_all_state(int64_t n, CuComplex<T>* state, int target, uint64_t ctrl_mask, uint64_t ctrl_value,
                           T theta) {
  const RxOp<T> op = rx_op(theta);
  gates::all_state_body(n, state, target, ctrl_mask, ctrl_value, op);
}

template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    cu_rx_kernel_pair(int64_t n, CuComplex<T>* state, int target, uint64_t ctrl_mask, uint64_t ctrl_value, T theta) {
  const RxOp<T> op = rx_op(theta);
  gates::pair_body(n, state, target, ctrl_mask, ctrl_value, op);
}

namespace rx_autopair {

template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    target0_no_control(uint64_t count, CuComplex<T>* state, CuComplex<T> m0, CuComplex<T> m1) {
  gates::target0_no_control_body(count, state, RxOp<T>{m0, m1});
}

template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    no_control(uint64_t count, CuComplex<T>* state, uint64_t t, CuComplex<T> m0, CuComplex<T> m1) {
  gates::no_control_body(count, state, t, RxOp<T>{m0, m1});
}

template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    target0_compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask, uint64_t base_value, CuComplex<T> m0,
                    CuComplex<T> m1) {
  gates::target0_compact_body(count, state, insert_mask, base_value, RxOp<T>{m0, m1});
}

template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask, uint64_t base_value, uint64_t t, CuComplex<T> m0,
            CuComplex<T> m1) {
  gates::compact_body(count, state, insert_mask, base_value, t, RxOp<T>{m0, m1});
}

}  // namespace rx_autopair

namespace {

template <typename T>
void launch_rx(uint64_t n, CuComplex<T>* state, int target, const Qubits& controls, const Qubits& control_state,
               cudaStream_t stream, T theta, KernelMode mode) {
  const ControlMasks masks = build_control_masks(controls, control_state);
  check_gate_qubits(n, {target}, controls);
  const RxOp<T> host = rx_op(theta);
  gates::launch_one_qubit("cu_rx kernel launch failed: ", plan_one_qubit(n, target, masks, controls.size(), mode), n,
                          state, target, masks, stream,
                          gates::PairKernels<cu_rx_kernel_all_state<T>, cu_rx_kernel_pair<T>>{}, std::make_tuple(theta),
                          gates::AutoPairKernels<rx_autopair::target0_no_control<T>, rx_autopair::no_control<T>,
                                                 rx_autopair::target0_compact<T>, rx_autopair::compact<T>>{},
                          std::make_tuple(host.m0, host.m1));
}

}  // namespace

void cu_rx(uint64_t n, CuComplex<float>* state, int target, Qubits controls, const Qubits& control_state,
           cudaStream_t stream, float theta, KernelMode mode) {
  launch_rx(n, state, target, controls, control_state, stream, theta, mode);
}

void cu_rx(uint64_t n, CuComplex<double>* state, int target, Qubits controls, const Qubits& control_state,
           cudaStream_t stream, double theta, KernelMode mode) {
  launch_rx(n, state, target, controls, control_state, stream, theta, mode);
}

}  // namespace vorlent
