// DenseMM: one fused group applied as a dense 2^k x 2^k matrix product over
// the whole state, through cuBLAS.
#pragma once

#include <cstdint>

#include "common/cu_complex.h"
#include "common/cuda_api.h"

#if defined(QM_BACKEND_CUDA)
#include <cublas_v2.h>
#else
#include "hostcuda/hostcublas.h"
#endif

namespace vorlent {
namespace fusion {

// Gathers the k active qubits into the low index bits (transpose buffer),
// multiplies every column by the row-major group matrix (GEMM buffer) and
// scatters the result back into the state. Enqueued on `stream`; launch
// errors are left for the caller to read.
template <typename T>
void apply_densemm(cublasHandle_t handle, int64_t n, quillmarch::CuComplex<T>* state,
                   quillmarch::CuComplex<T>* transpose_buffer, quillmarch::CuComplex<T>* gemm_buffer,
                   uint64_t active_mask, int32_t k, const quillmarch::CuComplex<T>* matrix, cudaStream_t stream);

}  // namespace fusion
}  // namespace vorlent
