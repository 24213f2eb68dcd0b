// Dense density matrix of up to 15 qubits in the memory of one CUDA device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/device_buffer.h"

namespace quillmarch {
namespace kestamire {

class DeviceDensityState {
 public:
  // Allocates the 2**n x 2**n matrix on `device_id`; contents unset.
  DeviceDensityState(uint64_t n, int dtype_code, int device_id);
  DeviceDensityState(const DeviceDensityState&) = delete;
  DeviceDensityState& operator=(const DeviceDensityState&) = delete;
  DeviceDensityState(DeviceDensityState&& other) noexcept;
  DeviceDensityState& operator=(DeviceDensityState&& other) noexcept;
  ~DeviceDensityState() = default;

  // The projector onto the all-zero basis state.
  void reset();
  void upload(const void* host, uint64_t count, bool pin);
  void download(void* host, uint64_t count, bool pin) const;
  // An independent deep copy on the same device.
  DeviceDensityState copy() const;

  size_t element_width() const { return dtype == 1 ? 16 : 8; }
  size_t byte_size() const { return element_width() * static_cast<size_t>(size); }
  std::string dtype_name() const { return dtype == 1 ? "complex128" : "complex64"; }

  uint64_t num_qubits = 0;
  uint64_t dimension = 0;
  uint64_t size = 0;
  int dtype = 0;  // 0: complex64, 1: complex128
  int device_id = 0;
  void* data = nullptr;  // storage_'s bytes

 private:
  DeviceBuffer<unsigned char> storage_;
};

// Throws "num_qubits must be in [0, 15] for the GPU density backend".
void check_density_qubits(uint64_t n);

}  // namespace kestamire
}  // namespace quillmarch
