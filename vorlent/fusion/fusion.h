// Execution of planned fusion chunks: the per-execution workspace, the
// per-thread DenseMM resources and the group loop.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "common/cu_complex.h"
#include "common/device_buffer.h"
#include "vorlent/fusion/densemm.h"
#include "vorlent/fusion/planner.h"
#include "vorlent/fusion/sparsesharemem.h"

namespace vorlent {
namespace fusion {

// Keeps the calling thread's DenseMM cache from being freed while a workspace
// points into it.
class DenseMMCacheHold {
 public:
  DenseMMCacheHold() = default;
  static DenseMMCacheHold take();
  DenseMMCacheHold(const DenseMMCacheHold&) = delete;
  DenseMMCacheHold& operator=(const DenseMMCacheHold&) = delete;
  DenseMMCacheHold(DenseMMCacheHold&& other) noexcept : held_(other.held_) { other.held_ = false; }
  DenseMMCacheHold& operator=(DenseMMCacheHold&& other) noexcept {
    std::swap(held_, other.held_);
    return *this;
  }
  ~DenseMMCacheHold();

 private:
  bool held_ = false;
};

// The calling thread's DenseMM scratch buffers and cuBLAS handle, bound for
// one use and held from release until this goes.
template <typename T>
struct DenseMMScratch {
  quillmarch::CuComplex<T>* transpose_buffer = nullptr;
  quillmarch::CuComplex<T>* gemm_buffer = nullptr;
  cublasHandle_t cublas_handle = nullptr;
  DenseMMCacheHold hold;

  bool bound() const { return cublas_handle != nullptr; }
};

// Brings the calling thread's cache to the current device and to
// 2^log2_amplitudes amplitudes per buffer; unbound when the device has no
// room for them.
template <typename T>
DenseMMScratch<T> bind_densemm_scratch(int64_t log2_amplitudes);

// Frees the calling thread's DenseMM caches (both precisions) unless a
// workspace holds them; true when it freed memory.
bool release_densemm_cache();

// Device side of one execution: owns the uploaded records and matrices,
// borrows the calling thread's DenseMM scratch buffers and cuBLAS handle.
template <typename T>
struct FusionWorkspace {
  int64_t n = 0;
  DenseMMScratch<T> scratch;
  quillmarch::DeviceBuffer<DeviceMatrixGate<T>> device_records;
  quillmarch::DeviceBuffer<quillmarch::CuComplex<T>> device_matrices;
  // Set when the DenseMM resources could not be allocated: DenseMM groups then
  // run through the shared-memory kernel, from these records (per group
  // offsets into fallback_records).
  bool dense_fallback = false;
  quillmarch::DeviceBuffer<DeviceMatrixGate<T>> fallback_records;
  std::vector<int64_t> fallback_offsets;

  // Applies one SparseShareMem or DenseMM group (the `index`-th of the plan).
  void apply(quillmarch::CuComplex<T>* state, const FusedGroup& group, size_t index) const;
};

// Uploads the plan's records and matrices in precision T and binds the
// calling thread's DenseMM resources when the plan has DenseMM groups.
template <typename T>
FusionWorkspace<T> build_workspace(int64_t n, const FusionPlan& plan);

// Runs the groups in order: single gates through the per-gate path in
// PairAuto mode, the others through the workspace.
template <typename T>
void run_fused_groups(int64_t n, quillmarch::CuComplex<T>* state, const std::vector<GateRecord>& gates,
                      const FusionPlan& plan, const FusionWorkspace<T>& workspace);

// Executes a prepared chunk on a device state and waits for the device.
template <typename T>
void execute_prepared_chunk(quillmarch::CuComplex<T>* d_state, uint64_t num_state, int device_id,
                            const PreparedFusionChunk& chunk);

}  // namespace fusion
}  // namespace vorlent
