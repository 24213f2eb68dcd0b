#include "hostcuda/hostcublas.h"
#include "hostcuda/internal.h"
#include "hostcuda/trace.h"

#include <complex>
#include <vector>

#if defined(HOSTCUDA_OPENBLAS)
#include <cblas.h>
#endif

struct cublasContext {
  cudaStream_t stream = nullptr;
};

namespace {

// The checks cuBLAS makes before it enqueues a GEMM.
template <typename V>
cublasStatus_t check_gemm(cublasHandle_t handle, cublasOperation_t ta, cublasOperation_t tb, int m, int n, int k,
                          int lda, int ldb, int ldc) {
  if (handle == nullptr) return CUBLAS_STATUS_NOT_INITIALIZED;
  if (m < 0 || n < 0 || k < 0) return CUBLAS_STATUS_INVALID_VALUE;
  if ((ta != CUBLAS_OP_N && ta != CUBLAS_OP_T && ta != CUBLAS_OP_C) ||
      (tb != CUBLAS_OP_N && tb != CUBLAS_OP_T && tb != CUBLAS_OP_C))
    return CUBLAS_STATUS_INVALID_VALUE;
  if (ldc < (m > 1 ? m : 1)) return CUBLAS_STATUS_INVALID_VALUE;
  if (lda < ((ta == CUBLAS_OP_N ? m : k) > 1 ? (ta == CUBLAS_OP_N ? m : k) : 1)) return CUBLAS_STATUS_INVALID_VALUE;
  if (ldb < ((tb == CUBLAS_OP_N ? k : n) > 1 ? (tb == CUBLAS_OP_N ? k : n) : 1)) return CUBLAS_STATUS_INVALID_VALUE;
  return CUBLAS_STATUS_SUCCESS;
}

template <typename V, typename R>
void multiply(cublasOperation_t ta, cublasOperation_t tb, int m, int n, int k, V alpha, const V* A, int lda, const V* B,
              int ldb, V beta, V* C, int ldc) {
#if defined(HOSTCUDA_OPENBLAS)
  if (m == 0 || n == 0) return;
  auto order = [](cublasOperation_t t) {
    return t == CUBLAS_OP_N ? CblasNoTrans : t == CUBLAS_OP_T ? CblasTrans : CblasConjTrans;
  };
  // Both are column-major with the same leading dimensions; a zero beta
  // overwrites C without reading it in OpenBLAS too.
  if constexpr (sizeof(R) == sizeof(float))
    scipy_cblas_cgemm(CblasColMajor, order(ta), order(tb), m, n, k, &alpha, A, lda, B, ldb, &beta, C, ldc);
  else
    scipy_cblas_zgemm(CblasColMajor, order(ta), order(tb), m, n, k, &alpha, A, lda, B, ldb, &beta, C, ldc);
#else
  using C_t = std::complex<R>;
  auto load = [](const V& v) { return C_t(v.x, v.y); };
  // op(X)(i, j) for a column-major X with leading dimension ld.
  auto op = [&](cublasOperation_t t, const V* X, int ld, long i, long j) {
    C_t v = (t == CUBLAS_OP_N) ? load(X[i + j * static_cast<long>(ld)]) : load(X[j + i * static_cast<long>(ld)]);
    return t == CUBLAS_OP_C ? std::conj(v) : v;
  };
  const C_t a = load(alpha), b = load(beta);
  std::vector<C_t> column(static_cast<size_t>(m));
  for (long j = 0; j < n; ++j) {
    for (long i = 0; i < m; ++i) {
      C_t sum(0, 0);
      for (long p = 0; p < k; ++p) sum += op(ta, A, lda, i, p) * op(tb, B, ldb, p, j);
      column[static_cast<size_t>(i)] = sum;
    }
    for (long i = 0; i < m; ++i) {
      V& c = C[i + j * static_cast<long>(ldc)];
      // beta == 0 must not read C, which may hold NaN garbage.
      C_t out = a * column[static_cast<size_t>(i)] + (b == C_t(0, 0) ? C_t(0, 0) : b * load(c));
      c.x = out.real();
      c.y = out.imag();
    }
  }
#endif
}

template <typename V, typename R>
cublasStatus_t gemm(cublasHandle_t handle, cublasOperation_t ta, cublasOperation_t tb, int m, int n, int k,
                    const V* alpha, const V* A, int lda, const V* B, int ldb, const V* beta, V* C, int ldc) {
  const cublasStatus_t status = check_gemm<V>(handle, ta, tb, m, n, k, lda, ldb, ldc);
  if (status != CUBLAS_STATUS_SUCCESS) return status;
  if (!hostcuda::internal::defer_enabled()) {
    multiply<V, R>(ta, tb, m, n, k, *alpha, A, lda, B, ldb, *beta, C, ldc);
    return CUBLAS_STATUS_SUCCESS;
  }
  const int device = hostcuda::internal::current_device();
  if (hostcuda::internal::sticky_error(device) != cudaSuccess) return CUBLAS_STATUS_EXECUTION_FAILED;
  // The scalars are host values, read now (host pointer mode); the matrices
  // are read and written when the queue runs.
  const V a = *alpha, b = *beta;
  auto at = [](const void* p) {
    const uintptr_t u = reinterpret_cast<uintptr_t>(p);
    return hostcuda::internal::Use{u, u + 1};
  };
  hostcuda::internal::enqueue(device, "gemm", {at(A), at(B), at(C)}, [=] {
    multiply<V, R>(ta, tb, m, n, k, a, A, lda, B, ldb, b, C, ldc);
    return true;
  });
  return CUBLAS_STATUS_SUCCESS;
}

}  // namespace

cublasStatus_t cublasCreate(cublasHandle_t* handle) {
  if (handle == nullptr) return CUBLAS_STATUS_INVALID_VALUE;
  int count = 0;
  if (cudaGetDeviceCount(&count) != cudaSuccess) {
    cudaGetLastError();
    return CUBLAS_STATUS_NOT_INITIALIZED;
  }
  *handle = new cublasContext();
  return CUBLAS_STATUS_SUCCESS;
}

cublasStatus_t cublasDestroy(cublasHandle_t handle) {
  if (handle == nullptr) return CUBLAS_STATUS_NOT_INITIALIZED;
  // Destroying a handle waits for its work; a failure there stays in the last error.
  if (hostcuda::internal::defer_enabled()) hostcuda::internal::synchronize(hostcuda::internal::current_device());
  delete handle;
  return CUBLAS_STATUS_SUCCESS;
}

cublasStatus_t cublasSetStream(cublasHandle_t handle, cudaStream_t stream) {
  if (handle == nullptr) return CUBLAS_STATUS_NOT_INITIALIZED;
  handle->stream = stream;
  return CUBLAS_STATUS_SUCCESS;
}

cublasStatus_t cublasCgemm(cublasHandle_t handle, cublasOperation_t transa, cublasOperation_t transb, int m, int n,
                           int k, const cuComplex* alpha, const cuComplex* A, int lda, const cuComplex* B, int ldb,
                           const cuComplex* beta, cuComplex* C, int ldc) {
  hostcuda::trace_gemm("cublasCgemm", m, n, k);
  return gemm<cuComplex, float>(handle, transa, transb, m, n, k, alpha, A, lda, B, ldb, beta, C, ldc);
}

cublasStatus_t cublasZgemm(cublasHandle_t handle, cublasOperation_t transa, cublasOperation_t transb, int m, int n,
                           int k, const cuDoubleComplex* alpha, const cuDoubleComplex* A, int lda,
                           const cuDoubleComplex* B, int ldb, const cuDoubleComplex* beta, cuDoubleComplex* C,
                           int ldc) {
  hostcuda::trace_gemm("cublasZgemm", m, n, k);
  return gemm<cuDoubleComplex, double>(handle, transa, transb, m, n, k, alpha, A, lda, B, ldb, beta, C, ldc);
}
