// Single-owner device allocation, freed on its own device (the current device
// is kept across the free, which may run from any caller's destructor).
#pragma once

#include <cstddef>
#include <utility>

#include "common/cuda_api.h"
#include "common/cuda_check.h"

namespace quillmarch {

// What a module keeps cached on the calling thread (vorlent's DenseMM scratch),
// freed when an allocation finds the device full; true when it freed anything.
// Each module sets its own.
inline bool (*release_cached_device_memory)() = nullptr;

// cudaMalloc on the current device `device`; when the device is full, frees
// the module's cache and tries once more.
inline cudaError_t malloc_retrying(void** p, size_t bytes, int device) {
  cudaError_t error = cudaMalloc(p, bytes);
  if (error == cudaErrorMemoryAllocation && release_cached_device_memory != nullptr) {
    cudaGetLastError();
    if (release_cached_device_memory()) {
      check_cuda(cudaSetDevice(device));
      error = cudaMalloc(p, bytes);
    }
  }
  return error;
}

template <typename T>
class DeviceBuffer {
 public:
  DeviceBuffer() = default;

  // Selects `device` and allocates `count` elements; throws "CUDA error: ...".
  DeviceBuffer(size_t count, int device) : device_(device) {
    check_cuda(cudaSetDevice(device));
    void* p = nullptr;
    check_cuda(malloc_retrying(&p, count * sizeof(T), device));
    ptr_ = static_cast<T*>(p);
    count_ = count;
  }

  // Takes ownership of `ptr`, an allocation of `count` elements on `device`.
  static DeviceBuffer adopt(T* ptr, size_t count, int device) {
    DeviceBuffer b;
    b.ptr_ = ptr;
    b.count_ = count;
    b.device_ = device;
    return b;
  }

  DeviceBuffer(const DeviceBuffer&) = delete;
  DeviceBuffer& operator=(const DeviceBuffer&) = delete;
  DeviceBuffer(DeviceBuffer&& other) noexcept { swap(other); }
  DeviceBuffer& operator=(DeviceBuffer&& other) noexcept {
    if (this != &other) {
      release_quietly();
      swap(other);
    }
    return *this;
  }
  ~DeviceBuffer() { release_quietly(); }

  // Frees now and reports a failure of the free itself.
  void release() {
    if (ptr_ == nullptr) return;
    T* p = ptr_;
    ptr_ = nullptr;
    count_ = 0;
    const DeviceGuard keep;
    check_cuda(cudaSetDevice(device_));
    check_cuda(cudaFree(p));
  }

  T* get() const { return ptr_; }
  int device() const { return device_; }
  size_t size() const { return count_; }
  size_t bytes() const { return count_ * sizeof(T); }

 private:
  // Error clean-up path: a failing free must not mask the original error. A
  // destructor may run while kernels that read the buffer are still queued
  // (an exception between a launch and its call's synchronisation), so the
  // stream is drained first.
  void release_quietly() noexcept {
    if (ptr_ == nullptr) return;
    const DeviceGuard keep;
    if (cudaSetDevice(device_) == cudaSuccess) {
      cudaStreamSynchronize(nullptr);
      cudaFree(ptr_);
    }
    cudaGetLastError();
    ptr_ = nullptr;
    count_ = 0;
  }

  void swap(DeviceBuffer& other) noexcept {
    std::swap(ptr_, other.ptr_);
    std::swap(count_, other.count_);
    std::swap(device_, other.device_);
  }

  T* ptr_ = nullptr;
  size_t count_ = 0;
  int device_ = 0;
};

// Copies `count` elements from host to device; throws "CUDA error: ...".
template <typename T>
void upload(T* device_dst, const T* host_src, size_t count) {
  check_cuda(cudaMemcpy(device_dst, host_src, count * sizeof(T), cudaMemcpyHostToDevice));
}

template <typename T>
void download(T* host_dst, const T* device_src, size_t count) {
  check_cuda(cudaMemcpy(host_dst, device_src, count * sizeof(T), cudaMemcpyDeviceToHost));
}

}  // namespace quillmarch
