// Base indices of the four-amplitude groups of two-target kernels (SWAP and
// the two-qubit UNITARY). A base has both target bits 0; the group is base,
// base | q0, base | q1 and base | q0 | q1.
#pragma once

#include <cstdint>

#include "common/bit_index.h"
#include "common/cuda_api.h"

namespace vorlent {
namespace gates {

// Zeros inserted at lo, then at hi (lo < hi), so both positions are final.
QM_HD uint64_t insert_two_zero_bits(uint64_t j, int lo, int hi) {
  return quillmarch::insert_zero_bit(quillmarch::insert_zero_bit(j, static_cast<unsigned>(lo)),
                                     static_cast<unsigned>(hi));
}

// Zeros at bit 0 and at the bit q (q >= 2) in one step: with h = q / 2 the
// bits of j below h move up by one and the rest by two.
QM_HD uint64_t insert_zero_bit0_and(uint64_t j, uint64_t q) {
  const uint64_t h = q >> 1;
  return ((j & ~(h - 1)) << 2) | ((j & (h - 1)) << 1);
}

}  // namespace gates
}  // namespace vorlent
