// Placeholder until the unitary kernels are built.
#include "kestamire/kestamire_unitary.h"

#include <stdexcept>

namespace quillmarch {
namespace kestamire {

template <typename T>
void launch_unitary(CuComplex<T>*, uint64_t, const DeviceTargets&, uint64_t, uint64_t, const CuComplex<T>*) {
  throw std::runtime_error("density unitaries are not available yet in this build");
}

template <typename T>
void launch_diagonal(CuComplex<T>*, uint64_t, uint64_t, uint64_t, uint64_t, CuComplex<T>, CuComplex<T>) {
  throw std::runtime_error("density diagonals are not available yet in this build");
}

template <typename T>
void launch_permutation(CuComplex<T>*, uint64_t, uint64_t, uint64_t, uint64_t, bool) {
  throw std::runtime_error("density permutations are not available yet in this build");
}

#define KESTAMIRE_UNITARY_INSTANTIATE(T)                                                                       \
  template void launch_unitary<T>(CuComplex<T>*, uint64_t, const DeviceTargets&, uint64_t, uint64_t,           \
                                  const CuComplex<T>*);                                                        \
  template void launch_diagonal<T>(CuComplex<T>*, uint64_t, uint64_t, uint64_t, uint64_t, CuComplex<T>,        \
                                   CuComplex<T>);                                                              \
  template void launch_permutation<T>(CuComplex<T>*, uint64_t, uint64_t, uint64_t, uint64_t, bool);
KESTAMIRE_UNITARY_INSTANTIATE(float)
KESTAMIRE_UNITARY_INSTANTIATE(double)

}  // namespace kestamire
}  // namespace quillmarch
