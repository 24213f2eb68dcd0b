// SWAP gate: exchanges the values of two target qubits where the controls hold.
#include <algorithm>

#include "common/bit_index.h"
#include "vorlent/gates/one_qubit_kernels.cuh"
#include "vorlent/gates/vorlent_gates.h"

namespace vorlent {

using gates::kThreads;

namespace {

// A controlled SWAP on two targets above qubit 0 scans every group anyway;
// wider blocks suit that loop better than the usual 256.
constexpr unsigned kScanThreads = 512;

template <typename T>
QM_DEVICE void exchange(CuComplex<T>* state, uint64_t i, uint64_t k) {
  const CuComplex<T> t = state[i];
  state[i] = state[k];
  state[k] = t;
}

// Grid-stride over the 2**(n-2) groups of four amplitudes; the controls are
// tested on the member with qubit b set.
template <typename T>
QM_DEVICE void swap_group_scan(int64_t n, CuComplex<T>* state, int a, int b, uint64_t ctrl_mask, uint64_t ctrl_value) {
  const uint64_t qa = uint64_t{1} << a;
  const uint64_t qb = uint64_t{1} << b;
  const int lo = a < b ? a : b;
  const int hi = a < b ? b : a;
  for (uint64_t j = gates::global_thread(); (j >> (n - 2)) == 0; j += gates::grid_stride()) {
    const uint64_t base = quillmarch::insert_two_zero_bits(j, lo, hi);
    const uint64_t i = base | qb;
    if (quillmarch::controls_hold(i, ctrl_mask, ctrl_value)) exchange(state, i, base | qa);
  }
}

// One target on qubit 0, the other on bit q: state[base | 1] <-> state[base | q].
// The neighbouring pair at base | q moves as one vector access, so its upper
// half is written back with its own value.
template <typename T>
QM_DEVICE void swap_with_bit0(CuComplex<T>* state, uint64_t base, uint64_t q) {
  const CuComplex<T> odd = state[base | 1];
  CuComplex<T> p0, p1;
  gates::load_pair(state + (base | q), p0, p1);
  state[base | 1] = p0;
  gates::store_pair(state + (base | q), odd, p1);
}

}  // namespace

// 256 threads per block, one logical thread per amplitude.
template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    cu_swap_kernel_all_state(int64_t n, CuComplex<T>* state, int a, int b, uint64_t ctrl_mask, uint64_t ctrl_value) {
  const uint64_t qa = uint64_t{1} << a;
  const uint64_t qb = uint64_t{1} << b;
  for (uint64_t i = gates::global_thread(); (i >> n) == 0; i += gates::grid_stride()) {
    if ((i & qa) == 0 && (i & qb) != 0 && quillmarch::controls_hold(i, ctrl_mask, ctrl_value))
      exchange(state, i, i ^ (qa | qb));
  }
}

// 256 threads per block, one logical thread per group of four amplitudes.
template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    cu_swap_kernel_pair(int64_t n, CuComplex<T>* state, int a, int b, uint64_t ctrl_mask, uint64_t ctrl_value) {
  swap_group_scan(n, state, a, b, ctrl_mask, ctrl_value);
}

namespace {

// AutoPair forms: 256 threads per block (the control scan 512), exactly one
// exchange per thread except in the scan.
template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    swap_no_control(uint64_t count, CuComplex<T>* state, int lo, int hi, uint64_t qa, uint64_t qb) {
  const uint64_t j = gates::global_thread();
  if (j >= count) return;
  const uint64_t base = quillmarch::insert_two_zero_bits(j, lo, hi);
  exchange(state, base | qb, base | qa);
}

template <typename T>
__global__ void __launch_bounds__(kScanThreads)
    swap_control_scan(int64_t n, CuComplex<T>* state, int a, int b, uint64_t ctrl_mask, uint64_t ctrl_value) {
  swap_group_scan(n, state, a, b, ctrl_mask, ctrl_value);
}

template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    swap_target0_no_control(uint64_t count, CuComplex<T>* state, uint64_t q) {
  const uint64_t j = gates::global_thread();
  if (j < count) swap_with_bit0(state, quillmarch::insert_zero_bit0_and(j, q), q);
}

template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    swap_target0_compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask, uint64_t base_value, uint64_t q) {
  const uint64_t j = gates::global_thread();
  if (j < count) swap_with_bit0(state, quillmarch::insert_zero_bits(j, insert_mask) | base_value, q);
}

template <typename T>
void launch_swap(uint64_t n, CuComplex<T>* state, int a, int b, const Qubits& controls, const Qubits& control_state,
                 cudaStream_t stream, KernelMode mode) {
  const ControlMasks masks = build_control_masks(controls, control_state);
  // Equal targets would make every kernel exchange an amplitude with itself,
  // or misalign the vector accesses of the target-0 kernels.
  check_gate_qubits(n, {a, b}, controls);
  const auto n64 = static_cast<int64_t>(n);
  const uint64_t qa = uint64_t{1} << a;
  const uint64_t qb = uint64_t{1} << b;
  const uint64_t groups = uint64_t{1} << (n - 2);
  const auto grid = [](uint64_t work, unsigned threads) { return dim3(quillmarch::grid_for(work, threads)); };
  const dim3 block(kThreads);
  if (mode == KernelMode::AllState) {
    quillmarch::launch<cu_swap_kernel_all_state<T>>(grid(uint64_t{1} << n, kThreads), block, 0, stream, n64, state, a,
                                                    b, masks.mask, masks.value);
  } else if (mode != KernelMode::PairAuto) {
    quillmarch::launch<cu_swap_kernel_pair<T>>(grid(groups, kThreads), block, 0, stream, n64, state, a, b, masks.mask,
                                               masks.value);
  } else if (a != 0 && b != 0) {
    if (controls.empty()) {
      quillmarch::launch<swap_no_control<T>>(grid(groups, kThreads), block, 0, stream, groups, state, std::min(a, b),
                                             std::max(a, b), qa, qb);
    } else {
      quillmarch::launch<swap_control_scan<T>>(grid(groups, kScanThreads), dim3(kScanThreads), 0, stream, n64, state, a,
                                               b, masks.mask, masks.value);
    }
  } else {
    const uint64_t q = a == 0 ? qb : qa;
    if (controls.empty()) {
      quillmarch::launch<swap_target0_no_control<T>>(grid(groups, kThreads), block, 0, stream, groups, state, q);
    } else {
      const uint64_t count = uint64_t{1} << (n - 2 - controls.size());
      quillmarch::launch<swap_target0_compact<T>>(grid(count, kThreads), block, 0, stream, count, state,
                                                  masks.mask | qa | qb, masks.value & ~(qa | qb), q);
    }
  }
  quillmarch::check_launch("cu_swap kernel launch failed: ");
}

}  // namespace

void cu_swap(uint64_t n, CuComplex<float>* state, int a, int b, Qubits controls, const Qubits& control_state,
             cudaStream_t stream, KernelMode mode) {
  launch_swap(n, state, a, b, controls, control_state, stream, mode);
}

void cu_swap(uint64_t n, CuComplex<double>* state, int a, int b, Qubits controls, const Qubits& control_state,
             cudaStream_t stream, KernelMode mode) {
  launch_swap(n, state, a, b, controls, control_state, stream, mode);
}

}  // namespace vorlent
