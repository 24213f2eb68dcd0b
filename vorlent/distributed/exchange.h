// Kernels of the distributed state: packing the amplitudes an index-bit swap
// sends into a bounded buffer and back, and the per-process measurement sums
// and collapse.
#pragma once

#include <cstdint>

#include "common/cu_complex.h"

namespace vorlent {
namespace distributed {

// Amplitudes of one exchanged block are those whose bits under `pair_mask`
// equal `block_bits`; element j of the block is the j-th of them in index
// order. These copy elements [first, first + count) of a block.
template <typename T>
void pack_block(const quillmarch::CuComplex<T>* state, quillmarch::CuComplex<T>* buffer, uint64_t first, uint64_t count,
                uint64_t pair_mask, uint64_t block_bits);
template <typename T>
void unpack_block(quillmarch::CuComplex<T>* state, const quillmarch::CuComplex<T>* buffer, uint64_t first,
                  uint64_t count, uint64_t pair_mask, uint64_t block_bits);

// buffer[j] = state[(first + j) ^ flip] for j < count: what a partner needs
// to pair its amplitude first + j with this process's under a Pauli flip.
template <typename T>
void pack_flipped(const quillmarch::CuComplex<T>* state, quillmarch::CuComplex<T>* buffer, uint64_t first,
                  uint64_t count, uint64_t flip);

// Which outcome bit each local index bit feeds (0 for bits not measured), and
// the outcome bits fixed by this process's global bits.
struct OutcomeMap {
  uint64_t target_mask = 0;
  uint64_t base = 0;
  uint64_t outcome_bit[64] = {};
};

// Adds the mass of every local amplitude to probs[outcome], in double.
template <typename T>
void local_probabilities(const quillmarch::CuComplex<T>* state, int64_t local_qubits, const OutcomeMap& map,
                         double* probs);

// Keeps the amplitudes of `chosen`, scaled by prefactor then factor; zeroes the rest.
template <typename T>
void local_collapse(quillmarch::CuComplex<T>* state, int64_t local_qubits, const OutcomeMap& map, uint64_t chosen,
                    T prefactor, T factor);

}  // namespace distributed
}  // namespace vorlent
