#include "kestamire/kestamire_device_state.h"

#include <stdexcept>
#include <utility>

#include "common/cu_complex.h"
#include "common/cuda_check.h"
#include "common/device_buffer.h"

namespace quillmarch {
namespace kestamire {

void check_density_qubits(uint64_t n) {
  if (n > 15) throw std::invalid_argument("num_qubits must be in [0, 15] for the GPU density backend");
}

DeviceDensityState::DeviceDensityState(uint64_t n, int dtype_code, int device)
    : num_qubits(n), dtype(dtype_code), device_id(device) {
  check_density_qubits(n);
  dimension = uint64_t{1} << n;
  size = dimension << n;
  check_cuda(cudaSetDevice(device_id));
  storage_ = DeviceBuffer<unsigned char>(byte_size(), device_id);
  data = storage_.get();
}

DeviceDensityState::DeviceDensityState(DeviceDensityState&& other) noexcept
    : num_qubits(other.num_qubits), dimension(other.dimension), size(other.size), dtype(other.dtype),
      device_id(other.device_id), data(other.data), storage_(std::move(other.storage_)) {
  other.data = nullptr;
}

DeviceDensityState& DeviceDensityState::operator=(DeviceDensityState&& other) noexcept {
  if (this != &other) {
    storage_ = std::move(other.storage_);
    num_qubits = other.num_qubits;
    dimension = other.dimension;
    size = other.size;
    dtype = other.dtype;
    device_id = other.device_id;
    data = other.data;
    other.data = nullptr;
  }
  return *this;
}

void DeviceDensityState::reset() {
  check_cuda(cudaSetDevice(device_id));
  check_cuda(cudaMemset(data, 0, byte_size()));
  if (dtype == 1) {
    const CuComplex<double> one{1.0, 0.0};
    check_cuda(cudaMemcpy(data, &one, sizeof one, cudaMemcpyHostToDevice));
  } else {
    const CuComplex<float> one{1.0f, 0.0f};
    check_cuda(cudaMemcpy(data, &one, sizeof one, cudaMemcpyHostToDevice));
  }
}

void DeviceDensityState::upload(const void* host, uint64_t count, bool pin) {
  if (count != size) throw std::invalid_argument("state size does not match DeviceDensityState size");
  check_cuda(cudaSetDevice(device_id));
  copy_with_optional_pinning(data, host, byte_size(), cudaMemcpyHostToDevice, const_cast<void*>(host), pin);
}

void DeviceDensityState::download(void* host, uint64_t count, bool pin) const {
  if (count != size) throw std::invalid_argument("state size does not match DeviceDensityState size");
  check_cuda(cudaSetDevice(device_id));
  copy_with_optional_pinning(host, data, byte_size(), cudaMemcpyDeviceToHost, host, pin);
}

DeviceDensityState DeviceDensityState::copy() const {
  DeviceDensityState out(num_qubits, dtype, device_id);
  check_cuda(cudaSetDevice(device_id));
  check_cuda(cudaMemcpy(out.data, data, byte_size(), cudaMemcpyDeviceToDevice));
  return out;
}

}  // namespace kestamire
}  // namespace quillmarch
