// U(theta, phi, lambda) gate:
//   [[c, -exp(i lambda) s], [exp(i phi) s, exp(i (phi + lambda)) c]]
// with c, s the cosine and sine of theta / 2.
#include "vorlent/gates/one_qubit_kernels.cuh"
#include "vorlent/gates/vorlent_gates.h"

namespace vorlent {

namespace {

// Row-major m00, m01, m10, m11; passed by value to the AutoPair kernels.
template <typename T>
struct GateMatrix2x2 {
  CuComplex<T> m00, m01, m10, m11;
};

template <typename T>
struct UOp {
  static constexpr bool kOnlyOne = false;
  GateMatrix2x2<T> m;
  QM_HD void operator()(CuComplex<T>& a0, CuComplex<T>& a1) const {
    const CuComplex<T> b0 = m.m00 * a0 + m.m01 * a1;
    a1 = m.m10 * a0 + m.m11 * a1;
    a0 = b0;
  }
};

// Every thread of the all-state and pair kernels builds the matrix itself;
// exp(i (phi + lambda)) is the product of the two unit phases.
template <typename T>
QM_HD UOp<T> u_op_device(T theta, T phi, T lambda) {
  T s, c, sin_phi, cos_phi, sin_lambda, cos_lambda;
  quillmarch::sin_cos(T(0.5) * theta, &s, &c);
  quillmarch::sin_cos(phi, &sin_phi, &cos_phi);
  quillmarch::sin_cos(lambda, &sin_lambda, &cos_lambda);
  const CuComplex<T> e_phi{cos_phi, sin_phi};
  const CuComplex<T> e_lambda{cos_lambda, sin_lambda};
  return {{{c, T(0)},
           quillmarch::scale(e_lambda, -s),
           quillmarch::scale(e_phi, s),
           quillmarch::scale(e_phi * e_lambda, c)}};
}

// The AutoPair matrix, evaluated once on the host.
template <typename T>
GateMatrix2x2<T> u_matrix_host(T theta, T phi, T lambda) {
  T s, c, sin_phi, cos_phi, sin_lambda, cos_lambda;
  quillmarch::sin_cos(lambda, &sin_lambda, &cos_lambda);
  quillmarch::sin_cos(phi, &sin_phi, &cos_phi);
  quillmarch::sin_cos(T(0.5) * theta, &s, &c);
  return {{c, T(0)},
          {-s * cos_lambda, -s * sin_lambda},
          {s * cos_phi, s * sin_phi},
          {c * (cos_lambda * cos_phi - sin_lambda * sin_phi), c * (sin_phi * cos_lambda + cos_phi * sin_lambda)}};
}

}  // namespace

template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    cu_u_kernel_all_state(int64_t n, CuComplex<T>* state, int target, uint64_t ctrl_mask, uint64_t ctrl_value, T theta,
                          T phi, T lambda) {
  const UOp<T> op = u_op_device(theta, phi, lambda);
  gates::all_state_body(n, state, target, ctrl_mask, ctrl_value, op);
}

template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    cu_u_kernel_pair(int64_t n, CuComplex<T>* state, int target, uint64_t ctrl_mask, uint64_t ctrl_value, T theta,
                     T phi, T lambda) {
  const UOp<T> op = u_op_device(theta, phi, lambda);
  gates::pair_body(n, state, target, ctrl_mask, ctrl_value, op);
}

namespace {

template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    u_target0_no_control(uint64_t count, CuComplex<T>* state, GateMatrix2x2<T> m) {
  gates::target0_no_control_body(count, state, UOp<T>{m});
}

template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    u_no_control(uint64_t count, CuComplex<T>* state, uint64_t t, GateMatrix2x2<T> m) {
  gates::no_control_body(count, state, t, UOp<T>{m});
}

template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    u_target0_compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask, uint64_t base_value,
                      GateMatrix2x2<T> m) {
  gates::target0_compact_body(count, state, insert_mask, base_value, UOp<T>{m});
}

template <typename T>
__global__ void __launch_bounds__(gates::kThreads) u_compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask,
                                                             uint64_t base_value, uint64_t t, GateMatrix2x2<T> m) {
  gates::compact_body(count, state, insert_mask, base_value, t, UOp<T>{m});
}

template <typename T>
void launch_u(uint64_t n, CuComplex<T>* state, int target, const Qubits& controls, const Qubits& control_state,
              cudaStream_t stream, T theta, T phi, T lambda, KernelMode mode) {
  const ControlMasks masks = build_control_masks(controls, control_state);
  check_gate_qubits(n, {target}, controls);
  gates::launch_one_qubit(
      "cu_u kernel launch failed: ", plan_one_qubit(n, target, masks, controls.size(), mode), n, state, target, masks,
      stream, gates::PairKernels<cu_u_kernel_all_state<T>, cu_u_kernel_pair<T>>{}, std::make_tuple(theta, phi, lambda),
      gates::AutoPairKernels<u_target0_no_control<T>, u_no_control<T>, u_target0_compact<T>, u_compact<T>>{},
      std::make_tuple(u_matrix_host(theta, phi, lambda)));
}

}  // namespace

void cu_u(uint64_t n, CuComplex<float>* state, int target, Qubits controls, const Qubits& control_state,
          cudaStream_t stream, float theta, float phi, float lambda, KernelMode mode) {
  launch_u(n, state, target, controls, control_state, stream, theta, phi, lambda, mode);
}

void cu_u(uint64_t n, CuComplex<double>* state, int target, Qubits controls, const Qubits& control_state,
          cudaStream_t stream, double theta, double phi, double lambda, KernelMode mode) {
  launch_u(n, state, target, controls, control_state, stream, theta, phi, lambda, mode);
}

}  // namespace vorlent
