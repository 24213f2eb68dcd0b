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
