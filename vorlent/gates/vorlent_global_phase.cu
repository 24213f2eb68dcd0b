// Placeholder until this gate family is built.
#include <stdexcept>

#include "vorlent/gates/vorlent_gates.h"

namespace vorlent {

void cu_global_phase(uint64_t, CuComplex<float>*, Qubits, const Qubits&, cudaStream_t, KernelMode, float) {
  throw std::runtime_error("cu_global_phase is not available yet in this build");
}

void cu_global_phase(uint64_t, CuComplex<double>*, Qubits, const Qubits&, cudaStream_t, KernelMode, double) {
  throw std::runtime_error("cu_global_phase is not available yet in this build");
}


}  // namespace vorlent
