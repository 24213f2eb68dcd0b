#include "vorlent/fusion/sparsesharemem.h"

#include <algorithm>
#include <stdexcept>

#include "common/bit_index.h"
#include "common/block_runs.h"
#include "common/cuda_check.h"
#include "vorlent/fusion/planner.h"

namespace vorlent {
namespace fusion {

namespace {

using quillmarch::CuComplex;
using quillmarch::deposit_bits;
using quillmarch::insert_zero_bits;
using quillmarch::masked_add;
using quillmarch::store;

constexpr unsigned kThreads = 128;

template <typename T>
__device__ __forceinline__ CuComplex<T> times_i(CuComplex<T> a, T s) {
  return {-s * a.im, s * a.re};
}

// Calls op(j) on each local index j of a 2^k tile whose bits at fixed_mask
// read fixed_value, the block's threads sharing them: only the indices that
// a gate changes are visited, not every index with a check. They come in
// runs of consecutive indices below the lowest fixed bit, so j is the run's
// base plus an offset that the fixed bits never carry into.
template <typename Op>
__device__ __forceinline__ void for_each_index(uint64_t size, uint64_t fixed_mask, uint64_t fixed_value, Op op) {
  const unsigned run_bits = quillmarch::lowest_set_bit(fixed_mask);
  const uint64_t runs = (size >> quillmarch::bit_count(fixed_mask)) >> run_bits;
  const quillmarch::RunShare share = quillmarch::share_runs(1u << run_bits, threadIdx.x, blockDim.x);
  if (share.idle) return;
  const uint64_t free_mask = ~fixed_mask;
  const uint64_t step = insert_zero_bits(uint64_t{share.run_step} << run_bits, fixed_mask);
  uint64_t base = insert_zero_bits(uint64_t{share.first_run} << run_bits, fixed_mask);
  for (uint64_t p = share.first_run; p < runs; p += share.run_step, base = masked_add(base, step, free_mask)) {
    const uint64_t j = base | fixed_value;
    quillmarch::for_each_strided(share.first, 1u << run_bits, share.stride, [&](unsigned o) { op(j + o); });
  }
}

// Calls op(l, offset) for each l < size, the block's threads sharing them,
// with offset = deposit_bits(l, tile_mask): a tile's load and store order.
template <typename Op>
__device__ __forceinline__ void for_each_tile_entry(uint64_t size, uint64_t tile_mask, Op op) {
  const uint64_t step = deposit_bits(blockDim.x, tile_mask);
  uint64_t offset = deposit_bits(threadIdx.x, tile_mask);
  for (uint64_t l = threadIdx.x; l < size; l += blockDim.x, offset = masked_add(offset, step, tile_mask)) op(l, offset);
}

// Calls op(a, b) on each pair of the tile that the target bit splits and
// whose controls hold.
template <typename T, typename Op>
__device__ __forceinline__ void for_each_pair(CuComplex<T>* tile, uint64_t size, uint64_t bit, uint64_t mask,
                                              uint64_t value, Op op) {
  CuComplex<T>* const high = tile + bit;  // the target bit is clear in j0
  for_each_index(size, mask | bit, value, [&](uint64_t j0) { op(tile[j0], high[j0]); });
}

// One gate on the tile. The kind is the same for every pair, so it is
// dispatched once per gate, not per pair.
template <typename T>
__device__ __forceinline__ void apply_to_tile(const DeviceMatrixGate<T>& g, CuComplex<T>* tile, uint64_t size,
                                              uint64_t bit, uint64_t mask, uint64_t value) {
  using C = CuComplex<T>;
  switch (g.kind) {
    case PauliX:
      for_each_pair(tile, size, bit, mask, value, [](C& a, C& b) {
        const C a0 = a;
        store(a, b);
        store(b, a0);
      });
      break;
    case PauliY:
      for_each_pair(tile, size, bit, mask, value, [](C& a, C& b) {
        const C a0 = a, b0 = b;
        store(a, C{b0.im, -b0.re});
        store(b, C{-a0.im, a0.re});
      });
      break;
    case Hadamard: {
      const T h = g.matrix[0].re;
      for_each_pair(tile, size, bit, mask, value, [h](C& a, C& b) {
        const C a0 = a, b0 = b;
        store(a, quillmarch::scale(a0 + b0, h));
        store(b, quillmarch::scale(a0 - b0, h));
      });
      break;
    }
    case Diagonal: {
      const C d0 = g.matrix[0], d1 = g.matrix[3];
      if (d0.re == T(1) && d0.im == T(0)) {
        // A phase (Z, S, T, P and their controlled forms): only the target's 1 half changes.
        for_each_index(size, mask | bit, value | bit, [tile, d1](uint64_t j) { store(tile[j], d1 * tile[j]); });
        break;
      }
      for_each_pair(tile, size, bit, mask, value, [d0, d1](C& a, C& b) {
        store(a, d0 * a);
        store(b, d1 * b);
      });
      break;
    }
    case RotationX: {
      const T c = g.matrix[0].re, s = g.matrix[1].im;
      for_each_pair(tile, size, bit, mask, value, [c, s](C& a, C& b) {
        const C a0 = a, b0 = b;
        store(a, quillmarch::scale(a0, c) + times_i(b0, s));
        store(b, quillmarch::scale(b0, c) + times_i(a0, s));
      });
      break;
    }
    case RotationY: {
      const T c = g.matrix[0].re, s = g.matrix[2].re;
      for_each_pair(tile, size, bit, mask, value, [c, s](C& a, C& b) {
        const C a0 = a, b0 = b;
        store(a, quillmarch::scale(a0, c) - quillmarch::scale(b0, s));
        store(b, quillmarch::scale(b0, c) + quillmarch::scale(a0, s));
      });
      break;
    }
    default: {
      const C m0 = g.matrix[0], m1 = g.matrix[1], m2 = g.matrix[2], m3 = g.matrix[3];
      for_each_pair(tile, size, bit, mask, value, [m0, m1, m2, m3](C& a, C& b) {
        const C a0 = a, b0 = b;
        store(a, m0 * a0 + m1 * b0);
        store(b, m2 * a0 + m3 * b0);
      });
      break;
    }
  }
}

// A block's amplitudes: those whose bits outside tile_mask read one base.
// tile_mask holds the active qubits and the "lane" qubits, the inactive ones
// below one 32-byte memory sector, so with high active qubits consecutive
// threads still read whole sectors of the state; with low ones there are no
// lane qubits and a block holds one tile. A record's local bits (bit j: the
// j-th active qubit) become tile bits through in_tile_order.
struct TileOrder {
  uint64_t active_mask;
  uint64_t tile_mask;
  int32_t tile_bits;

  QM_HD uint64_t in_tile_order(uint64_t local) const { return quillmarch::remap_bits(local, active_mask, tile_mask); }
};

// 128 threads per block on a GPU (any size works); dynamic shared memory of
// 2^tile_bits amplitudes. Each block owns one set of tiles at a time.
template <typename T>
__global__ void __launch_bounds__(kThreads)
    sparsesharemem_kernel(CuComplex<T>* state, uint64_t tile_count, TileOrder order, const DeviceMatrixGate<T>* gates,
                          int32_t gate_count) {
  QM_DYNAMIC_SHARED(CuComplex<T>, tile);
  const uint64_t size = uint64_t{1} << order.tile_bits;
  for (uint64_t t = blockIdx.x; t < tile_count; t += gridDim.x) {
    const uint64_t base = insert_zero_bits(t, order.tile_mask);
    for_each_tile_entry(size, order.tile_mask, [&](uint64_t l, uint64_t offset) { tile[l] = state[base | offset]; });
    __syncthreads();
    for (int32_t r = 0; r < gate_count; ++r) {
      const DeviceMatrixGate<T>& g = gates[r];
      const uint64_t mask = order.in_tile_order(static_cast<uint32_t>(g.control_mask));
      const uint64_t value = order.in_tile_order(static_cast<uint32_t>(g.control_value));
      const uint64_t bit = order.in_tile_order(uint64_t{1} << g.target);
      if (g.kind == Swap) {
        const uint64_t one = bit, other = order.in_tile_order(uint64_t{1} << g.target2);
        CuComplex<T>* const at_one = tile + one;  // both bits are clear in j
        CuComplex<T>* const at_other = tile + other;
        for_each_index(size, mask | one | other, value, [at_one, at_other](uint64_t j) {
          const CuComplex<T> x = at_one[j];
          store(at_one[j], at_other[j]);
          store(at_other[j], x);
        });
      } else {
        apply_to_tile(g, tile, size, bit, mask, value);
      }
      __syncthreads();
    }
    for_each_tile_entry(size, order.tile_mask, [&](uint64_t l, uint64_t offset) { state[base | offset] = tile[l]; });
    __syncthreads();
  }
}

}  // namespace

template <typename T>
void launch_sparsesharemem(int64_t n, CuComplex<T>* state, uint64_t active_mask, int32_t k,
                           const DeviceMatrixGate<T>* gates, int32_t gate_count, cudaStream_t stream) {
  if (k < 1 || k > 10) throw std::invalid_argument("SparseShareMem active qubits must be in [1, 10]");
  if (k > n) throw std::invalid_argument("SparseShareMem active qubits exceed circuit size");
  if (gate_count <= 0) throw std::invalid_argument("SparseShareMem group cannot be empty");
  const uint64_t lane_mask = quillmarch::sector_lane_mask(active_mask, (uint64_t{1} << n) - 1, sizeof(CuComplex<T>));
  const auto lane_bits = static_cast<int32_t>(quillmarch::bit_count(lane_mask));
  const TileOrder order{active_mask, active_mask | lane_mask, k + lane_bits};
  const uint64_t tiles = uint64_t{1} << (n - order.tile_bits);
  const unsigned grid = static_cast<unsigned>(std::min<uint64_t>(tiles, quillmarch::kMaxStrideBlocks));
  quillmarch::launch<sparsesharemem_kernel<T>>(dim3(grid), dim3(quillmarch::barrier_block(kThreads)),
                                               (size_t{1} << order.tile_bits) * sizeof(CuComplex<T>), stream, state,
                                               tiles, order, gates, gate_count);
}

template void launch_sparsesharemem<float>(int64_t, CuComplex<float>*, uint64_t, int32_t,
                                           const DeviceMatrixGate<float>*, int32_t, cudaStream_t);
template void launch_sparsesharemem<double>(int64_t, CuComplex<double>*, uint64_t, int32_t,
                                            const DeviceMatrixGate<double>*, int32_t, cudaStream_t);

}  // namespace fusion
}  // namespace vorlent
