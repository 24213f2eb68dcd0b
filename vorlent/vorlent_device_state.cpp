#include "vorlent/vorlent_device_state.h"

#include <limits>
#include <stdexcept>
#include <utility>

#include "common/cu_complex.h"
#include "common/cuda_check.h"
#include "common/device_buffer.h"

namespace vorlent {

using quillmarch::check_cuda;

DeviceState::DeviceState(int64_t n_qubits, int precision_is_double, int device)
    : n(n_qubits), is_double(precision_is_double), device_id(device) {
  // Subtracting in unsigned: n - 1 overflows for the most negative n.
  if (static_cast<uint64_t>(n) - 1 > 61) throw std::invalid_argument("n must be in [1, 62]");
  num_state = uint64_t{1} << n;
  check_cuda(cudaSetDevice(device_id));
  // For n >= 60 (double) or 61 (float) the byte count does not fit in 64 bits;
  // no device can hold it, so report it as the allocation failure it would be.
  if (num_state > std::numeric_limits<size_t>::max() / element_size())
    throw std::runtime_error(quillmarch::cuda_error_message(cudaErrorMemoryAllocation));
  storage_ = quillmarch::DeviceBuffer<unsigned char>(byte_size(), device_id);
  d_state = storage_.get();
}

DeviceState::DeviceState(DeviceState&& other) noexcept
    : n(other.n), num_state(other.num_state), is_double(other.is_double), device_id(other.device_id),
      d_state(other.d_state), storage_(std::move(other.storage_)) {
  other.d_state = nullptr;
}

DeviceState& DeviceState::operator=(DeviceState&& other) noexcept {
  if (this != &other) {
    storage_ = std::move(other.storage_);
    n = other.n;
    num_state = other.num_state;
    is_double = other.is_double;
    device_id = other.device_id;
    d_state = other.d_state;
    other.d_state = nullptr;
  }
  return *this;
}

void DeviceState::upload_from_host(const void* host, uint64_t count, bool use_pinned_host) {
  if (count != num_state) throw std::invalid_argument("state size does not match DeviceState size");
  check_cuda(cudaSetDevice(device_id));
  quillmarch::copy_with_optional_pinning(d_state, host, byte_size(), cudaMemcpyHostToDevice,
                                         const_cast<void*>(host), use_pinned_host);
}

void DeviceState::download_to_host(void* host, uint64_t count, bool use_pinned_host) const {
  if (count != num_state) throw std::invalid_argument("state size does not match DeviceState size");
  check_cuda(cudaSetDevice(device_id));
  quillmarch::copy_with_optional_pinning(host, d_state, byte_size(), cudaMemcpyDeviceToHost, host, use_pinned_host);
}

void DeviceState::reset_to_zero_state() {
  check_cuda(cudaSetDevice(device_id));
  check_cuda(cudaMemset(d_state, 0, byte_size()));
  if (is_double) {
    const quillmarch::CuComplex<double> one{1.0, 0.0};
    check_cuda(cudaMemcpy(d_state, &one, sizeof one, cudaMemcpyHostToDevice));
  } else {
    const quillmarch::CuComplex<float> one{1.0f, 0.0f};
    check_cuda(cudaMemcpy(d_state, &one, sizeof one, cudaMemcpyHostToDevice));
  }
}

DeviceState DeviceState::copy() const {
  DeviceState out(n, is_double, device_id);
  check_cuda(cudaSetDevice(device_id));
  check_cuda(cudaMemcpy(out.d_state, d_state, byte_size(), cudaMemcpyDeviceToDevice));
  return out;
}

}  // namespace vorlent
