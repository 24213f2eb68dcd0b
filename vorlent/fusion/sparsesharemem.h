// Shared-memory kernel of fused groups: every gate of a group applied to one
// tile of 2^k amplitudes per block, one pass over the state.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/cu_complex.h"
#include "common/cuda_api.h"

namespace vorlent {
namespace fusion {

// Device form of one planner record; the same struct on host and device, so
// the staged host array is uploaded byte for byte.
template <typename T>
struct DeviceMatrixGate {
  int32_t kind;
  int32_t target;
  int32_t target2;
  int32_t control_mask;
  int32_t control_value;
  quillmarch::CuComplex<T> matrix[4];  // m00, m01, m10, m11
};
static_assert(offsetof(DeviceMatrixGate<float>, matrix) == 24 && sizeof(DeviceMatrixGate<float>) == 56,
              "record layout");
static_assert(offsetof(DeviceMatrixGate<double>, matrix) == 32 && sizeof(DeviceMatrixGate<double>) == 96,
              "record layout");

// Applies gates[0 .. gate_count) to every tile of the k active qubits
// (1 <= k <= 10). Enqueues on `stream`; neither waits nor reads errors.
template <typename T>
void launch_sparsesharemem(int64_t n, quillmarch::CuComplex<T>* state, uint64_t active_mask, int32_t k,
                           const DeviceMatrixGate<T>* gates, int32_t gate_count, cudaStream_t stream);

}  // namespace fusion
}  // namespace vorlent
