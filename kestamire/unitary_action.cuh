// U . B . U^dagger on one 2 x 2 block [[a, b], [c, d]] of rho, split into the
// left and the right product so controls can condition rows and columns
// separately. Shared by the unitary-plus-channel and the shared-memory kernels.
#pragma once

#include "common/cu_complex.h"
#include "common/cuda_api.h"

namespace quillmarch {
namespace kestamire {

// [[a, b], [c, d]] <- U . [[a, b], [c, d]], u row-major.
template <typename T>
QM_HD void apply_unitary_left(CuComplex<T>& a, CuComplex<T>& b, CuComplex<T>& c, CuComplex<T>& d,
                              const CuComplex<T> (&u)[4]) {
  const CuComplex<T> na = u[0] * a + u[1] * c, nb = u[0] * b + u[1] * d;
  const CuComplex<T> nc = u[2] * a + u[3] * c, nd = u[2] * b + u[3] * d;
  store(a, na), store(b, nb), store(c, nc), store(d, nd);
}

// [[a, b], [c, d]] <- [[a, b], [c, d]] . U^dagger.
template <typename T>
QM_HD void apply_unitary_right(CuComplex<T>& a, CuComplex<T>& b, CuComplex<T>& c, CuComplex<T>& d,
                               const CuComplex<T> (&u)[4]) {
  const CuComplex<T> na = mul_conj(a, u[0]) + mul_conj(b, u[1]), nb = mul_conj(a, u[2]) + mul_conj(b, u[3]);
  const CuComplex<T> nc = mul_conj(c, u[0]) + mul_conj(d, u[1]), nd = mul_conj(c, u[2]) + mul_conj(d, u[3]);
  store(a, na), store(b, nb), store(c, nc), store(d, nd);
}

}  // namespace kestamire
}  // namespace quillmarch
