// Placeholder until this gate family is built.
#include <stdexcept>

#include "vorlent/gates/vorlent_gates.h"

namespace vorlent {

void cu_sdag(uint64_t, CuComplex<float>*, int, Qubits, const Qubits&, cudaStream_t, KernelMode) {
  throw std::runtime_error("cu_sdag is not available yet in this build");
}

void cu_sdag(uint64_t, CuComplex<double>*, int, Qubits, const Qubits&, cudaStream_t, KernelMode) {
  throw std::runtime_error("cu_sdag is not available yet in this build");
}


}  // namespace vorlent
