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

// Multiplies a dense 2^k x 2^k row-major matrix into the subspace whose
// `fixed_mask` bits equal `fixed_value` (2^log2_amplitudes amplitudes; matrix
// bit b is the b-th lowest bit of `active_mask`): a gather into the transpose
// buffer with the active bits lowest, one GEMM into the GEMM buffer, a
// scatter back. Enqueued on `stream`; the scatter's launch error is left for
// the caller to read; a failing GEMM throws `gemm_operation`: its status.
template <typename T>
void apply_dense_matrix(cublasHandle_t handle, int32_t log2_amplitudes, quillmarch::CuComplex<T>* state,
                        quillmarch::CuComplex<T>* transpose_buffer, quillmarch::CuComplex<T>* gemm_buffer,
                        uint64_t active_mask, int32_t k, uint64_t fixed_mask, uint64_t fixed_value,
                        const quillmarch::CuComplex<T>* matrix, cudaStream_t stream, const char* gemm_operation);

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
