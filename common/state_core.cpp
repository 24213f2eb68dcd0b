#include "common/state_core.h"

#include <limits>
#include <type_traits>

#include "common/cuda_check.h"

namespace quillmarch {

StateCore::StateCore(uint64_t elements, Precision precision, int device_id, const char* size_message)
    : precision_(precision), elements_(elements), size_message_(size_message) {
  const DeviceGuard keep;
  check_cuda(cudaSetDevice(device_id));
  // For 2**60 double or 2**61 float amplitudes the byte count does not fit in
  // 64 bits; no device can hold it, so report it as the allocation failure it
  // would be.
  if (elements > std::numeric_limits<size_t>::max() / element_size())
    throw std::runtime_error(cuda_error_message(cudaErrorMemoryAllocation));
  buffer_ = DeviceBuffer<unsigned char>(static_cast<size_t>(elements) * element_size(), device_id);
}

void StateCore::upload(const void* host, uint64_t count, bool pin) {
  if (count != elements_) throw std::invalid_argument(size_message_);
  const DeviceGuard keep;
  check_cuda(cudaSetDevice(device_id()));
  copy_with_optional_pinning(data(), host, bytes(), cudaMemcpyHostToDevice, const_cast<void*>(host), pin);
}

void StateCore::download(void* host, uint64_t count, bool pin) const {
  if (count != elements_) throw std::invalid_argument(size_message_);
  const DeviceGuard keep;
  check_cuda(cudaSetDevice(device_id()));
  copy_with_optional_pinning(host, data(), bytes(), cudaMemcpyDeviceToHost, host, pin);
}

void StateCore::set_basis_zero() {
  const DeviceGuard keep;
  check_cuda(cudaSetDevice(device_id()));
  check_cuda(cudaMemset(data(), 0, bytes()));
  with_precision(*this, [](auto* first) {
    const std::remove_pointer_t<decltype(first)> one{1, 0};
    check_cuda(cudaMemcpy(first, &one, sizeof one, cudaMemcpyHostToDevice));
  });
}

void StateCore::copy_from(const StateCore& source) {
  const DeviceGuard keep;
  check_cuda(cudaSetDevice(source.device_id()));
  check_cuda(cudaMemcpy(data(), source.data(), source.bytes(), cudaMemcpyDeviceToDevice));
}

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
