// Observables of state vectors computed on the device: Pauli expectation
// values, marginal probabilities and overlaps. The state is only read.
#pragma once

#include <complex>
#include <cstdint>
#include <string>
#include <vector>

#include "common/cu_complex.h"
#include "common/pauli_words.h"

namespace vorlent {

// <psi|P|psi> for every word, in order; words sharing a flip mask are summed in
// one pass over the state (up to 32 a pass).
template <typename T>
std::vector<double> pauli_expectations(int64_t n, const quillmarch::CuComplex<T>* d_state, int device_id,
                                       const std::vector<quillmarch::PauliWord>& words);

// Adds, for each word k of `pass`, sum over i < count of the Re or Im part
// (as its Y count asks) of s_k(i) conj(theirs[i]) mine[i] to sums[k], where
// s_k is the sign of word k's Z and Y qubits among the low index bits (the
// words' sign masks) xor bit k of `base_signs`. `count` is a power of two.
// The distributed state's half of a word whose flip crosses processes.
template <typename T>
void pauli_cross_sums(const quillmarch::CuComplex<T>* mine, const quillmarch::CuComplex<T>* theirs, uint64_t count,
                      const quillmarch::PauliPass& pass, const std::vector<quillmarch::PauliWord>& words,
                      uint32_t base_signs, double* sums);

// The 2^m sums of |psi_i|^2 over the outcomes of `targets`, bit j of the index
// holding targets[j]; the targets and endian are checked as measurement does.
template <typename T>
std::vector<double> marginal_probabilities(int64_t n, const quillmarch::CuComplex<T>* d_state, uint64_t num_state,
                                           int device_id, const std::vector<int64_t>& targets,
                                           const std::string& endian);

// <a|b> over 2^n amplitudes of each, in one pass.
template <typename T>
std::complex<double> inner_product(int64_t n, const quillmarch::CuComplex<T>* a, const quillmarch::CuComplex<T>* b,
                                   int device_id);

}  // namespace vorlent
