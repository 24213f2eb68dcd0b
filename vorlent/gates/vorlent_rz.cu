// RZ rotation: [[exp(-i h), 0], [0, exp(i h)]] with h half the angle; each
// amplitude of a pair gets its own phase.
#include "vorlent/gates/one_qubit_kernels.cuh"
#include "vorlent/gates/vorlent_gates.h"

namespace vorlent {

namespace {

template <typename T>
struct RzOp {
  static constexpr bool kOnlyOne = false;
  CuComplex<T> p0;  // exp(-i h)
  CuComplex<T> p1;  // exp(i h)
  QM_HD void operator()(CuComplex<T>& a0, CuComplex<T>& a1) const {
    a0 = p0 * a0;
    a1 = p1 * a1;
  }
};

// Every thread of the all-state and pair kernels evaluates both phases.
template <typename T>
QM_HD RzOp<T> rz_op_device(T theta) {
  const T h = T(0.5) * theta;
  RzOp<T> op;
  quillmarch::sin_cos(-h, &op.p0.im, &op.p0.re);
  quillmarch::sin_cos(h, &op.p1.im, &op.p1.re);
  return op;
}

// The AutoPair constants: one sincos of h and the sine of -h by its own call.
template <typename T>
RzOp<T> rz_op_host(T theta) {
  const T h = T(0.5) * theta;
  T s, c;
  quillmarch::sin_cos(h, &s, &c);
  return {{c, quillmarch::sine(-h)}, {c, s}};
}

}  // namespace

template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    cu_rz_kernel_all_state(int64_t n, CuComplex<T>* state, int target, uint64_t ctrl_mask, uint64_t ctrl_value,
                           T theta) {
  const RzOp<T> op = rz_op_device(theta);
  gates::all_state_body(n, state, target, ctrl_mask, ctrl_value, op);
}

template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    cu_rz_kernel_pair(int64_t n, CuComplex<T>* state, int target, uint64_t ctrl_mask, uint64_t ctrl_value, T theta) {
  const RzOp<T> op = rz_op_device(theta);
  gates::pair_body(n, state, target, ctrl_mask, ctrl_value, op);
}

namespace rz_autopair {

template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    target0_no_control(uint64_t count, CuComplex<T>* state, CuComplex<T> p0, CuComplex<T> p1) {
  gates::target0_no_control_body(count, state, RzOp<T>{p0, p1});
}

template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    no_control(uint64_t count, CuComplex<T>* state, uint64_t t, CuComplex<T> p0, CuComplex<T> p1) {
  gates::no_control_body(count, state, t, RzOp<T>{p0, p1});
}

template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    target0_compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask, uint64_t base_value, CuComplex<T> p0,
                    CuComplex<T> p1) {
  gates::target0_compact_body(count, state, insert_mask, base_value, RzOp<T>{p0, p1});
}

template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask, uint64_t base_value, uint64_t t, CuComplex<T> p0,
            CuComplex<T> p1) {
  gates::compact_body(count, state, insert_mask, base_value, t, RzOp<T>{p0, p1});
}

}  // namespace rz_autopair

namespace {

template <typename T>
void launch_rz(uint64_t n, CuComplex<T>* state, int target, const Qubits& controls, const Qubits& control_state,
               cudaStream_t stream, T theta, KernelMode mode) {
  const ControlMasks masks = build_control_masks(controls, control_state);
  check_gate_qubits(n, {target}, controls);
  const RzOp<T> host = rz_op_host(theta);
  gates::launch_one_qubit("cu_rz kernel launch failed: ", plan_one_qubit(n, target, masks, controls.size(), mode), n,
                          state, target, masks, stream,
                          gates::PairKernels<cu_rz_kernel_all_state<T>, cu_rz_kernel_pair<T>>{}, std::make_tuple(theta),
                          gates::AutoPairKernels<rz_autopair::target0_no_control<T>, rz_autopair::no_control<T>,
                                                 rz_autopair::target0_compact<T>, rz_autopair::compact<T>>{},
                          std::make_tuple(host.p0, host.p1));
}

}  // namespace

void cu_rz(uint64_t n, CuComplex<float>* state, int target, Qubits controls, const Qubits& control_state,
           cudaStream_t stream, float theta, KernelMode mode) {
  launch_rz(n, state, target, controls, control_state, stream, theta, mode);
}

void cu_rz(uint64_t n, CuComplex<double>* state, int target, Qubits controls, const Qubits& control_state,
           cudaStream_t stream, double theta, KernelMode mode) {
  launch_rz(n, state, target, controls, control_state, stream, theta, mode);
}

}  // namespace vorlent
