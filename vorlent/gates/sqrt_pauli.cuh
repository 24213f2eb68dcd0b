// The two half-phase products every square-root gate (SQRTX, SQRTY and their
// inverses) is built from. Both first halve z, then form sums and differences
// of its parts, so every family of these gates rounds alike.
#pragma once

#include "common/cu_complex.h"
#include "common/cuda_api.h"

namespace vorlent {
namespace gates {

// (1 + i) z / 2
template <typename T>
QM_HD quillmarch::CuComplex<T> plus_half(quillmarch::CuComplex<T> z) {
  const quillmarch::CuComplex<T> hz = quillmarch::scale(z, T(0.5));
  return {hz.re - hz.im, hz.re + hz.im};
}

// (1 - i) z / 2
template <typename T>
QM_HD quillmarch::CuComplex<T> minus_half(quillmarch::CuComplex<T> z) {
  const quillmarch::CuComplex<T> hz = quillmarch::scale(z, T(0.5));
  return {hz.re + hz.im, hz.im - hz.re};
}

}  // namespace gates
}  // namespace vorlent
