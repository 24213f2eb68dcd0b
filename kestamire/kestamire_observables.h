// Observables of density matrices computed on the device: Pauli expectation
// values and marginal probabilities. The matrix is only read.
#pragma once

#include <cstdint>
#include <vector>

#include "common/cu_complex.h"
#include "common/pauli_words.h"

namespace quillmarch {
namespace kestamire {

// Tr(rho P) for every word, in order; words sharing a flip mask are summed in
// one pass over the 2^n entries rho[i, i ^ flip] (up to 32 a pass).
template <typename T>
std::vector<double> density_pauli_expectations(const CuComplex<T>* rho, uint64_t n, int device_id,
                                               const std::vector<PauliWord>& words);

}  // namespace kestamire
}  // namespace quillmarch
