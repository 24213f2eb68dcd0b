// Error reporting for runtime calls, launches and clean-up. Messages are the
// system's fixed texts followed by the runtime's own error string.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <type_traits>

#include "common/cuda_api.h"

namespace quillmarch {

// "CUDA error: " followed by the runtime's text for `error`.
std::string cuda_error_message(cudaError_t error);

// Throws std::runtime_error("CUDA error: ...") for a failed runtime call. The
// failure is reported here, so it is also taken out of the last-error state:
// left there, the next post-launch check would blame it on a later kernel.
inline void check_cuda(cudaError_t error) {
  if (error != cudaSuccess) {
    cudaGetLastError();
    throw std::runtime_error(cuda_error_message(error));
  }
}

// Keeps the calling thread's current device across a scope that selects
// others, so what a caller chose (CuPy, PyTorch, its own code) survives our
// calls. Restores only when the scope changed it.
class DeviceGuard {
 public:
  DeviceGuard() noexcept {
    if (cudaGetDevice(&saved_) != cudaSuccess) saved_ = -1;
  }
  DeviceGuard(const DeviceGuard&) = delete;
  DeviceGuard& operator=(const DeviceGuard&) = delete;
  ~DeviceGuard() {
    int now = -1;
    if (saved_ >= 0 && cudaGetDevice(&now) == cudaSuccess && now != saved_) cudaSetDevice(saved_);
  }

 private:
  int saved_ = -1;
};

// Throws std::runtime_error(operation + ": " + error string) for a failed
// call of a step that names itself; clears the error like check_cuda.
inline void check_cuda_step(cudaError_t error, const char* operation) {
  if (error != cudaSuccess) {
    cudaGetLastError();
    throw std::runtime_error(std::string(operation) + ": " + cudaGetErrorString(error));
  }
}

// Throws std::runtime_error(operation + " failed").
[[noreturn]] void throw_call_failed(const std::string& operation);

// For a cuBLAS call: any status but CUBLAS_STATUS_SUCCESS (0) fails with
// operation + " failed". Templated on the status type so that this header
// needs no cuBLAS header, which the density module does not use.
template <typename Status>
void check_cublas(Status status, const char* operation) {
  static_assert(std::is_enum<Status>::value, "a library status code");
  if (status != Status{}) throw_call_failed(operation);
}

// Reads (and clears) the pending launch error; throws prefix + error string.
void check_launch(const char* prefix);

// Reads (and clears) the pending error; throws "CUDA error: " + error string.
void check_last_error();

// Blocks for `work` items at `threads` per block, as a grid dimension. More
// blocks than any grid dimension takes (2**31 - 1) give 0, an empty grid that
// every launch rejects, so an oversized grid fails through the launch-error
// path instead of running as a silently narrowed one.
inline unsigned int grid_for(uint64_t work, unsigned int threads) {
  const uint64_t blocks = work / threads + (work % threads != 0);
  return blocks > 0x7fffffffu ? 0u : static_cast<unsigned int>(blocks);
}

// Block cap of the grid-stride kernels that size their grid from the work:
// enough blocks to fill any device, and a count that every grid dimension takes.
constexpr unsigned int kMaxStrideBlocks = 65535;

// Threads per block of a kernel with barriers: `gpu_threads` on the cuda
// backend; one on the host, where a block of one thread runs as a plain loop
// over its tile and its barriers cost nothing, unless HOSTCUDA_GPU_GEOMETRY=1
// asks for the GPU's sizes (every thread on a fiber) to check barrier logic.
// Such kernels learn their block size from blockDim only.
inline unsigned int barrier_block(unsigned int gpu_threads) {
#if defined(QM_BACKEND_CUDA)
  return gpu_threads;
#else
  return hostcuda::gpu_geometry() ? gpu_threads : 1u;
#endif
}

// grid_for capped at `cap` blocks, for kernels that loop grid-stride over the work.
inline unsigned int stride_grid_for(uint64_t work, unsigned int threads, unsigned int cap = kMaxStrideBlocks) {
  const uint64_t blocks = work / threads + (work % threads != 0);
  return blocks > cap ? cap : static_cast<unsigned int>(blocks);
}

}  // namespace quillmarch
