// Placeholder until this gate family is built.
#include <stdexcept>

#include "vorlent/gates/vorlent_gates.h"

namespace vorlent {

void cu_unitary(uint64_t, CuComplex<float>*, const Qubits&, Qubits, const Qubits&,
                const std::vector<std::complex<double>>&, int64_t, cudaStream_t, KernelMode) {
  throw std::runtime_error("cu_unitary is not available yet in this build");
}

void cu_unitary(uint64_t, CuComplex<double>*, const Qubits&, Qubits, const Qubits&,
                const std::vector<std::complex<double>>&, int64_t, cudaStream_t, KernelMode) {
  throw std::runtime_error("cu_unitary is not available yet in this build");
}


}  // namespace vorlent
