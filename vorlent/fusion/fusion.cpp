#include "vorlent/fusion/fusion.h"

#include <stdexcept>
#include <type_traits>

#include "common/cuda_check.h"
#include "vorlent/gate_dispatch.h"

namespace vorlent {
namespace fusion {

namespace {

using quillmarch::check_cublas;
using quillmarch::check_cuda_step;
using quillmarch::CuComplex;
using quillmarch::DeviceBuffer;

// The DenseMM scratch buffers and cuBLAS handle of one host thread and
// precision; released on their device when the thread ends.
template <typename T>
struct DenseMMCache {
  int32_t device = -1;
  uint64_t capacity = 0;
  DeviceBuffer<CuComplex<T>> transpose_buffer;
  DeviceBuffer<CuComplex<T>> gemm_buffer;
  cublasHandle_t cublas_handle = nullptr;

  ~DenseMMCache() { release(); }

  bool holds_memory() const { return capacity > 0 || cublas_handle != nullptr; }

  // The GEMM buffer first, then the transpose buffer, once the device's
  // queued kernels (which may read them) are done; errors ignored.
  void free_buffers() noexcept {
    if (capacity > 0 && cudaSetDevice(device) == cudaSuccess && cudaDeviceSynchronize() != cudaSuccess)
      cudaGetLastError();
    gemm_buffer = DeviceBuffer<CuComplex<T>>();
    transpose_buffer = DeviceBuffer<CuComplex<T>>();
    capacity = 0;
  }

  void release() noexcept {
    if (device >= 0) {
      cudaSetDevice(device);
      if (cublas_handle != nullptr) cublasDestroy(cublas_handle);
      free_buffers();
    }
    device = -1;
    cublas_handle = nullptr;
  }
};

template <typename T>
DenseMMCache<T>& densemm_cache() {
  thread_local DenseMMCache<T> cache;
  return cache;
}

// Workspaces of the calling thread that point into its caches.
thread_local int densemm_cache_holds = 0;

template <typename E>
DeviceBuffer<E> allocate(size_t count, int device, const char* operation) {
  void* p = nullptr;
  check_cuda_step(quillmarch::malloc_retrying(&p, count * sizeof(E), device), operation);
  return DeviceBuffer<E>::adopt(static_cast<E*>(p), count, device);
}

template <typename E>
DeviceBuffer<E> upload_array(const std::vector<E>& host, int device, const char* malloc_operation,
                             const char* copy_operation) {
  DeviceBuffer<E> buffer = allocate<E>(host.size(), device, malloc_operation);
  check_cuda_step(cudaMemcpy(buffer.get(), host.data(), host.size() * sizeof(E), cudaMemcpyHostToDevice),
                  copy_operation);
  return buffer;
}

template <typename T>
DeviceMatrixGate<T> to_device_record(const FusionMatrixRecord& r) {
  DeviceMatrixGate<T> g{r.kind, r.target, r.target2, r.control_mask, r.control_value, {}};
  for (int i = 0; i < 4; ++i) g.matrix[i] = quillmarch::to_cu_complex<T>(r.matrix[i]);
  return g;
}

// An allocation the device has no room for gives an empty buffer, any other
// failure throws `operation`: the error string.
template <typename E>
DeviceBuffer<E> allocate_unless_full(size_t count, int device, const char* operation) {
  void* p = nullptr;
  const cudaError_t error = cudaMalloc(&p, count * sizeof(E));
  if (error == cudaErrorMemoryAllocation) {
    cudaGetLastError();
    return {};
  }
  check_cuda_step(error, operation);
  return DeviceBuffer<E>::adopt(static_cast<E*>(p), count, device);
}

}  // namespace

// A failed binding leaves the cache's buffers freed.
template <typename T>
DenseMMScratch<T> bind_densemm_scratch(int64_t log2_amplitudes) {
  DenseMMCache<T>& cache = densemm_cache<T>();
  int current = 0;
  check_cuda_step(cudaGetDevice(&current), "cudaGetDevice DenseMM cache");
  if (cache.device != current) {
    cache.release();
    check_cuda_step(cudaSetDevice(current), "cudaSetDevice DenseMM cache");
    cache.device = current;
  }
  if (cache.cublas_handle == nullptr) {
    const cublasStatus_t status = cublasCreate(&cache.cublas_handle);
    if (status == CUBLAS_STATUS_ALLOC_FAILED) {
      cache.cublas_handle = nullptr;
      return {};
    }
    if (status != CUBLAS_STATUS_SUCCESS) cache.cublas_handle = nullptr;
    check_cublas(status, "cublasCreate DenseMM cache");
  }
  const uint64_t amplitudes = uint64_t{1} << log2_amplitudes;
  if (cache.capacity < amplitudes) {
    cache.free_buffers();
    // The other precision's cache is idle while this one is bound; on a full
    // device it goes first.
    using Other = std::conditional_t<std::is_same<T, float>::value, double, float>;
    DenseMMCache<Other>& other = densemm_cache<Other>();
    for (int attempt = 0; attempt < 2 && cache.capacity == 0; ++attempt) {
      if (attempt == 1) {
        if (!other.holds_memory()) break;
        other.release();
        check_cuda_step(cudaSetDevice(current), "cudaSetDevice DenseMM cache");
      }
      // Buffers only grow, so a failure here leaves none behind.
      cache.transpose_buffer =
          allocate_unless_full<CuComplex<T>>(amplitudes, current, "cudaMalloc cached DenseMM transpose buffer");
      if (cache.transpose_buffer.get() == nullptr) continue;
      cache.gemm_buffer =
          allocate_unless_full<CuComplex<T>>(amplitudes, current, "cudaMalloc cached DenseMM GEMM buffer");
      if (cache.gemm_buffer.get() == nullptr) {
        cache.free_buffers();
        continue;
      }
      cache.capacity = amplitudes;
    }
    if (cache.capacity == 0) return {};
  }
  DenseMMScratch<T> scratch;
  scratch.transpose_buffer = cache.transpose_buffer.get();
  scratch.gemm_buffer = cache.gemm_buffer.get();
  scratch.cublas_handle = cache.cublas_handle;
  scratch.hold = DenseMMCacheHold::take();
  return scratch;
}

DenseMMCacheHold DenseMMCacheHold::take() {
  DenseMMCacheHold hold;
  hold.held_ = true;
  ++densemm_cache_holds;
  return hold;
}

DenseMMCacheHold::~DenseMMCacheHold() {
  if (held_) --densemm_cache_holds;
}

bool release_densemm_cache() {
  if (densemm_cache_holds > 0) return false;
  const bool held = densemm_cache<float>().holds_memory() || densemm_cache<double>().holds_memory();
  const quillmarch::DeviceGuard keep;
  densemm_cache<float>().release();
  densemm_cache<double>().release();
  return held;
}

template <typename T>
void FusionWorkspace<T>::apply(CuComplex<T>* state, const FusedGroup& group, size_t index) const {
  uint64_t active_mask = 0;
  for (int64_t q : group.active_qubits) active_mask |= uint64_t{1} << q;
  const auto k = static_cast<int32_t>(group.active_qubits.size());
  const auto count = static_cast<int32_t>(group.records.size());
  switch (group.kind) {
    case GroupKind::SparseShareMem:
      launch_sparsesharemem<T>(n, state, active_mask, k, device_records.get() + group.record_offset, count, nullptr);
      return;
    case GroupKind::DenseMM:
      if (dense_fallback) {
        launch_sparsesharemem<T>(n, state, active_mask, k, fallback_records.get() + fallback_offsets[index], count,
                                 nullptr);
      } else {
        apply_densemm<T>(scratch.cublas_handle, n, state, scratch.transpose_buffer, scratch.gemm_buffer, active_mask, k,
                         device_matrices.get() + group.matrix_offset, nullptr);
      }
      return;
    default: throw std::invalid_argument("AutoPair group cannot use fusion workspace");
  }
}

template <typename T>
FusionWorkspace<T> build_workspace(int64_t n, const FusionPlan& plan) {
  FusionWorkspace<T> ws;
  ws.n = n;
  std::vector<DeviceMatrixGate<T>> records(static_cast<size_t>(plan.sparse_record_count));
  std::vector<CuComplex<T>> matrices(static_cast<size_t>(plan.dense_entry_count));
  bool uses_densemm = false;
  for (const FusedGroup& group : plan.groups) {
    if (group.kind == GroupKind::SparseShareMem) {
      for (size_t i = 0; i < group.records.size(); ++i)
        records[group.record_offset + i] = to_device_record<T>(group.records[i]);
    } else if (group.kind == GroupKind::DenseMM) {
      for (size_t i = 0; i < group.dense_matrix.size(); ++i)
        matrices[group.matrix_offset + i] = quillmarch::to_cu_complex<T>(group.dense_matrix[i]);
      uses_densemm = true;
    }
  }
  int device = 0;
  quillmarch::check_cuda(cudaGetDevice(&device));
  if (!records.empty())
    ws.device_records =
        upload_array(records, device, "cudaMalloc SparseShareMem gates", "cudaMemcpy SparseShareMem gates");
  if (!matrices.empty())
    ws.device_matrices = upload_array(matrices, device, "cudaMalloc DenseMM matrices", "cudaMemcpy DenseMM matrices");
  if (uses_densemm) ws.scratch = bind_densemm_scratch<T>(n);
  if (uses_densemm && !ws.scratch.bound()) {
    // No room for the scratch buffers: the same groups, through shared memory.
    ws.dense_fallback = true;
    ws.fallback_offsets.assign(plan.groups.size(), 0);
    std::vector<DeviceMatrixGate<T>> fallback;
    for (size_t g = 0; g < plan.groups.size(); ++g) {
      if (plan.groups[g].kind != GroupKind::DenseMM) continue;
      ws.fallback_offsets[g] = static_cast<int64_t>(fallback.size());
      for (const FusionMatrixRecord& r : plan.groups[g].records) fallback.push_back(to_device_record<T>(r));
    }
    ws.fallback_records =
        upload_array(fallback, device, "cudaMalloc SparseShareMem gates", "cudaMemcpy SparseShareMem gates");
  }
  return ws;
}

template <typename T>
void run_fused_groups(int64_t n, CuComplex<T>* state, const std::vector<GateRecord>& gates, const FusionPlan& plan,
                      const FusionWorkspace<T>& workspace) {
  for (size_t i = 0; i < plan.groups.size(); ++i) {
    const FusedGroup& group = plan.groups[i];
    if (group.kind == GroupKind::AutoPair) {
      apply_gate<T>(static_cast<uint64_t>(n), state, gates[group.gate_indices[0]], KernelMode::PairAuto);
      continue;
    }
    workspace.apply(state, group, i);
    quillmarch::check_last_error();
  }
}

template <typename T>
void execute_prepared_chunk(CuComplex<T>* d_state, uint64_t num_state, int device_id,
                            const PreparedFusionChunk& chunk) {
  const int64_t n = chunk.n();
  if (n < 1 || n > 62 || num_state != uint64_t{1} << n)
    throw std::invalid_argument("state size does not match prepared chunk");
  quillmarch::check_cuda(cudaSetDevice(device_id));
  const FusionWorkspace<T> workspace = build_workspace<T>(n, chunk.fusion_plan());
  run_fused_groups<T>(n, d_state, chunk.gates(), chunk.fusion_plan(), workspace);
  quillmarch::check_cuda(cudaStreamSynchronize(nullptr));
}

#define VORLENT_FUSION_INSTANTIATE(T)                                                                          \
  template DenseMMScratch<T> bind_densemm_scratch<T>(int64_t);                                                 \
  template struct FusionWorkspace<T>;                                                                          \
  template FusionWorkspace<T> build_workspace<T>(int64_t, const FusionPlan&);                                  \
  template void run_fused_groups<T>(int64_t, CuComplex<T>*, const std::vector<GateRecord>&, const FusionPlan&, \
                                    const FusionWorkspace<T>&);                                                \
  template void execute_prepared_chunk<T>(CuComplex<T>*, uint64_t, int, const PreparedFusionChunk&);
VORLENT_FUSION_INSTANTIATE(float)
VORLENT_FUSION_INSTANTIATE(double)

}  // namespace fusion
}  // namespace vorlent
