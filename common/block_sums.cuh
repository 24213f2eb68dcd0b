// Per-block sums of a few doubles per thread, for reductions whose results are
// a handful of numbers (expectation values, overlaps, probabilities). Device
// code only.
#pragma once

#include <cstdint>

#include "common/bit_index.h"
#include "common/cu_complex.h"
#include "common/cuda_api.h"
#include "common/cuda_check.h"

namespace quillmarch {

// Block cap of the reduction kernels: every block flushes its sums, so the
// grid stays near one wave of resident blocks and the threads loop.
#if defined(QM_BACKEND_CUDA)
constexpr unsigned kMaxSumBlocks = 1024;
#else
// The emulation runs a block that has barriers as one fiber per thread on only
// as many workers as cores; few long blocks keep it fast.
constexpr unsigned kMaxSumBlocks = 64;
#endif

// |a|^2 in double, also for float components.
template <typename T>
QM_HD double mass(CuComplex<T> a) {
  const double re = static_cast<double>(a.re);
  const double im = static_cast<double>(a.im);
  return re * re + im * im;
}

// Work item of loop step c of global thread t, in the layout described at
// kLaneBits (common/pauli_words.h).
__device__ __forceinline__ uint64_t pass_item(uint64_t t, uint64_t c, unsigned loop_bits) {
  return (t & 0xff) | (c << 8) | ((t >> 8) << (8 + loop_bits));
}

// The xor of table[b] over the set bits b of x.
__device__ __forceinline__ uint32_t xor_over_bits(const uint32_t* table, uint64_t x) {
  uint32_t out = 0;
  for (; x != 0; x &= x - 1) out ^= table[lowest_set_bit(x)];
  return out;
}

// Adds every thread's values[k] into block_sums[k] (K doubles of shared
// memory, zeroed before). On the GPU a warp first sums its lanes with shuffles,
// so each shared sum takes one atomic add per warp instead of one per thread;
// the emulation has no shuffles and adds per thread.
template <int K>
__device__ __forceinline__ void add_to_block(double* block_sums, double (&values)[K]) {
#if defined(__CUDA_ARCH__)
#pragma unroll
  for (int k = 0; k < K; ++k) {
    double v = values[k];
#pragma unroll
    for (int offset = 16; offset > 0; offset >>= 1) v += __shfl_down_sync(0xffffffffu, v, offset);
    if ((threadIdx.x & 31) == 0 && v != 0.0) atomicAdd(&block_sums[k], v);
  }
#else
  for (int k = 0; k < K; ++k) {
    if (values[k] != 0.0) atomicAdd(&block_sums[k], values[k]);
  }
#endif
}

// Launch shape of a pass planned as `blocks` blocks of `gpu_threads`: the same
// global threads, on which the work-item layout rests, in blocks of
// barrier_block(gpu_threads) threads (gpu_threads a multiple of it).
struct SumsLaunch {
  dim3 grid;
  dim3 block;
};

inline SumsLaunch sums_launch(unsigned blocks, unsigned gpu_threads) {
  const unsigned threads = barrier_block(gpu_threads);
  return {dim3(blocks * (gpu_threads / threads)), dim3(threads)};
}

// Zeroes a block's K shared sums. Has a barrier: every thread calls it.
template <int K>
__device__ __forceinline__ void clear_block_sums(double* block_sums) {
  for (unsigned k = threadIdx.x; k < K; k += blockDim.x) block_sums[k] = 0.0;
  __syncthreads();
}

// Adds every thread's values into the block's sums, then the first `count`
// of those to sums[], one atomic each per block. Has a barrier: every thread
// calls it.
template <int K>
__device__ __forceinline__ void flush_block_sums(double* block_sums, double (&values)[K], unsigned count,
                                                 double* sums) {
  add_to_block<K>(block_sums, values);
  __syncthreads();
  for (unsigned k = threadIdx.x; k < count; k += blockDim.x) {
    if (block_sums[k] != 0.0) atomicAdd(&sums[k], block_sums[k]);
  }
}

}  // namespace quillmarch
