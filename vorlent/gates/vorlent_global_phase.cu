// GLOBAL_PHASE gate: multiplies every amplitude whose controls hold by
// exp(i theta). One kernel serves every mode.
#include "vorlent/gates/one_qubit_kernels.cuh"
#include "vorlent/gates/vorlent_gates.h"

namespace vorlent {

using gates::kThreads;

// 256 threads per block, one logical thread per amplitude. The factor
// exp(i theta) comes from the host, computed once.
template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    cu_global_phase_kernel(int64_t n, CuComplex<T>* state, uint64_t ctrl_mask, uint64_t ctrl_value,
                           CuComplex<T> phase) {
  for (uint64_t i = gates::global_thread(); (i >> n) == 0; i += gates::grid_stride()) {
    if (quillmarch::controls_hold(i, ctrl_mask, ctrl_value)) state[i] = phase * state[i];
  }
}

namespace {

template <typename T>
void launch_global_phase(uint64_t n, CuComplex<T>* state, const Qubits& controls, const Qubits& control_state,
                         cudaStream_t stream, T theta) {
  const ControlMasks masks = build_control_masks(controls, control_state);
  check_gate_qubits(n, {}, controls);
  CuComplex<T> phase;
  quillmarch::sin_cos(theta, &phase.im, &phase.re);
  quillmarch::launch<cu_global_phase_kernel<T>>(dim3(quillmarch::grid_for(uint64_t{1} << n, kThreads)), dim3(kThreads),
                                                0, stream, static_cast<int64_t>(n), state, masks.mask, masks.value,
                                                phase);
  quillmarch::check_launch("cu_global_phase kernel launch failed: ");
}

}  // namespace

void cu_global_phase(uint64_t n, CuComplex<float>* state, Qubits controls, const Qubits& control_state,
                     cudaStream_t stream, KernelMode, float theta) {
  launch_global_phase(n, state, controls, control_state, stream, theta);
}

void cu_global_phase(uint64_t n, CuComplex<double>* state, Qubits controls, const Qubits& control_state,
                     cudaStream_t stream, KernelMode, double theta) {
  launch_global_phase(n, state, controls, control_state, stream, theta);
}

}  // namespace vorlent
