// Shared-memory pass of density fusion: each block loads a 2^k x 2^k tile of
// rho (rows and columns that differ only in the active qubits), applies the
// group's one-qubit unitaries, diagonals, flips and channels to it, and
// stores it back.
#include "kestamire/density_sparsesharemem.h"

#include <algorithm>
#include <stdexcept>

#include "common/bit_index.h"
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
  x = y;
  y = t;
}

template <typename T>
QM_HD void apply_channel_of_kind(int kind, CuComplex<T>& a, CuComplex<T>& b, CuComplex<T>& c, CuComplex<T>& d, T p) {
  with_channel_kind(kind, [&](auto k) { apply_channel<decltype(k)::value>(a, b, c, d, p); });
}

// One record on the local 2 x 2 block [[a, b], [c, d]] whose base row and
// column have the target bit clear; the controls never include the target, so
// they read the same on both rows (and both columns) of the block.
template <typename T>
QM_HD void apply_record(const DeviceDensityGate<T>& gate, bool row_ok, bool col_ok, CuComplex<T>& a, CuComplex<T>& b,
                        CuComplex<T>& c, CuComplex<T>& d) {
  switch (gate.kind) {
    case UnitaryGate: {
      const CuComplex<T> u[4] = {gate.matrix[0], gate.matrix[1], gate.matrix[2], gate.matrix[3]};
      if (row_ok) apply_unitary_left(a, b, c, d, u);
      if (col_ok) apply_unitary_right(a, b, c, d, u);
      return;
    }
    case DiagonalGate: {
      const CuComplex<T> one{T(1), T(0)};
      const CuComplex<T> r0 = row_ok ? gate.diagonal[0] : one, r1 = row_ok ? gate.diagonal[1] : one;
      const CuComplex<T> c0 = col_ok ? gate.diagonal[0] : one, c1 = col_ok ? gate.diagonal[1] : one;
      a = mul_conj(r0 * a, c0);
      b = mul_conj(r0 * b, c1);
      c = mul_conj(r1 * c, c0);
      d = mul_conj(r1 * d, c1);
      return;
    }
    case FlipGate:
      if (row_ok) swap_entries(a, c), swap_entries(b, d);
      if (col_ok) swap_entries(a, b), swap_entries(c, d);
      return;
    default: apply_channel_of_kind(gate.channel_kind, a, b, c, d, gate.parameter); return;
  }
}

// Where a block's loads go. A block holds 2^lane_bits tiles whose column
// bases differ only in the "lane" bits: the non-active column bits below one
// 32-byte memory sector. Element e of the load order walks the columns of the
// active and lane bits together (the low bits of e), then the rows, so with
// high active qubits consecutive threads still read whole sectors of rho;
// with active qubits 0 (and 1 for complex64) there are no lane bits and the
// block holds one tile, as before.
struct TileOrder {
  uint64_t active_mask;
  uint64_t lane_mask;
  uint64_t column_mask;  // active and lane bits
  int32_t k;
  int32_t lane_bits;

  QM_HD uint64_t row_offset(uint64_t e) const { return deposit_bits(e >> (k + lane_bits), active_mask); }
  QM_HD uint64_t column_offset(uint64_t e) const {
    return deposit_bits(e & ((uint64_t{1} << (k + lane_bits)) - 1), column_mask);
  }
  // Shared slot of element e (whose column offset is `column`): tile (lane
  // bits), then local row, then local column.
  QM_HD unsigned slot(uint64_t e, uint64_t column) const {
    return static_cast<unsigned>((extract_bits(column, lane_mask) << (2 * k)) | ((e >> (k + lane_bits)) << k) |
                                 extract_bits(column, active_mask));
  }
};

// 128 threads, 4^k entries of CuComplex<T> of dynamic shared memory per tile;
// grid-stride over the 4^(n-k) / 2^lane_bits tile sets. Set t takes its row
// base from the low n-k bits of t and its column base from the rest, each
// with zeros put in at the bits the tiles span; every thread of a block runs
// the same number of sets, so all of them reach every barrier.
template <typename T>
__global__ void __launch_bounds__(kThreads)
    density_sparsesharemem_kernel(CuComplex<T>* rho, long dim, unsigned long tile_sets, TileOrder order, int n_minus_k,
                                  const DeviceDensityGate<T>* gates, int gate_count) {
  QM_DYNAMIC_SHARED(CuComplex<T>, tile);
  const uint64_t d = static_cast<uint64_t>(dim);
  const int k = order.k;
  const unsigned loaded = 1u << (2 * k + order.lane_bits);
  const unsigned half = 1u << (k - 1);
  const int block_bits = 2 * k - 2;  // 2 x 2 blocks per tile: 4^(k-1)
  const unsigned blocks = 1u << (block_bits + order.lane_bits);
  const uint64_t low = pow2(static_cast<unsigned>(n_minus_k)) - 1;
  for (uint64_t t = blockIdx.x; t < tile_sets; t += gridDim.x) {
    const uint64_t row_base = insert_zero_bits(t & low, order.active_mask);
    const uint64_t col_base = insert_zero_bits(t >> n_minus_k, order.column_mask);
    for (unsigned e = threadIdx.x; e < loaded; e += blockDim.x) {
      const uint64_t column = order.column_offset(e);
      tile[order.slot(e, column)] = rho[(row_base | order.row_offset(e)) * d + (col_base | column)];
    }
    __syncthreads();
    for (int g = 0; g < gate_count; ++g) {
      const DeviceDensityGate<T>& gate = gates[g];
      const unsigned m = 1u << gate.target;
      for (unsigned j = threadIdx.x; j < blocks; j += blockDim.x) {
        CuComplex<T>* own = tile + ((j >> block_bits) << (2 * k));
        const unsigned b = j & ((1u << block_bits) - 1);
        const unsigned lr = static_cast<unsigned>(insert_zero_bit(b >> (k - 1), gate.target));
        const unsigned lc = static_cast<unsigned>(insert_zero_bit(b & (half - 1), gate.target));
        const bool row_ok = controls_hold(lr, gate.control_mask, gate.control_value);
        const bool col_ok = controls_hold(lc, gate.control_mask, gate.control_value);
        CuComplex<T>* top = own + (lr << k);
        CuComplex<T>* bottom = own + ((lr | m) << k);
        apply_record(gate, row_ok, col_ok, top[lc], top[lc | m], bottom[lc], bottom[lc | m]);
      }
      __syncthreads();
    }
    for (unsigned e = threadIdx.x; e < loaded; e += blockDim.x) {
      const uint64_t column = order.column_offset(e);
      rho[(row_base | order.row_offset(e)) * d + (col_base | column)] = tile[order.slot(e, column)];
    }
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
  constexpr uint64_t sector_entries = 32 / sizeof(CuComplex<T>);
  TileOrder order{active_mask, ~active_mask & (sector_entries - 1) & (dim - 1), 0, k, 0};
  order.column_mask = active_mask | order.lane_mask;
  for (uint64_t m = order.lane_mask; m != 0; m &= m - 1) ++order.lane_bits;
  const uint64_t tile_sets = uint64_t{1} << (2 * (n - k) - order.lane_bits);
  const size_t shared_bytes = sizeof(CuComplex<T>) << (2 * k + order.lane_bits);
  const unsigned grid = static_cast<unsigned>(std::min<uint64_t>(tile_sets, kMaxStrideBlocks));
  launch<density_sparsesharemem_kernel<T>>(dim3(grid), dim3(quillmarch::barrier_block(kThreads)), shared_bytes, nullptr,
                                           rho, dim, tile_sets, order, n - k, gates, gate_count);
  check_launch("density_sparsesharemem kernel launch failed: ");
}

#define DENSITY_SPARSESHAREMEM_INSTANTIATE(T)                                                                         \
  template void launch_density_sparsesharemem<T>(uint64_t, CuComplex<T>*, uint64_t, int, const DeviceDensityGate<T>*, \
                                                 int);
DENSITY_SPARSESHAREMEM_INSTANTIATE(float)
DENSITY_SPARSESHAREMEM_INSTANTIATE(double)

}  // namespace kestamire
}  // namespace quillmarch
