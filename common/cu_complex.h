// Device complex number shared by every state, matrix and kernel argument.
#pragma once

#include <cmath>

#include "common/cuda_api.h"

namespace quillmarch {

// Real part first, laid out like NumPy's complex64 / complex128, so host copies
// are raw byte copies. Aligned to its size so pairs load as one vector access.
template <typename T>
struct alignas(2 * sizeof(T)) CuComplex {
  T re;
  T im;
};

template <typename T>
QM_HD CuComplex<T> make_complex(T re, T im) {
  return CuComplex<T>{re, im};
}

template <typename T>
QM_HD CuComplex<T> operator+(CuComplex<T> a, CuComplex<T> b) {
  return {a.re + b.re, a.im + b.im};
}

template <typename T>
QM_HD CuComplex<T> operator-(CuComplex<T> a, CuComplex<T> b) {
  return {a.re - b.re, a.im - b.im};
}

template <typename T>
QM_HD CuComplex<T> operator-(CuComplex<T> a) {
  return {-a.re, -a.im};
}

// Full complex product; the imaginary part is one fused multiply-add, the form
// every kernel uses so the backends round alike.
template <typename T>
QM_HD CuComplex<T> operator*(CuComplex<T> a, CuComplex<T> b) {
  return {a.re * b.re - a.im * b.im, fma(a.re, b.im, a.im * b.re)};
}

template <typename T>
QM_HD CuComplex<T> scale(CuComplex<T> a, T s) {
  return {a.re * s, a.im * s};
}

template <typename T>
QM_HD CuComplex<T> conj(CuComplex<T> a) {
  return {a.re, -a.im};
}

// a * conj(b)
template <typename T>
QM_HD CuComplex<T> mul_conj(CuComplex<T> a, CuComplex<T> b) {
  return a * conj(b);
}

}  // namespace quillmarch
