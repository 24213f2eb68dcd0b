// Shared-memory pass of density fusion: each block loads a 2^k x 2^k tile of
// rho (rows and columns that differ only in the active qubits; a few such
// tiles side by side when the active qubits are high), applies the
// group's one-qubit unitaries, diagonals, flips and channels to it, and
// stores it back.
#include "kestamire/density_sparsesharemem.h"

#include <algorithm>
#include <stdexcept>

#include "common/bit_index.h"
#include "common/block_runs.h"
#include "common/cuda_api.h"
#include "common/cuda_check.h"
#include "kestamire/channel_action.cuh"
#include "kestamire/density_ops.h"
#include "kestamire/unitary_action.cuh"

namespace quillmarch {
namespace kestamire {

namespace {

constexpr unsigned kThreads = 128;
constexpr int kMaxActive = 5;  // 32 x 32 tiles: 16 KiB of complex128 shared memory each, 32 KiB a block

template <typename T>
QM_HD void swap_entries(CuComplex<T>& x, CuComplex<T>& y) {
  const CuComplex<T> t = x;
  store(x, y);
  store(y, t);
}

// A check's outcome known at compile time (std::bool_constant's conversion is
// host-only under nvcc).
template <bool B>
struct Known {
  QM_HD constexpr operator bool() const { return B; }
};

// Entry (r, c) of rho is element (r << n) | c. A block holds the entries
// whose bits outside tile_mask read one base: the rows that differ in the
// active qubits, and the columns that differ in the active and the "lane"
// qubits, the inactive ones below one 32-byte memory sector. So with high
// active qubits consecutive threads still read whole sectors of rho; with
// active qubits 0 (and 1 for complex64) there are no lane qubits and the
// block holds one tile. Shared memory keeps the entries in load order: local
// row, then local column over the active and lane bits (q order).
struct TileOrder {
  uint64_t active_mask;
  uint64_t column_mask;  // active and lane qubits
  uint64_t tile_mask;    // (active_mask << n) | column_mask
  int32_t k;
  int32_t lane_bits;

  // A set of local active bits as bits of the q order.
  QM_HD uint64_t in_q_order(uint64_t local) const { return remap_bits(local, active_mask, column_mask); }
};

// op on the 2 x 2 blocks of one run, whose top-left entries start at a.
template <bool Rows, bool Columns, typename T, typename Op>
__device__ __forceinline__ void run_of_blocks(const RunShare& share, unsigned length, CuComplex<T>* a, CuComplex<T>* b,
                                              CuComplex<T>* c, CuComplex<T>* d, Op& op) {
  for_each_strided(share.first, length, share.stride,
                   [&](unsigned o) { op(Known<Rows>{}, Known<Columns>{}, a[o], b[o], c[o], d[o]); });
}

// Calls op(row_ok, col_ok, a, b, c, d) on each 2 x 2 block [[a, b], [c, d]]
// of the record's target in the block's tiles (base row and column with the
// target bit clear), the block's threads sharing them. The controls never
// include the target, so they read the same on both rows (and both columns)
// of a 2 x 2 block. The blocks come in runs of consecutive columns, below the
// lowest of the record's column target and control bits, over which both
// checks read the same. A record without controls (Controlled false) reads
// them as always holding.
template <bool Controlled = true, typename T, typename Op>
__device__ __forceinline__ void for_each_block(CuComplex<T>* tile, const TileOrder& order,
                                               const DeviceDensityGate<T>& gate, Op op) {
  const int q_bits = order.k + order.lane_bits;
  const unsigned half_q = 1u << (q_bits - 1);
  const auto target = static_cast<unsigned>(gate.target);
  const unsigned m = 1u << target;
  const auto mq = static_cast<unsigned>(order.in_q_order(m));
  const unsigned target_q = lowest_set_bit(mq);
  const auto mask = static_cast<uint64_t>(gate.control_mask), value = static_cast<uint64_t>(gate.control_value);
  const uint64_t mask_q = order.in_q_order(mask), value_q = order.in_q_order(value);
  const unsigned run_bits = lowest_set_bit(mq | mask_q);
  const unsigned runs = 1u << (order.k - 1 + q_bits - 1 - run_bits);
  const RunShare share = share_runs(1u << run_bits, threadIdx.x, blockDim.x);
  if (share.idle) return;
  for (unsigned p = share.first_run; p < runs; p += share.run_step) {
    const unsigned j = p << run_bits;
    const auto lr = static_cast<unsigned>(insert_zero_bit(j >> (q_bits - 1), target));
    const auto lq = static_cast<unsigned>(insert_zero_bit(j & (half_q - 1), target_q));
    const bool row_ok = controls_hold(lr, mask, value), col_ok = controls_hold(lq, mask_q, value_q);
    CuComplex<T>* const a = tile + (lr << q_bits) + lq;
    CuComplex<T>* const c = tile + ((lr | m) << q_bits) + lq;
    CuComplex<T>* const b = a + mq;
    CuComplex<T>* const d = c + mq;
    // The checks go in as constants, so a run is a loop without branches.
    if (!Controlled || (row_ok && col_ok))
      run_of_blocks<true, true>(share, 1u << run_bits, a, b, c, d, op);
    else if (row_ok)
      run_of_blocks<true, false>(share, 1u << run_bits, a, b, c, d, op);
    else if (col_ok)
      run_of_blocks<false, true>(share, 1u << run_bits, a, b, c, d, op);
    else
      run_of_blocks<false, false>(share, 1u << run_bits, a, b, c, d, op);
  }
}

// One record on the block's tiles. The kind is the same for every 2 x 2
// block, so it is dispatched once per record, and the record's values are
// read once.
template <typename T>
__device__ __forceinline__ void apply_record(const DeviceDensityGate<T>& gate, CuComplex<T>* tile,
                                             const TileOrder& order) {
  using C = CuComplex<T>;
  switch (gate.kind) {
    case UnitaryGate: {
      const C u[4] = {gate.matrix[0], gate.matrix[1], gate.matrix[2], gate.matrix[3]};
      for_each_block(tile, order, gate, [u](bool row_ok, bool col_ok, C& a, C& b, C& c, C& d) {
        if (row_ok) apply_unitary_left(a, b, c, d, u);
        if (col_ok) apply_unitary_right(a, b, c, d, u);
      });
      return;
    }
    case DiagonalGate: {
      const C d0 = gate.diagonal[0], d1 = gate.diagonal[1];
      for_each_block(tile, order, gate, [d0, d1](bool row_ok, bool col_ok, C& a, C& b, C& c, C& d) {
        const C one{T(1), T(0)};
        const C r0 = row_ok ? d0 : one, r1 = row_ok ? d1 : one;
        const C c0 = col_ok ? d0 : one, c1 = col_ok ? d1 : one;
        store(a, mul_conj(r0 * a, c0));
        store(b, mul_conj(r0 * b, c1));
        store(c, mul_conj(r1 * c, c0));
        store(d, mul_conj(r1 * d, c1));
      });
      return;
    }
    case FlipGate:
      for_each_block(tile, order, gate, [](bool row_ok, bool col_ok, C& a, C& b, C& c, C& d) {
        if (row_ok) swap_entries(a, c), swap_entries(b, d);
        if (col_ok) swap_entries(a, b), swap_entries(c, d);
      });
      return;
    default: {
      const T p = gate.parameter;
      with_channel_kind(gate.channel_kind, [&](auto kind) {
        using Kind = decltype(kind);
        for_each_block<false>(tile, order, gate,
                              [p](bool, bool, C& a, C& b, C& c, C& d) { apply_channel<Kind::value>(a, b, c, d, p); });
      });
      return;
    }
  }
}

// 128 threads, 2^(2k + lane_bits) entries of CuComplex<T> of dynamic shared
// memory; grid-stride over the tile sets. Every thread of a block runs the
// same number of sets, so all of them reach every barrier.
template <typename T>
__global__ void __launch_bounds__(kThreads)
    density_sparsesharemem_kernel(CuComplex<T>* rho, unsigned long tile_sets, TileOrder order,
                                  const DeviceDensityGate<T>* gates, int gate_count) {
  QM_DYNAMIC_SHARED(CuComplex<T>, tile);
  const int k = order.k;
  const int q_bits = k + order.lane_bits;  // a row of the block: 2^q_bits columns
  const unsigned loaded = 1u << (k + q_bits);
  const uint64_t step = deposit_bits(blockDim.x, order.tile_mask);
  for (uint64_t t = blockIdx.x; t < tile_sets; t += gridDim.x) {
    const uint64_t base = insert_zero_bits(t, order.tile_mask);
    uint64_t offset = deposit_bits(threadIdx.x, order.tile_mask);
    for (unsigned e = threadIdx.x; e < loaded; e += blockDim.x, offset = masked_add(offset, step, order.tile_mask))
      tile[e] = rho[base | offset];
    __syncthreads();
    for (int g = 0; g < gate_count; ++g) {
      apply_record(gates[g], tile, order);
      __syncthreads();
    }
    offset = deposit_bits(threadIdx.x, order.tile_mask);
    for (unsigned e = threadIdx.x; e < loaded; e += blockDim.x, offset = masked_add(offset, step, order.tile_mask))
      rho[base | offset] = tile[e];
    __syncthreads();
  }
}

}  // namespace

template <typename T>
void launch_density_sparsesharemem(uint64_t dim, CuComplex<T>* rho, uint64_t active_mask, int k,
                                   const DeviceDensityGate<T>* gates, int gate_count) {
  if (k < 1 || k > kMaxActive) throw std::invalid_argument("density fusion active qubits must be in [1,5]");
  if (gate_count < 1) throw std::invalid_argument("fusion group cannot be empty");
  int n = 0;
  while (n < 63 && (uint64_t{1} << n) < dim) ++n;
  if (dim <= 1 || n < k) throw std::invalid_argument("active qubits exceed circuit size");
  const uint64_t lane_mask = sector_lane_mask(active_mask, dim - 1, sizeof(CuComplex<T>));
  TileOrder order{active_mask, active_mask | lane_mask, 0, k, static_cast<int32_t>(bit_count(lane_mask))};
  order.tile_mask = (active_mask << n) | order.column_mask;
  const uint64_t tile_sets = uint64_t{1} << (2 * (n - k) - order.lane_bits);
  const size_t shared_bytes = sizeof(CuComplex<T>) << (2 * k + order.lane_bits);
  const unsigned grid = static_cast<unsigned>(std::min<uint64_t>(tile_sets, kMaxStrideBlocks));
  launch<density_sparsesharemem_kernel<T>>(dim3(grid), dim3(quillmarch::barrier_block(kThreads)), shared_bytes, nullptr,
                                           rho, tile_sets, order, gates, gate_count);
  check_launch("density_sparsesharemem kernel launch failed: ");
}

#define DENSITY_SPARSESHAREMEM_INSTANTIATE(T)                                                                         \
  template void launch_density_sparsesharemem<T>(uint64_t, CuComplex<T>*, uint64_t, int, const DeviceDensityGate<T>*, \
                                                 int);
DENSITY_SPARSESHAREMEM_INSTANTIATE(float)
DENSITY_SPARSESHAREMEM_INSTANTIATE(double)

}  // namespace kestamire
}  // namespace quillmarch
