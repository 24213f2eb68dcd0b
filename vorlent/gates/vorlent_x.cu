// X gate: exchanges the two amplitudes of each pair.
#include "vorlent/gates/one_qubit_kernels.cuh"
#include "vorlent/gates/vorlent_gates.h"

namespace vorlent {

using gates::kThreads;

namespace {
template <typename T>
struct XOp {
  static constexpr bool kOnlyOne = false;
  QM_HD void operator()(CuComplex<T>& a0, CuComplex<T>& a1) const {
    const CuComplex<T> t = a0;
    a0 = a1;
    a1 = t;
  }
};
}  // namespace

template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    cu_x_kernel_all_state(int64_t n, CuComplex<T>* state, int target, uint64_t ctrl_mask, uint64_t ctrl_value) {
  gates::all_state_body(n, state, target, ctrl_mask, ctrl_value, XOp<T>{});
}

template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    cu_x_kernel_pair(int64_t n, CuComplex<T>* state, int target, uint64_t ctrl_mask, uint64_t ctrl_value) {
  gates::pair_body(n, state, target, ctrl_mask, ctrl_value, XOp<T>{});
}

namespace x_autopair {

template <typename T>
__global__ void __launch_bounds__(gates::kThreads) target0_no_control(uint64_t count, CuComplex<T>* state) {
  gates::target0_no_control_body(count, state, XOp<T>{});
}

template <typename T>
__global__ void __launch_bounds__(gates::kThreads) no_control(uint64_t count, CuComplex<T>* state, uint64_t t) {
  gates::no_control_body(count, state, t, XOp<T>{});
}

template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    target0_compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask, uint64_t base_value) {
  gates::target0_compact_body(count, state, insert_mask, base_value, XOp<T>{});
}

// A controlled X on a target above 0 scans every amplitude index instead of
// enumerating the compact pairs.
template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    state_scan(uint64_t count, CuComplex<T>* state, uint64_t t, uint64_t ctrl_mask, uint64_t ctrl_value) {
  const uint64_t j = gates::global_thread();
  if (j < count && (j & t) == 0 && quillmarch::controls_hold(j, ctrl_mask, ctrl_value))
    gates::update_pair(state, j, j | t, XOp<T>{});
}

}  // namespace x_autopair

namespace {

constexpr const char* kPrefix = "cu_x kernel launch failed: ";

template <typename T>
void launch_x(uint64_t n, CuComplex<T>* state, int target, const Qubits& controls, const Qubits& control_state,
              cudaStream_t stream, KernelMode mode) {
  const ControlMasks masks = build_control_masks(controls, control_state);
  check_gate_qubits(n, {target}, controls);
  if (mode == KernelMode::PairAuto && !controls.empty() && target != 0) {
    const uint64_t count = uint64_t{1} << n;
    quillmarch::launch<x_autopair::state_scan<T>>(dim3(quillmarch::grid_for(count, kThreads)), dim3(kThreads), 0,
                                                  stream, count, state, uint64_t{1} << target, masks.mask, masks.value);
    quillmarch::check_launch(kPrefix);
    return;
  }
  gates::launch_one_qubit(kPrefix, plan_one_qubit(n, target, masks, controls.size(), mode), n, state, target, masks,
                          stream, gates::PairKernels<cu_x_kernel_all_state<T>, cu_x_kernel_pair<T>>{}, std::tuple<>(),
                          gates::AutoPairKernels<x_autopair::target0_no_control<T>, x_autopair::no_control<T>,
                                                 x_autopair::target0_compact<T>, nullptr>{},
                          std::tuple<>());
}

}  // namespace

void cu_x(uint64_t n, CuComplex<float>* state, int target, Qubits controls, const Qubits& control_state,
          cudaStream_t stream, KernelMode mode) {
  launch_x(n, state, target, controls, control_state, stream, mode);
}

void cu_x(uint64_t n, CuComplex<double>* state, int target, Qubits controls, const Qubits& control_state,
          cudaStream_t stream, KernelMode mode) {
  launch_x(n, state, target, controls, control_state, stream, mode);
}

}  // namespace vorlent
