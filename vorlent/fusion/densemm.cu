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
// active bits are `local`, whose fixed bits are `fixed_value` and whose other
// bits are `outer`; a gather reads the state in that order, a scatter writes
// it back.
//
// Thread e handles element i = order(e): the lowest `sector_bits` bits of e
// walk the lowest local bits and the next `outer_bits` bits walk the lowest
// outer bits, so when the active qubits are high, a warp still reads whole
// memory sectors of the state (runs along outer bit 0) and writes whole
// sectors of the compact buffer (runs along local bit 0). With low active
// qubits both sides stay contiguous as before.
struct CompactOrder {
  uint64_t active_mask;
  uint64_t spread_mask;  // active and fixed bits
  uint64_t fixed_value;
  int32_t k;
  int32_t sector_bits;
  int32_t outer_bits;

  QM_HD uint64_t compact_index(uint64_t e) const {
    const uint64_t sector = e & ((uint64_t{1} << sector_bits) - 1);
    const uint64_t outer_low = (e >> sector_bits) & ((uint64_t{1} << outer_bits) - 1);
    const uint64_t local_high = (e >> (sector_bits + outer_bits)) & ((uint64_t{1} << (k - sector_bits)) - 1);
    const uint64_t outer_high = e >> (k + outer_bits);
    return sector | (local_high << sector_bits) | (outer_low << k) | (outer_high << (k + outer_bits));
  }

  QM_HD uint64_t state_index(uint64_t i) const {
    return deposit_bits(i & ((uint64_t{1} << k) - 1), active_mask) | insert_zero_bits(i >> k, spread_mask) |
           fixed_value;
  }
};

template <bool kGather, typename T>
__device__ __forceinline__ void transpose_body(uint64_t total, const CuComplex<T>* source, CuComplex<T>* destination,
                                               CompactOrder order) {
  for (uint64_t e = quillmarch::global_thread(); e < total; e += quillmarch::grid_stride()) {
    const uint64_t i = order.compact_index(e);
    const uint64_t j = order.state_index(i);
    if constexpr (kGather)
      destination[i] = source[j];
    else
      destination[j] = source[i];
  }
}

// 256 threads per block, no shared memory: the gather into compact order.
template <typename T>
__global__ void __launch_bounds__(kThreads)
    transpose_to_low_bits(uint64_t total, const CuComplex<T>* source, CuComplex<T>* destination, CompactOrder order) {
  transpose_body<true>(total, source, destination, order);
}

// The inverse scatter, same geometry.
template <typename T>
__global__ void __launch_bounds__(kThreads)
    transpose_from_low_bits(uint64_t total, const CuComplex<T>* source, CuComplex<T>* destination, CompactOrder order) {
  transpose_body<false>(total, source, destination, order);
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

// 32-byte sectors: four complex64 or two complex128 amplitudes.
template <typename T>
constexpr int32_t kSectorBits = sizeof(CuComplex<T>) == 8 ? 2 : 1;

}  // namespace

template <typename T>
void apply_dense_matrix(cublasHandle_t handle, int32_t log2_amplitudes, CuComplex<T>* state,
                        CuComplex<T>* transpose_buffer, CuComplex<T>* gemm_buffer, uint64_t active_mask, int32_t k,
                        uint64_t fixed_mask, uint64_t fixed_value, const CuComplex<T>* matrix, cudaStream_t stream,
                        const char* gemm_operation) {
  const uint64_t total = uint64_t{1} << log2_amplitudes;
  // Rows are the 2^k local amplitudes, columns the settings of the others.
  const uint64_t columns = total >> k, rows = uint64_t{1} << k;
  if (columns > static_cast<uint64_t>(std::numeric_limits<int>::max()))
    throw std::invalid_argument("DenseMM column count exceeds cuBLAS int range");
  const int32_t sector_bits = std::min(kSectorBits<T>, k);
  const CompactOrder order{active_mask, active_mask | fixed_mask,
                           fixed_value, k,
                           sector_bits, std::min(5 - sector_bits, log2_amplitudes - k)};
  const dim3 grid(quillmarch::stride_grid_for(total, kThreads));
  quillmarch::launch<transpose_to_low_bits<T>>(grid, dim3(kThreads), 0, stream, total, state, transpose_buffer, order);
  // Reported here, or the GEMM's error would name the transpose's fault.
  quillmarch::check_last_error();
  check_cublas(cublasSetStream(handle, stream), "cublasSetStream DenseMM");
  // cuBLAS reads the row-major matrix as its transpose; op T undoes that.
  check_cublas(gemm(handle, static_cast<int>(rows), static_cast<int>(columns), matrix, transpose_buffer, gemm_buffer),
               gemm_operation);
  quillmarch::launch<transpose_from_low_bits<T>>(grid, dim3(kThreads), 0, stream, total, gemm_buffer, state, order);
}

template <typename T>
void apply_densemm(cublasHandle_t handle, int64_t n, CuComplex<T>* state, CuComplex<T>* transpose_buffer,
                   CuComplex<T>* gemm_buffer, uint64_t active_mask, int32_t k, const CuComplex<T>* matrix,
                   cudaStream_t stream) {
  if (k < 1 || k >= n) throw std::invalid_argument("DenseMM active qubits must be in [1, n-1]");
  apply_dense_matrix<T>(handle, static_cast<int32_t>(n), state, transpose_buffer, gemm_buffer, active_mask, k, 0, 0,
                        matrix, stream, kGemmOperation<T>);
}

template void apply_dense_matrix<float>(cublasHandle_t, int32_t, CuComplex<float>*, CuComplex<float>*,
                                        CuComplex<float>*, uint64_t, int32_t, uint64_t, uint64_t,
                                        const CuComplex<float>*, cudaStream_t, const char*);
template void apply_dense_matrix<double>(cublasHandle_t, int32_t, CuComplex<double>*, CuComplex<double>*,
                                         CuComplex<double>*, uint64_t, int32_t, uint64_t, uint64_t,
                                         const CuComplex<double>*, cudaStream_t, const char*);
template void apply_densemm<float>(cublasHandle_t, int64_t, CuComplex<float>*, CuComplex<float>*, CuComplex<float>*,
                                   uint64_t, int32_t, const CuComplex<float>*, cudaStream_t);
template void apply_densemm<double>(cublasHandle_t, int64_t, CuComplex<double>*, CuComplex<double>*, CuComplex<double>*,
                                    uint64_t, int32_t, const CuComplex<double>*, cudaStream_t);

}  // namespace fusion
}  // namespace vorlent
