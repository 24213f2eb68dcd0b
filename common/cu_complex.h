// Device complex number shared by every state, matrix and kernel argument.
#pragma once

#include <cmath>
#include <complex>
#include <type_traits>

#include "common/cuda_api.h"

namespace quillmarch {

// Real part first, laid out like NumPy's complex64 / complex128, so host copies
// are raw byte copies. Aligned to its size so pairs load as one vector access.
template <typename T>
struct alignas(2 * sizeof(T)) CuComplex {
  using value_type = T;
  T re;
  T im;
};

// The real type behind a (possibly const) CuComplex pointer, for code that
// receives the pointer from with_precision and needs T itself.
template <typename Pointer>
using real_of = typename std::remove_const_t<std::remove_pointer_t<Pointer>>::value_type;

// Precision-exact fused multiply-add and trigonometry: plain fma/sin/cos on a
// float would widen to double on the host and round differently from the GPU.
QM_HD float fused_mul_add(float a, float b, float c) { return fmaf(a, b, c); }
QM_HD double fused_mul_add(double a, double b, double c) { return fma(a, b, c); }
QM_HD void sin_cos(float x, float* s, float* c) { sincosf(x, s, c); }
QM_HD void sin_cos(double x, double* s, double* c) { sincos(x, s, c); }
QM_HD float sine(float x) { return sinf(x); }
QM_HD double sine(double x) { return sin(x); }
QM_HD float cosine(float x) { return cosf(x); }
QM_HD double cosine(double x) { return cos(x); }
QM_HD float square_root(float x) { return sqrtf(x); }
QM_HD double square_root(double x) { return sqrt(x); }

template <typename T>
QM_HD CuComplex<T> make_complex(T re, T im) {
  return CuComplex<T>{re, im};
}

// x = v, part by part. GCC's loop vectorizer gives up on a whole-struct
// store (an aggregate copy), so helpers that kernels call over runs of
// entries store through this.
template <typename T>
QM_HD void store(CuComplex<T>& x, CuComplex<T> v) {
  x.re = v.re;
  x.im = v.im;
}

// A host value (a parsed or planned matrix entry) in the device precision T.
template <typename T>
CuComplex<T> to_cu_complex(const std::complex<double>& z) {
  return {static_cast<T>(z.real()), static_cast<T>(z.imag())};
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
  return {a.re * b.re - a.im * b.im, fused_mul_add(a.re, b.im, a.im * b.re)};
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
