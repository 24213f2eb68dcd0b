#include "common/device_buffer.h"

namespace quillmarch {

void copy_with_optional_pinning(void* dst, const void* src, size_t bytes, cudaMemcpyKind kind, void* host_range,
                                bool use_pinned_host) {
  bool pinned = false;
  if (use_pinned_host) {
    if (cudaHostRegister(host_range, bytes, 0) == cudaSuccess) {
      pinned = true;
    } else {
      cudaGetLastError();
    }
  }
  cudaError_t copied = cudaMemcpy(dst, src, bytes, kind);
  if (copied != cudaSuccess) {
    if (pinned) {
      cudaHostUnregister(host_range);
    }
    cudaGetLastError();
    throw std::runtime_error(cuda_error_message(copied));
  }
  if (pinned) check_cuda(cudaHostUnregister(host_range));
}

}  // namespace quillmarch
