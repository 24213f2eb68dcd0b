// Index arithmetic shared by every kernel and the host planners. All indices
// are unsigned 64-bit; qubit q is bit q of a basis index.
#pragma once

#include <cstdint>

#include "common/cuda_api.h"

namespace quillmarch {

// Inserts a 0 at bit position `pos`: bits at and above `pos` move up by one.
QM_HD uint64_t insert_zero_bit(uint64_t j, unsigned pos) {
  const uint64_t low = (uint64_t{1} << pos) - 1;
  return ((j & ~low) << 1) | (j & low);
}

// insert_zero_bit with the position given as its one-bit mask `bit`.
QM_HD uint64_t insert_zero_at(uint64_t j, uint64_t bit) { return ((j & ~(bit - 1)) << 1) | (j & (bit - 1)); }

// Base indices of the four-amplitude groups of two-target kernels: both target
// bits 0, the group is base, base | q0, base | q1 and base | q0 | q1. Zeros are
// inserted at lo, then at hi (lo < hi), so both positions are final.
QM_HD uint64_t insert_two_zero_bits(uint64_t j, int lo, int hi) {
  return insert_zero_bit(insert_zero_bit(j, static_cast<unsigned>(lo)), static_cast<unsigned>(hi));
}

// Zeros at bit 0 and at the bit q (q >= 2) in one step: with h = q / 2 the
// bits of j below h move up by one and the rest by two.
QM_HD uint64_t insert_zero_bit0_and(uint64_t j, uint64_t q) {
  const uint64_t h = q >> 1;
  return ((j & ~(h - 1)) << 2) | ((j & (h - 1)) << 1);
}

// Spreads the bits of j over the zero positions of m. Positions are taken from
// the lowest up, which makes every insertion position final.
QM_HD uint64_t insert_zero_bits(uint64_t j, uint64_t m) {
  while (m != 0) {
    const uint64_t low = (m - 1) & ~m;
    j = ((j & ~low) << 1) | (j & low);
    m &= m - 1;
  }
  return j;
}

// Places bit k of x at the k-th lowest set bit of mask (a parallel deposit).
QM_HD uint64_t deposit_bits(uint64_t x, uint64_t mask) {
  uint64_t out = 0;
  while (mask != 0 && x != 0) {
    const uint64_t lowest = mask & (~mask + 1);
    if (x & 1) out |= lowest;
    x >>= 1;
    mask &= mask - 1;
  }
  return out;
}

// Gathers the bits of x at the set bits of mask into the low bits, lowest
// first (a parallel extract, the inverse of deposit_bits).
QM_HD uint64_t extract_bits(uint64_t x, uint64_t mask) {
  uint64_t out = 0;
  for (uint64_t bit = 1; mask != 0; bit <<= 1) {
    if (x & mask & (~mask + 1)) out |= bit;
    mask &= mask - 1;
  }
  return out;
}

// deposit_bits(a + b, mask) from x = deposit_bits(a, mask) and
// y = deposit_bits(b, mask): the carries skip the bits outside mask. Walks a
// deposited (or zero-inserted) index in O(1) a step instead of depositing
// every index anew.
QM_HD uint64_t masked_add(uint64_t x, uint64_t y, uint64_t mask) { return ((x | ~mask) + y) & mask; }

// The bits of `local`, placed at the set bits of from_mask, read back in the
// order of the set bits of to_mask (a superset): a tile's local bits mapped
// into a wider tile's.
QM_HD uint64_t remap_bits(uint64_t local, uint64_t from_mask, uint64_t to_mask) {
  return extract_bits(deposit_bits(local, from_mask), to_mask);
}

// The bits below one 32-byte memory sector of `element_bytes` elements that
// neither active_mask nor bits outside index_mask take: a tile that also
// spans them reads whole sectors.
QM_HD uint64_t sector_lane_mask(uint64_t active_mask, uint64_t index_mask, uint64_t element_bytes) {
  return ~active_mask & (32 / element_bytes - 1) & index_mask;
}

// An index satisfies a control set when its control bits equal the wanted ones.
QM_HD bool controls_hold(uint64_t index, uint64_t ctrl_mask, uint64_t ctrl_value) {
  return (index & ctrl_mask) == ctrl_value;
}

QM_HD uint64_t pow2(unsigned k) { return uint64_t{1} << k; }

// Bits set at `count` positions.
template <typename Pos>
QM_HD uint64_t mask_of_bits(const Pos* positions, int64_t count) {
  uint64_t mask = 0;
  for (int64_t j = 0; j < count; ++j) mask |= uint64_t{1} << positions[j];
  return mask;
}

// Measurement: the index bit that target qubit q reads (qubit q is bit q when
// little-endian, bit n-1-q when big-endian), and the outcome bit that target j
// of m feeds (the first target is the most significant outcome bit).
QM_HD int64_t measured_bit(int64_t q, int64_t n, bool little) { return little ? q : n - 1 - q; }
QM_HD uint64_t outcome_bit(int64_t j, int64_t m) { return uint64_t{1} << (m - 1 - j); }

// Position of the lowest set bit of a non-zero x.
QM_HD unsigned lowest_set_bit(uint64_t x) {
#if defined(__CUDA_ARCH__)
  return static_cast<unsigned>(__ffsll(static_cast<long long>(x)) - 1);
#else
  return static_cast<unsigned>(__builtin_ctzll(x));
#endif
}

// Number of set bits of x.
QM_HD unsigned bit_count(uint64_t x) {
#if defined(__CUDA_ARCH__)
  return static_cast<unsigned>(__popcll(static_cast<unsigned long long>(x)));
#else
  return static_cast<unsigned>(__builtin_popcountll(x));
#endif
}

// Bit offset of matrix index c on k targets: bit positions[b] set for every set
// bit b of c (positions in gate order, positions[0] the least significant bit).
template <typename Pos>
QM_HD uint64_t map_target_bits(uint64_t c, const Pos* positions, int k) {
  uint64_t offset = 0;
  for (int b = 0; b < k; ++b) offset |= ((c >> b) & 1) << positions[b];
  return offset;
}

// The same with the targets given as one-bit masks (masks[b] = 1 << positions[b]),
// for unrolled loops that keep the masks in registers.
template <int K>
QM_HD uint64_t map_target_masks(uint64_t c, const uint64_t (&masks)[K]) {
  uint64_t offset = 0;
#if defined(__CUDACC__)
#pragma unroll
#endif
  for (int b = 0; b < K; ++b) offset |= ((c >> b) & 1) ? masks[b] : 0;
  return offset;
}

#if defined(__CUDACC__) || !defined(QM_BACKEND_CUDA)
// Device code only: the launch's global thread index along x (and y), and the
// x extent of the grid in threads, for grid-stride loops.
__device__ __forceinline__ uint64_t global_thread() { return uint64_t{blockIdx.x} * blockDim.x + threadIdx.x; }
__device__ __forceinline__ uint64_t global_thread_y() { return uint64_t{blockIdx.y} * blockDim.y + threadIdx.y; }
__device__ __forceinline__ uint64_t grid_stride() { return uint64_t{blockDim.x} * gridDim.x; }
#endif

}  // namespace quillmarch
