// UNITARY gate: a dense 2**k x 2**k matrix on k targets, with any controls.
// Bit b of a matrix row or column index is target targets[b] (gate order,
// targets[0] least significant). One and two targets pass the matrix by value;
// three to five keep a whole amplitude block in registers; six stage one group
// per block in shared memory and write it back in place; seven or more gather
// the controlled subspace with the targets lowest, multiply it by the matrix
// in one GEMM and scatter it back, through the calling thread's DenseMM
// scratch (the staged kernel, with a bounded scratch buffer past the shared
// memory's size, takes them when that scratch cannot be had: every group
// there re-reads the whole matrix). The launcher waits for the stream before
// it returns.
#include <algorithm>
#include <stdexcept>
#include <vector>

#include "common/bit_index.h"
#include "common/device_buffer.h"
#include "vorlent/fusion/fusion.h"
#include "vorlent/gates/one_qubit_kernels.cuh"
#include "vorlent/gates/vorlent_gates.h"

namespace vorlent {

using gates::kThreads;
using quillmarch::check_cuda;

// Row-major matrices that travel in the kernel's argument block.
template <typename T>
struct Unitary2x2 {
  CuComplex<T> m[4];
};

template <typename T>
struct Unitary4x4 {
  CuComplex<T> m[16];
};

namespace {

constexpr int kMaxInplaceTargets = 5;
// From here on a GEMM beats re-reading the matrix for every group.
constexpr size_t kMinGemmTargets = 7;
// Dynamic shared memory a block gets without opting in: groups up to this size
// are staged there, larger ones in a scratch buffer of at most kScratchBytes
// (or one group), whatever the state's size.
constexpr size_t kSharedStageBytes = 48 * 1024;
constexpr size_t kScratchBytes = size_t{32} << 20;
// Blocks of one staged launch; each walks the groups with a grid stride.
constexpr uint64_t kMaxStagedBlocks = uint64_t{1} << 20;

template <typename T>
struct Unitary2x2Op {
  static constexpr bool kOnlyOne = false;
  Unitary2x2<T> u;
  QM_HD void operator()(CuComplex<T>& a0, CuComplex<T>& a1) const {
    const CuComplex<T> b0 = u.m[0] * a0 + u.m[1] * a1;
    a1 = u.m[2] * a0 + u.m[3] * a1;
    a0 = b0;
  }
};

template <typename T>
QM_DEVICE void multiply4(const Unitary4x4<T>& u, CuComplex<T> (&a)[4]) {
  CuComplex<T> out[4];
  QM_UNROLL(32)
  for (int r = 0; r < 4; ++r)
    out[r] = u.m[4 * r] * a[0] + u.m[4 * r + 1] * a[1] + u.m[4 * r + 2] * a[2] + u.m[4 * r + 3] * a[3];
  QM_UNROLL(32)
  for (int r = 0; r < 4; ++r) a[r] = out[r];
}

// Matrix indices 0..3 are base, base | q0, base | q1, base | q0 | q1.
template <typename T>
QM_DEVICE void update_group4(CuComplex<T>* state, uint64_t base, uint64_t q0, uint64_t q1, const Unitary4x4<T>& u) {
  const uint64_t index[4] = {base, base | q0, base | q1, base | q0 | q1};
  CuComplex<T> a[4];
  QM_UNROLL(32)
  for (int c = 0; c < 4; ++c) a[c] = state[index[c]];
  multiply4(u, a);
  QM_UNROLL(32)
  for (int r = 0; r < 4; ++r) state[index[r]] = a[r];
}

}  // namespace

// 256 threads per block, one logical thread per amplitude pair.
template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    cu_unitary_1q_inplace_kernel(int64_t n, CuComplex<T>* state, int target, uint64_t ctrl_mask, uint64_t ctrl_value,
                                 Unitary2x2<T> u) {
  gates::pair_body(n, state, target, ctrl_mask, ctrl_value, Unitary2x2Op<T>{u});
}

// 256 threads per block, one logical thread per group of four amplitudes.
template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    cu_unitary_2q_inplace_kernel(int64_t n, CuComplex<T>* state, int t0, int t1, uint64_t ctrl_mask,
                                 uint64_t ctrl_value, Unitary4x4<T> u) {
  const uint64_t q0 = uint64_t{1} << t0;
  const uint64_t q1 = uint64_t{1} << t1;
  const int lo = t0 < t1 ? t0 : t1;
  const int hi = t0 < t1 ? t1 : t0;
  for (uint64_t j = gates::global_thread(); (j >> (n - 2)) == 0; j += gates::grid_stride()) {
    const uint64_t base = quillmarch::insert_two_zero_bits(j, lo, hi);
    if (quillmarch::controls_hold(base, ctrl_mask, ctrl_value)) update_group4(state, base, q0, q1, u);
  }
}

// 256 threads per block, one logical thread per block of 2**K amplitudes, all
// of which stay in registers between the load and the in-place store.
template <typename T, int K>
__global__ void __launch_bounds__(gates::kThreads)
    cu_unitary_inplace_kernel(int64_t n, CuComplex<T>* state, const int64_t* targets, const int64_t* sorted_targets,
                              uint64_t /*target_mask*/, uint64_t ctrl_mask, uint64_t ctrl_value,
                              const CuComplex<T>* matrix) {
  static_assert(K >= 3 && K <= kMaxInplaceTargets, "register-resident blocks exist for 3 to 5 targets");
  constexpr int kDim = 1 << K;
  int sorted[K];
  uint64_t bit[K];
  QM_UNROLL(32)
  for (int b = 0; b < K; ++b) {
    sorted[b] = static_cast<int>(sorted_targets[b]);
    bit[b] = uint64_t{1} << targets[b];
  }
  uint64_t offset[kDim];
  QM_UNROLL(32)
  for (int c = 0; c < kDim; ++c) offset[c] = quillmarch::map_target_masks<K>(static_cast<uint64_t>(c), bit);
  for (uint64_t j = gates::global_thread(); (j >> (n - K)) == 0; j += gates::grid_stride()) {
    uint64_t base = j;
    QM_UNROLL(32)
    for (int b = 0; b < K; ++b) base = quillmarch::insert_zero_bit(base, static_cast<unsigned>(sorted[b]));
    if (!quillmarch::controls_hold(base, ctrl_mask, ctrl_value)) continue;
    CuComplex<T> a[kDim];
    QM_UNROLL(32)
    for (int c = 0; c < kDim; ++c) a[c] = state[base | offset[c]];
    // Every input is already in registers, so each row is stored as soon as
    // it is complete.
    QM_UNROLL(32)
    for (int r = 0; r < kDim; ++r) {
      CuComplex<T> acc{T(0), T(0)};
      QM_UNROLL(32)
      for (int c = 0; c < kDim; ++c) acc = acc + matrix[r * kDim + c] * a[c];
      state[base | offset[r]] = acc;
    }
  }
}

// Bit positions of the targets in gate order, passed by value so that no
// thread reads them from global memory.
struct TargetPositions {
  uint8_t bit[64];
};

// One block per group of 2**k amplitudes (target bits free, every other bit
// fixed by the group): the block stages the group, then each thread writes
// whole rows straight back into the state. The stage is the block's dynamic
// shared memory when `scratch` is null, else the block's own slice of
// `scratch`. `matrix_t` is the transposed matrix, so a warp's row reads are
// consecutive. Launched with at most 256 threads per block.
template <typename T>
__global__ void __launch_bounds__(kThreads)
    cu_unitary_staged_kernel(uint64_t groups, CuComplex<T>* state, TargetPositions targets, int k, uint64_t insert_mask,
                             uint64_t base_value, const CuComplex<T>* matrix_t, CuComplex<T>* scratch) {
  QM_DYNAMIC_SHARED(CuComplex<T>, shared);
  const uint64_t dim = uint64_t{1} << k;
  CuComplex<T>* stage = scratch == nullptr ? shared : scratch + uint64_t(blockIdx.x) * dim;
  for (uint64_t g = blockIdx.x; g < groups; g += gridDim.x) {
    const uint64_t base = quillmarch::insert_zero_bits(g, insert_mask) | base_value;
    for (uint64_t c = threadIdx.x; c < dim; c += blockDim.x)
      stage[c] = state[base | quillmarch::map_target_bits(c, targets.bit, k)];
    __syncthreads();
    for (uint64_t r = threadIdx.x; r < dim; r += blockDim.x) {
      CuComplex<T> acc{T(0), T(0)};
      for (uint64_t c = 0; c < dim; ++c) acc = acc + matrix_t[c * dim + r] * stage[c];
      state[base | quillmarch::map_target_bits(r, targets.bit, k)] = acc;
    }
    // The next group overwrites the stage.
    __syncthreads();
  }
}

namespace {

// AutoPair forms: 256 threads per block, exactly one pair or group per thread.
template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    unitary_1q_target0_no_control(uint64_t count, CuComplex<T>* state, Unitary2x2<T> u) {
  gates::target0_no_control_body(count, state, Unitary2x2Op<T>{u});
}

template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    unitary_1q_no_control(uint64_t count, CuComplex<T>* state, uint64_t t, Unitary2x2<T> u) {
  gates::no_control_body(count, state, t, Unitary2x2Op<T>{u});
}

template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    unitary_1q_target0_compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask, uint64_t base_value,
                               Unitary2x2<T> u) {
  gates::target0_compact_body(count, state, insert_mask, base_value, Unitary2x2Op<T>{u});
}

template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    unitary_1q_compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask, uint64_t base_value, uint64_t t,
                       Unitary2x2<T> u) {
  gates::compact_body(count, state, insert_mask, base_value, t, Unitary2x2Op<T>{u});
}

template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    unitary_2q_no_control(uint64_t count, CuComplex<T>* state, int lo, int hi, uint64_t q0, uint64_t q1,
                          Unitary4x4<T> u) {
  const uint64_t j = gates::global_thread();
  if (j < count) update_group4(state, quillmarch::insert_two_zero_bits(j, lo, hi), q0, q1, u);
}

template <typename T>
__global__ void __launch_bounds__(gates::kThreads)
    unitary_2q_compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask, uint64_t base_value, uint64_t q0,
                       uint64_t q1, Unitary4x4<T> u) {
  const uint64_t j = gates::global_thread();
  if (j < count) update_group4(state, quillmarch::insert_zero_bits(j, insert_mask) | base_value, q0, q1, u);
}

// One target on qubit 0, the other on bit q. The group is read as two aligned
// pairs (base, base | 1) and (base | q, base | q | 1); qubit 0 is matrix bit 0
// when it is the first target and matrix bit 1 otherwise.
template <typename T, bool first_is_zero, bool controlled>
__global__ void __launch_bounds__(gates::kThreads)
    unitary_2q_target0(uint64_t count, CuComplex<T>* state, uint64_t q, uint64_t insert_mask, uint64_t base_value,
                       Unitary4x4<T> u) {
  const uint64_t j = gates::global_thread();
  if (j >= count) return;
  const uint64_t base =
      controlled ? quillmarch::insert_zero_bits(j, insert_mask) | base_value : quillmarch::insert_zero_bit0_and(j, q);
  constexpr int kOdd = first_is_zero ? 1 : 2;      // matrix index of base | 1
  constexpr int kPartner = first_is_zero ? 2 : 1;  // matrix index of base | q
  CuComplex<T> a[4];
  gates::load_pair(state + base, a[0], a[kOdd]);
  gates::load_pair(state + (base | q), a[kPartner], a[3]);
  multiply4(u, a);
  gates::store_pair(state + base, a[0], a[kOdd]);
  gates::store_pair(state + (base | q), a[kPartner], a[3]);
}

constexpr const char* kCudaError = "CUDA error: ";

dim3 grid_of(uint64_t work) { return dim3(quillmarch::grid_for(work, kThreads)); }

template <typename T>
void launch_1q(uint64_t n, CuComplex<T>* state, int target, const ControlMasks& masks, size_t num_controls,
               const Unitary2x2<T>& u, cudaStream_t stream, KernelMode mode) {
  // Every mode but PairAuto runs the pair-shaped in-place kernel.
  const KernelMode shape = mode == KernelMode::PairAuto ? mode : KernelMode::Pair;
  gates::launch_one_qubit(
      kCudaError, plan_one_qubit(n, target, masks, num_controls, shape), n, state, target, masks, stream,
      gates::PairKernels<cu_unitary_1q_inplace_kernel<T>, cu_unitary_1q_inplace_kernel<T>>{}, std::make_tuple(u),
      gates::AutoPairKernels<unitary_1q_target0_no_control<T>, unitary_1q_no_control<T>, unitary_1q_target0_compact<T>,
                             unitary_1q_compact<T>>{},
      std::make_tuple(u));
}

template <typename T>
void launch_2q(uint64_t n, CuComplex<T>* state, int t0, int t1, const ControlMasks& masks, size_t num_controls,
               const Unitary4x4<T>& u, cudaStream_t stream, KernelMode mode) {
  const uint64_t q0 = uint64_t{1} << t0;
  const uint64_t q1 = uint64_t{1} << t1;
  const dim3 block(kThreads);
  if (mode != KernelMode::PairAuto) {
    quillmarch::launch<cu_unitary_2q_inplace_kernel<T>>(grid_of(uint64_t{1} << (n - 2)), block, 0, stream,
                                                        static_cast<int64_t>(n), state, t0, t1, masks.mask, masks.value,
                                                        u);
  } else {
    const uint64_t count = uint64_t{1} << (n - 2 - num_controls);
    const uint64_t insert_mask = masks.mask | q0 | q1;
    const uint64_t base_value = masks.value & ~(q0 | q1);
    const bool controlled = num_controls > 0;
    if (t0 != 0 && t1 != 0) {
      if (controlled) {
        quillmarch::launch<unitary_2q_compact<T>>(grid_of(count), block, 0, stream, count, state, insert_mask,
                                                  base_value, q0, q1, u);
      } else {
        quillmarch::launch<unitary_2q_no_control<T>>(grid_of(count), block, 0, stream, count, state, std::min(t0, t1),
                                                     std::max(t0, t1), q0, q1, u);
      }
    } else {
      const bool first_is_zero = t0 == 0;
      auto target0 = [&](auto kernel) {
        quillmarch::launch(kernel, grid_of(count), block, 0, stream, count, state, first_is_zero ? q1 : q0,
                           controlled ? insert_mask : 0, controlled ? base_value : 0, u);
      };
      using quillmarch::kernel_constant;
      if (first_is_zero) {
        controlled ? target0(kernel_constant<unitary_2q_target0<T, true, true>>)
                   : target0(kernel_constant<unitary_2q_target0<T, true, false>>);
      } else {
        controlled ? target0(kernel_constant<unitary_2q_target0<T, false, true>>)
                   : target0(kernel_constant<unitary_2q_target0<T, false, false>>);
      }
    }
  }
  quillmarch::check_launch(kCudaError);
}

template <typename T, int K>
void launch_inplace(uint64_t n, CuComplex<T>* state, const int64_t* targets, const int64_t* sorted,
                    uint64_t target_mask, const ControlMasks& masks, const CuComplex<T>* matrix, cudaStream_t stream) {
  quillmarch::launch<cu_unitary_inplace_kernel<T, K>>(grid_of(uint64_t{1} << (n - K)), dim3(kThreads), 0, stream,
                                                      static_cast<int64_t>(n), state, targets, sorted, target_mask,
                                                      masks.mask, masks.value, matrix);
}

template <typename T>
void transpose(std::vector<CuComplex<T>>& m, uint64_t dim) {
  for (uint64_t r = 0; r < dim; ++r)
    for (uint64_t c = r + 1; c < dim; ++c) std::swap(m[r * dim + c], m[c * dim + r]);
}

// Six or more targets, in place: groups that fit the shared-memory stage use
// it; larger ones share a bounded scratch buffer, one slice per block.
template <typename T>
void launch_staged(uint64_t n, CuComplex<T>* state, const Qubits& targets, uint64_t target_mask,
                   const ControlMasks& masks, size_t num_controls, const CuComplex<T>* matrix_t, cudaStream_t stream,
                   int device, quillmarch::DeviceBuffer<CuComplex<T>>& scratch) {
  const int k = static_cast<int>(targets.size());
  const uint64_t dim = uint64_t{1} << k;
  TargetPositions positions{};
  for (int b = 0; b < k; ++b) positions.bit[b] = static_cast<uint8_t>(targets[b]);
  const uint64_t groups = uint64_t{1} << (n - k - num_controls);
  const size_t group_bytes = dim * sizeof(CuComplex<T>);
  uint64_t blocks = std::min(groups, kMaxStagedBlocks);
  size_t shared_bytes = group_bytes;
  if (group_bytes > kSharedStageBytes) {
    blocks = std::min<uint64_t>(blocks, std::max<size_t>(1, kScratchBytes / group_bytes));
    scratch = quillmarch::DeviceBuffer<CuComplex<T>>(blocks * dim, device);
    shared_bytes = 0;
  }
  const unsigned threads = static_cast<unsigned>(std::min<uint64_t>(dim, quillmarch::barrier_block(kThreads)));
  quillmarch::launch<cu_unitary_staged_kernel<T>>(dim3(static_cast<unsigned>(blocks)), dim3(threads), shared_bytes,
                                                  stream, groups, state, positions, k, target_mask | masks.mask,
                                                  masks.value, matrix_t, scratch.get());
  check_cuda(cudaGetLastError());
}

// The matrix with its rows and columns renumbered so that bit b of an index
// is the b-th lowest target (the gather's order) instead of targets[b].
template <typename T>
std::vector<CuComplex<T>> in_ascending_targets(const std::vector<CuComplex<T>>& m, const Qubits& targets) {
  const size_t k = targets.size();
  const uint64_t dim = uint64_t{1} << k;
  std::vector<int> rank(k, 0);
  for (size_t b = 0; b < k; ++b)
    for (size_t o = 0; o < k; ++o) rank[b] += targets[o] < targets[b] ? 1 : 0;
  std::vector<uint64_t> index(dim, 0);
  for (uint64_t r = 0; r < dim; ++r)
    for (size_t b = 0; b < k; ++b) index[r] |= ((r >> b) & 1) << rank[b];
  std::vector<CuComplex<T>> out(m.size());
  for (uint64_t r = 0; r < dim; ++r)
    for (uint64_t c = 0; c < dim; ++c) out[index[r] * dim + index[c]] = m[r * dim + c];
  return out;
}

template <typename T>
constexpr const char* kUnitaryGemm = sizeof(T) == sizeof(float) ? "cublasCgemm UNITARY" : "cublasZgemm UNITARY";

// Seven or more targets as one GEMM over the controlled subspace; false, with
// nothing enqueued, when the DenseMM scratch for it cannot be had. Waits for
// the stream before the matrix and the scratch go.
template <typename T>
bool launch_gemm(uint64_t n, CuComplex<T>* state, const Qubits& targets, uint64_t target_mask,
                 const ControlMasks& masks, size_t num_controls, const std::vector<CuComplex<T>>& host_matrix,
                 cudaStream_t stream, int device) {
  const auto k = static_cast<int32_t>(targets.size());
  const auto log2_amplitudes = static_cast<int32_t>(n - num_controls);
  // cuBLAS takes the column count as an int.
  if (log2_amplitudes - k > 30) return false;
  const std::vector<CuComplex<T>> sorted = in_ascending_targets(host_matrix, targets);
  quillmarch::DeviceBuffer<CuComplex<T>> d_matrix(sorted.size(), device);
  check_cuda(cudaMemcpyAsync(d_matrix.get(), sorted.data(), d_matrix.bytes(), cudaMemcpyHostToDevice, stream));
  const fusion::DenseMMScratch<T> scratch = fusion::bind_densemm_scratch<T>(log2_amplitudes);
  if (!scratch.bound()) {
    check_cuda(cudaStreamSynchronize(stream));
    return false;
  }
  fusion::apply_dense_matrix<T>(scratch.cublas_handle, log2_amplitudes, state, scratch.transpose_buffer,
                                scratch.gemm_buffer, target_mask, k, masks.mask, masks.value, d_matrix.get(), stream,
                                kUnitaryGemm<T>);
  check_cuda(cudaGetLastError());
  check_cuda(cudaStreamSynchronize(stream));
  return true;
}

template <typename T>
void launch_unitary(uint64_t n, CuComplex<T>* state, const Qubits& targets, const Qubits& controls,
                    const Qubits& control_state, const std::vector<std::complex<double>>& matrix, int64_t matrix_dim,
                    cudaStream_t stream, KernelMode mode) {
  const size_t k = targets.size();
  if (k == 0) throw std::invalid_argument("UNITARY gate requires at least one target.");
  if (k >= 63 || matrix_dim != (int64_t{1} << k))
    throw std::invalid_argument("UNITARY matrix dimension must be 2**num_targets.");
  const auto dim = static_cast<uint64_t>(matrix_dim);
  // Past 2**31 the element count would not fit 64 bits, nor any host vector.
  if (dim > (uint64_t{1} << 31) || matrix.size() != dim * dim)
    throw std::invalid_argument("UNITARY matrix size mismatch.");
  const ControlMasks masks = build_control_masks(controls, control_state);
  uint64_t target_mask = 0;
  for (int64_t t : targets) {
    if (static_cast<uint64_t>(t) > 62) throw std::invalid_argument("target qubit index must be in [0, 62]");
    target_mask |= uint64_t{1} << t;
  }
  check_gate_qubits(n, targets, controls);

  std::vector<CuComplex<T>> host_matrix(matrix.size());
  std::transform(matrix.begin(), matrix.end(), host_matrix.begin(), quillmarch::to_cu_complex<T>);

  if (k == 1) {
    Unitary2x2<T> u;
    std::copy(host_matrix.begin(), host_matrix.end(), u.m);
    launch_1q(n, state, static_cast<int>(targets[0]), masks, controls.size(), u, stream, mode);
    check_cuda(cudaStreamSynchronize(stream));
    return;
  }
  if (k == 2) {
    Unitary4x4<T> u;
    std::copy(host_matrix.begin(), host_matrix.end(), u.m);
    launch_2q(n, state, static_cast<int>(targets[0]), static_cast<int>(targets[1]), masks, controls.size(), u, stream,
              mode);
    check_cuda(cudaStreamSynchronize(stream));
    return;
  }

  int device = 0;
  check_cuda(cudaGetDevice(&device));
  if (k >= kMinGemmTargets &&
      launch_gemm(n, state, targets, target_mask, masks, controls.size(), host_matrix, stream, device))
    return;
  if (k > kMaxInplaceTargets) transpose(host_matrix, dim);
  quillmarch::DeviceBuffer<CuComplex<T>> d_matrix(host_matrix.size(), device);
  check_cuda(cudaMemcpyAsync(d_matrix.get(), host_matrix.data(), d_matrix.bytes(), cudaMemcpyHostToDevice, stream));
  quillmarch::DeviceBuffer<int64_t> d_targets;
  quillmarch::DeviceBuffer<int64_t> d_sorted;
  quillmarch::DeviceBuffer<CuComplex<T>> scratch;
  if (k <= kMaxInplaceTargets) {
    d_targets = quillmarch::DeviceBuffer<int64_t>(k, device);
    check_cuda(cudaMemcpyAsync(d_targets.get(), targets.data(), d_targets.bytes(), cudaMemcpyHostToDevice, stream));
    Qubits sorted(targets);
    std::sort(sorted.begin(), sorted.end());
    d_sorted = quillmarch::DeviceBuffer<int64_t>(k, device);
    check_cuda(cudaMemcpyAsync(d_sorted.get(), sorted.data(), d_sorted.bytes(), cudaMemcpyHostToDevice, stream));
    using InplaceLaunch = void (*)(uint64_t, CuComplex<T>*, const int64_t*, const int64_t*, uint64_t,
                                   const ControlMasks&, const CuComplex<T>*, cudaStream_t);
    static_assert(kMaxInplaceTargets == 5, "one switch case per register-resident target count");
    InplaceLaunch run = nullptr;
    switch (k) {
      case 3: run = launch_inplace<T, 3>; break;
      case 4: run = launch_inplace<T, 4>; break;
      case 5: run = launch_inplace<T, 5>; break;
    }
    run(n, state, d_targets.get(), d_sorted.get(), target_mask, masks, d_matrix.get(), stream);
    check_cuda(cudaGetLastError());
  } else {
    launch_staged(n, state, targets, target_mask, masks, controls.size(), d_matrix.get(), stream, device, scratch);
  }
  check_cuda(cudaStreamSynchronize(stream));
  d_targets.release();
  d_matrix.release();
  d_sorted.release();
  scratch.release();
}

}  // namespace

void cu_unitary(uint64_t n, CuComplex<float>* state, const Qubits& targets, Qubits controls,
                const Qubits& control_state, const std::vector<std::complex<double>>& matrix, int64_t matrix_dim,
                cudaStream_t stream, KernelMode mode) {
  launch_unitary(n, state, targets, controls, control_state, matrix, matrix_dim, stream, mode);
}

void cu_unitary(uint64_t n, CuComplex<double>* state, const Qubits& targets, Qubits controls,
                const Qubits& control_state, const std::vector<std::complex<double>>& matrix, int64_t matrix_dim,
                cudaStream_t stream, KernelMode mode) {
  launch_unitary(n, state, targets, controls, control_state, matrix, matrix_dim, stream, mode);
}

}  // namespace vorlent
