// Unitary, diagonal and permutation kernels of the density engine:
// rho -> C rho C^dagger, rows and columns conditioned on the controls separately.
#include "kestamire/kestamire_unitary.h"

#include <stdexcept>

#include "common/bit_index.h"
#include "common/cuda_check.h"

namespace quillmarch {
namespace kestamire {

namespace {

constexpr unsigned kThreads = 256;
constexpr int kMaxTargets = 6;

// bit[j] = step << targets[j]: the offset that target j's bit adds to an entry
// index, for steps of one column (1) or of one row (dim).
template <int K>
QM_HD void target_bits(const DeviceTargets& t, uint64_t (&bit)[K], uint64_t step = 1) {
  QM_UNROLL(64)
  for (int j = 0; j < K; ++j) bit[j] = step << t.targets[j];
}

// One thread per 2 x 2 block; 256 threads, no shared memory. The left and the
// right product are applied in the one pass.
template <typename T, int K>
__global__ void __launch_bounds__(kThreads)
    unitary_merged_kernel(CuComplex<T>* rho, long dim, DeviceTargets targets, unsigned long control_mask,
                          unsigned long control_value, const CuComplex<T>* matrix) {
  static_assert(K == 1, "the merged kernel serves one target");
  const uint64_t d = static_cast<uint64_t>(dim);
  const unsigned half_bits = lowest_set_bit(d) - 1;
  const uint64_t half = uint64_t{1} << half_bits;
  const uint64_t m = uint64_t{1} << targets.targets[0];
  const CuComplex<T> u00 = matrix[0], u01 = matrix[1], u10 = matrix[2], u11 = matrix[3];
  for (uint64_t i = global_thread(); i < half * half; i += grid_stride()) {
    const uint64_t r0 = insert_zero_at(i >> half_bits, m);
    const uint64_t c0 = insert_zero_at(i & (half - 1), m);
    const bool row_ok = controls_hold(r0, control_mask, control_value);
    const bool col_ok = controls_hold(c0, control_mask, control_value);
    if (!row_ok && !col_ok) continue;
    CuComplex<T>* top = rho + r0 * d;
    CuComplex<T>* bottom = rho + (r0 | m) * d;
    CuComplex<T> a = top[c0], b = top[c0 | m], c = bottom[c0], e = bottom[c0 | m];
    if (row_ok) {
      const CuComplex<T> na = u00 * a + u01 * c, nb = u00 * b + u01 * e;
      const CuComplex<T> nc = u10 * a + u11 * c, ne = u10 * b + u11 * e;
      a = na, b = nb, c = nc, e = ne;
    }
    if (col_ok) {
      const CuComplex<T> na = a * conj(u00) + b * conj(u01), nb = a * conj(u10) + b * conj(u11);
      const CuComplex<T> nc = c * conj(u00) + e * conj(u01), ne = c * conj(u10) + e * conj(u11);
      a = na, b = nb, c = nc, e = ne;
    }
    top[c0] = a;
    top[c0 | m] = b;
    bottom[c0] = c;
    bottom[c0 | m] = e;
  }
}

// Four consecutive threads per 4 x 4 block, each writing one row of it; 256
// threads on a GPU, no shared memory. Every thread reads the whole block, so
// the group meets at a warp barrier between its reads and its writes. The work
// count is a multiple of 4 and the stride a multiple of 256, so the four lanes
// of a group always run the same number of iterations and reach the barrier
// together. In blocks of fewer than four threads one thread takes the whole
// block and writes all four rows.
template <typename T>
__global__ void __launch_bounds__(kThreads)
    unitary_merged_row2_kernel(CuComplex<T>* rho, long dim, DeviceTargets targets, unsigned long control_mask,
                               unsigned long control_value, const CuComplex<T>* matrix) {
  const uint64_t d = static_cast<uint64_t>(dim);
  const unsigned quarter_bits = lowest_set_bit(d) - 2;
  const uint64_t quarter = uint64_t{1} << quarter_bits;
  uint64_t bit[2];
  target_bits<2>(targets, bit);
  const uint64_t target_mask = bit[0] | bit[1];
  const unsigned lane_bits = blockDim.x >= 4 ? 2 : 0;
  const unsigned group_mask = lane_bits != 0 ? 0xfu << (threadIdx.x & 28u) : 1u << (threadIdx.x & 31u);
  for (uint64_t i = global_thread(); i < (quarter * quarter) << lane_bits; i += grid_stride()) {
    const uint64_t j = i >> lane_bits;
    const unsigned first_row = lane_bits != 0 ? static_cast<unsigned>(i & 3) : 0;
    const unsigned end_row = lane_bits != 0 ? first_row + 1 : 4;
    const uint64_t r0 = insert_zero_bits(j >> quarter_bits, target_mask);
    const uint64_t c0 = insert_zero_bits(j & (quarter - 1), target_mask);
    const bool row_ok = controls_hold(r0, control_mask, control_value);
    const bool col_ok = controls_hold(c0, control_mask, control_value);
    const bool active = row_ok || col_ok;
    CuComplex<T> b[4][4];
    if (active) {
      QM_UNROLL(64)
      for (unsigned s = 0; s < 4; ++s) {
        const CuComplex<T>* row = rho + (r0 | map_target_masks<2>(s, bit)) * d;
        QM_UNROLL(64)
        for (unsigned t = 0; t < 4; ++t) b[s][t] = row[c0 | map_target_masks<2>(t, bit)];
      }
    }
    __syncwarp(group_mask);
    if (!active) continue;
    for (unsigned q = first_row; q < end_row; ++q) {
      CuComplex<T> out[4];
      QM_UNROLL(64)
      for (unsigned t = 0; t < 4; ++t) {
        if (row_ok) {
          const CuComplex<T>* u = matrix + q * 4;
          out[t] = u[0] * b[0][t] + u[1] * b[1][t] + u[2] * b[2][t] + u[3] * b[3][t];
        } else {
          // Selected by an unrolled compare so b stays in registers.
          QM_UNROLL(64)
          for (unsigned s = 0; s < 4; ++s) {
            if (s == q) out[t] = b[s][t];
          }
        }
      }
      if (col_ok) {
        CuComplex<T> right[4];
        QM_UNROLL(64)
        for (unsigned t = 0; t < 4; ++t) {
          const CuComplex<T>* u = matrix + t * 4;
          right[t] = out[0] * conj(u[0]) + out[1] * conj(u[1]) + out[2] * conj(u[2]) + out[3] * conj(u[3]);
        }
        QM_UNROLL(64)
        for (unsigned t = 0; t < 4; ++t) out[t] = right[t];
      }
      CuComplex<T>* row = rho + (r0 | map_target_masks<2>(q, bit)) * d;
      QM_UNROLL(64)
      for (unsigned t = 0; t < 4; ++t) row[c0 | map_target_masks<2>(t, bit)] = out[t];
    }
  }
}

// The 2^K entries entry[offset(s)] of one target block, gathered into
// registers and replaced by U v (kLeft, v a column of the block) or by
// w U^dagger (w a row).
template <typename T, int K, bool kLeft>
QM_HD void multiply_block(CuComplex<T>* entry, const uint64_t (&bit)[K], const CuComplex<T>* matrix) {
  constexpr unsigned S = 1u << K;
  CuComplex<T> v[S];
  QM_UNROLL(64)
  for (unsigned s = 0; s < S; ++s) v[s] = entry[map_target_masks<K>(s, bit)];
  QM_UNROLL(64)
  for (unsigned s = 0; s < S; ++s) {
    const CuComplex<T>* u = matrix + s * S;
    CuComplex<T> acc{0, 0};
    QM_UNROLL(64)
    for (unsigned k = 0; k < S; ++k) acc = acc + (kLeft ? u[k] * v[k] : v[k] * conj(u[k]));
    entry[map_target_masks<K>(s, bit)] = acc;
  }
}

// Item i of the left product is column i / blocks with the block base
// spread(i mod blocks) along the rows; of the right product, row i / blocks
// with the base along the columns. The controls condition that base.
template <typename T, int K, bool kLeft>
__device__ __forceinline__ void multiply_all_blocks(CuComplex<T>* rho, uint64_t d, const DeviceTargets& targets,
                                                    uint64_t control_mask, uint64_t control_value,
                                                    const CuComplex<T>* matrix) {
  static_assert(K >= 3 && K <= kMaxTargets, "the left and right kernels serve 3 to 6 targets");
  const unsigned block_bits = lowest_set_bit(d) - K;
  const uint64_t blocks = uint64_t{1} << block_bits;
  const uint64_t target_mask = mask_of_bits(targets.targets, K);
  uint64_t bit[K];
  target_bits<K>(targets, bit, kLeft ? d : 1);
  for (uint64_t i = global_thread(); i < blocks * d; i += grid_stride()) {
    const uint64_t line = i >> block_bits;
    const uint64_t base = insert_zero_bits(i & (blocks - 1), target_mask);
    if (!controls_hold(base, control_mask, control_value)) continue;
    multiply_block<T, K, kLeft>(rho + (kLeft ? base * d + line : line * d + base), bit, matrix);
  }
}

// U from the left on one column of a target block: v <- U v; 256 threads, no
// shared memory, the 2^K gathered entries kept in registers.
template <typename T, int K>
__global__ void __launch_bounds__(kThreads)
    unitary_left_kernel(CuComplex<T>* rho, long dim, DeviceTargets targets, unsigned long control_mask,
                        unsigned long control_value, const CuComplex<T>* matrix) {
  multiply_all_blocks<T, K, true>(rho, static_cast<uint64_t>(dim), targets, control_mask, control_value, matrix);
}

// U^dagger from the right on one row of a target block: w <- w U^dagger; same
// geometry as the left kernel with rows and columns exchanged.
template <typename T, int K>
__global__ void __launch_bounds__(kThreads)
    unitary_right_kernel(CuComplex<T>* rho, long dim, DeviceTargets targets, unsigned long control_mask,
                         unsigned long control_value, const CuComplex<T>* matrix) {
  multiply_all_blocks<T, K, false>(rho, static_cast<uint64_t>(dim), targets, control_mask, control_value, matrix);
}

// One thread per entry, block 32 x 8 (x = column, y = row), no shared memory.
// Only entries whose row and column differ in the target bit change.
template <typename T>
__global__ void __launch_bounds__(32 * 8)
    diagonal_free_kernel(CuComplex<T>* rho, long dim, unsigned long target_mask, CuComplex<T> a, CuComplex<T> b) {
  const uint64_t d = static_cast<uint64_t>(dim);
  const uint64_t c = global_thread();
  const uint64_t r = global_thread_y();
  if (r >= d || c >= d) return;
  const bool row_bit = (r & target_mask) != 0;
  const bool col_bit = (c & target_mask) != 0;
  if (row_bit == col_bit) return;
  CuComplex<T>& entry = rho[r * d + c];
  entry = entry * (row_bit ? a : b);
}

template <typename T>
QM_HD CuComplex<T> controlled_diagonal_entry(uint64_t index, uint64_t target_mask, uint64_t control_mask,
                                             uint64_t control_value, CuComplex<T> d0, CuComplex<T> d1) {
  if (!controls_hold(index, control_mask, control_value)) return CuComplex<T>{1, 0};
  return (index & target_mask) ? d1 : d0;
}

// One thread per entry, block 32 x 8 (x = column, y = row), no shared memory;
// every entry becomes f(r) rho(r, c) conj(f(c)).
template <typename T>
__global__ void __launch_bounds__(32 * 8)
    diagonal_controlled_kernel(CuComplex<T>* rho, long dim, unsigned long target_mask, unsigned long control_mask,
                               unsigned long control_value, CuComplex<T> d0, CuComplex<T> d1) {
  const uint64_t d = static_cast<uint64_t>(dim);
  const uint64_t c = global_thread();
  const uint64_t r = global_thread_y();
  if (r >= d || c >= d) return;
  const CuComplex<T> fr = controlled_diagonal_entry(r, target_mask, control_mask, control_value, d0, d1);
  const CuComplex<T> fc = controlled_diagonal_entry(c, target_mask, control_mask, control_value, d0, d1);
  CuComplex<T>& entry = rho[r * d + c];
  entry = fr * entry * conj(fc);
}

// One thread per entry, block 32 x 8 (x = column, y = row), no shared memory.
// X flips every bit of flip_mask; SWAP exchanges its two bits, which acts only
// where they differ. Of the two threads of an exchanged pair, the one at the
// lower position performs the exchange.
template <typename T>
__global__ void __launch_bounds__(32 * 8)
    permutation_kernel(CuComplex<T>* rho, long dim, unsigned long flip_mask, unsigned long control_mask,
                       unsigned long control_value, bool is_swap) {
  const uint64_t d = static_cast<uint64_t>(dim);
  const uint64_t c = global_thread();
  const uint64_t r = global_thread_y();
  if (r >= d || c >= d) return;
  auto acts = [&](uint64_t index) {
    if (!controls_hold(index, control_mask, control_value)) return false;
    const uint64_t bits = index & flip_mask;
    return !is_swap || (bits != 0 && bits != flip_mask);
  };
  const uint64_t r2 = acts(r) ? r ^ flip_mask : r;
  const uint64_t c2 = acts(c) ? c ^ flip_mask : c;
  if (!(r2 > r || (r2 == r && c2 > c))) return;
  CuComplex<T>& x = rho[r * d + c];
  CuComplex<T>& y = rho[r2 * d + c2];
  const CuComplex<T> t = x;
  x = y;
  y = t;
}

// Grid of the 32 x 8 per-entry kernels.
dim3 entry_grid(uint64_t dim) { return dim3(grid_for(dim, 32), grid_for(dim, 8)); }

template <typename T, int K>
void launch_left_right(CuComplex<T>* rho, uint64_t dim, const DeviceTargets& targets, uint64_t control_mask,
                       uint64_t control_value, const CuComplex<T>* matrix) {
  const dim3 grid(grid_for((dim >> K) * dim, kThreads));
  launch<unitary_left_kernel<T, K>>(grid, dim3(kThreads), 0, nullptr, rho, dim, targets, control_mask, control_value,
                                    matrix);
  check_launch("unitary kernel launch failed: ");
  launch<unitary_right_kernel<T, K>>(grid, dim3(kThreads), 0, nullptr, rho, dim, targets, control_mask, control_value,
                                     matrix);
  check_launch("unitary kernel launch failed: ");
}

}  // namespace

template <typename T>
void launch_unitary(CuComplex<T>* rho, uint64_t dim, const DeviceTargets& targets, uint64_t control_mask,
                    uint64_t control_value, const CuComplex<T>* matrix) {
  static_assert(kMaxTargets == 6, "the dispatch below covers 1 to 6 targets");
  switch (targets.count) {
    case 1: {
      const uint64_t half = dim / 2;
      launch<unitary_merged_kernel<T, 1>>(dim3(grid_for(half * half, kThreads)), dim3(kThreads), 0, nullptr, rho, dim,
                                          targets, control_mask, control_value, matrix);
      check_launch("unitary kernel launch failed: ");
      return;
    }
    case 2: {
      const uint64_t quarter = dim / 4;
      const unsigned threads = quillmarch::barrier_block(kThreads);
      const uint64_t work = (quarter * quarter) << (threads >= 4 ? 2 : 0);
      launch<unitary_merged_row2_kernel<T>>(dim3(quillmarch::stride_grid_for(work, threads)), dim3(threads), 0, nullptr,
                                            rho, dim, targets, control_mask, control_value, matrix);
      check_launch("unitary kernel launch failed: ");
      return;
    }
    case 3: return launch_left_right<T, 3>(rho, dim, targets, control_mask, control_value, matrix);
    case 4: return launch_left_right<T, 4>(rho, dim, targets, control_mask, control_value, matrix);
    case 5: return launch_left_right<T, 5>(rho, dim, targets, control_mask, control_value, matrix);
    case 6: return launch_left_right<T, 6>(rho, dim, targets, control_mask, control_value, matrix);
    default: throw std::runtime_error("GPU density unitary supports at most 6 targets");
  }
}

template <typename T>
void launch_diagonal(CuComplex<T>* rho, uint64_t dim, uint64_t target_mask, uint64_t control_mask,
                     uint64_t control_value, CuComplex<T> d0, CuComplex<T> d1) {
  if (control_mask == 0) {
    launch<diagonal_free_kernel<T>>(entry_grid(dim), dim3(32, 8), 0, nullptr, rho, dim, target_mask, d1 * conj(d0),
                                    d0 * conj(d1));
  } else {
    launch<diagonal_controlled_kernel<T>>(entry_grid(dim), dim3(32, 8), 0, nullptr, rho, dim, target_mask, control_mask,
                                          control_value, d0, d1);
  }
  check_launch("diagonal kernel launch failed: ");
}

template <typename T>
void launch_permutation(CuComplex<T>* rho, uint64_t dim, uint64_t permutation_mask, uint64_t control_mask,
                        uint64_t control_value, bool is_swap) {
  launch<permutation_kernel<T>>(entry_grid(dim), dim3(32, 8), 0, nullptr, rho, dim, permutation_mask, control_mask,
                                control_value, is_swap);
  check_launch("permutation kernel launch failed: ");
}

#define KESTAMIRE_UNITARY_INSTANTIATE(T)                                                                               \
  template void launch_unitary<T>(CuComplex<T>*, uint64_t, const DeviceTargets&, uint64_t, uint64_t,                   \
                                  const CuComplex<T>*);                                                                \
  template void launch_diagonal<T>(CuComplex<T>*, uint64_t, uint64_t, uint64_t, uint64_t, CuComplex<T>, CuComplex<T>); \
  template void launch_permutation<T>(CuComplex<T>*, uint64_t, uint64_t, uint64_t, uint64_t, bool);
KESTAMIRE_UNITARY_INSTANTIATE(float)
KESTAMIRE_UNITARY_INSTANTIATE(double)

}  // namespace kestamire
}  // namespace quillmarch
