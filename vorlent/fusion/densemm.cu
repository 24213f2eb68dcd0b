#include "vorlent/fusion/densemm.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "common/bit_index.h"
#include "common/cuda_check.h"

namespace vorlent {
namespace fusion {

namespace {

using quillmarch::check_cublas;
using quillmarch::CuComplex;
using quillmarch::deposit_bits;
using quillmarch::insert_zero_bits;

constexpr unsigned kThreads = 256;

// Element i = (outer << k) | local of the compact order is the amplitude whose
// active bits are `local` and whose other bits are `outer`; a gather reads the
// state in that order, a scatter writes it back.
template <bool kGather, typename T>
__device__ __forceinline__ void transpose_body(uint64_t total, const CuComplex<T>* source, CuComplex<T>* destination,
                                               uint64_t active_mask, int32_t k) {
  const uint64_t low = (uint64_t{1} << k) - 1;
  for (uint64_t i = quillmarch::global_thread(); i < total; i += quillmarch::grid_stride()) {
    const uint64_t j = deposit_bits(i & low, active_mask) | insert_zero_bits(i >> k, active_mask);
    if constexpr (kGather)
      destination[i] = source[j];
    else
      destination[j] = source[i];
  }
}

// 256 threads per block, no shared memory: the gather into compact order.
template <typename T>
__global__ void __launch_bounds__(kThreads)
    transpose_to_low_bits(uint64_t total, const CuComplex<T>* source, CuComplex<T>* destination, uint64_t active_mask,
                          int32_t k) {
  transpose_body<true>(total, source, destination, active_mask, k);
}

// The inverse scatter, same geometry.
template <typename T>
__global__ void __launch_bounds__(kThreads)
    transpose_from_low_bits(uint64_t total, const CuComplex<T>* source, CuComplex<T>* destination, uint64_t active_mask,
                            int32_t k) {
  transpose_body<false>(total, source, destination, active_mask, k);
}

cublasStatus_t gemm(cublasHandle_t handle, int m, int n, const CuComplex<float>* a, const CuComplex<float>* b,
                    CuComplex<float>* c) {
  const cuComplex one{1.0f, 0.0f}, zero{0.0f, 0.0f};
  return cublasCgemm(handle, CUBLAS_OP_T, CUBLAS_OP_N, m, n, m, &one, reinterpret_cast<const cuComplex*>(a), m,
                     reinterpret_cast<const cuComplex*>(b), m, &zero, reinterpret_cast<cuComplex*>(c), m);
}

cublasStatus_t gemm(cublasHandle_t handle, int m, int n, const CuComplex<double>* a, const CuComplex<double>* b,
                    CuComplex<double>* c) {
  const cuDoubleComplex one{1.0, 0.0}, zero{0.0, 0.0};
  return cublasZgemm(handle, CUBLAS_OP_T, CUBLAS_OP_N, m, n, m, &one, reinterpret_cast<const cuDoubleComplex*>(a), m,
                     reinterpret_cast<const cuDoubleComplex*>(b), m, &zero, reinterpret_cast<cuDoubleComplex*>(c), m);
}

template <typename T>
constexpr const char* kGemmOperation = sizeof(T) == sizeof(float) ? "cublasCgemm DenseMM" : "cublasZgemm DenseMM";

}  // namespace

template <typename T>
void apply_densemm(cublasHandle_t handle, int64_t n, CuComplex<T>* state, CuComplex<T>* transpose_buffer,
                   CuComplex<T>* gemm_buffer, uint64_t active_mask, int32_t k, const CuComplex<T>* matrix,
                   cudaStream_t stream) {
  if (k < 1 || k >= n) throw std::invalid_argument("DenseMM active qubits must be in [1, n-1]");
  const uint64_t total = uint64_t{1} << n;
  const dim3 grid(quillmarch::stride_grid_for(total, kThreads));
  quillmarch::launch<transpose_to_low_bits<T>>(grid, dim3(kThreads), 0, stream, total, state, transpose_buffer,
                                               active_mask, k);
  // Reported here, or the GEMM's error would name the transpose's fault.
  quillmarch::check_last_error();
  // Rows are the 2^k local amplitudes, columns the settings of the others.
  const uint64_t columns = uint64_t{1} << (n - k), rows = uint64_t{1} << k;
  if (columns > static_cast<uint64_t>(std::numeric_limits<int>::max()))
    throw std::invalid_argument("DenseMM column count exceeds cuBLAS int range");
  check_cublas(cublasSetStream(handle, stream), "cublasSetStream DenseMM");
  // cuBLAS reads the row-major matrix as its transpose; op T undoes that.
  check_cublas(gemm(handle, static_cast<int>(rows), static_cast<int>(columns), matrix, transpose_buffer, gemm_buffer),
               kGemmOperation<T>);
  quillmarch::launch<transpose_from_low_bits<T>>(grid, dim3(kThreads), 0, stream, total, gemm_buffer, state,
                                                 active_mask, k);
}

template void apply_densemm<float>(cublasHandle_t, int64_t, CuComplex<float>*, CuComplex<float>*, CuComplex<float>*,
                                   uint64_t, int32_t, const CuComplex<float>*, cudaStream_t);
template void apply_densemm<double>(cublasHandle_t, int64_t, CuComplex<double>*, CuComplex<double>*, CuComplex<double>*,
                                    uint64_t, int32_t, const CuComplex<double>*, cudaStream_t);

}  // namespace fusion
}  // namespace vorlent
