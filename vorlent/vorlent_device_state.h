// State vector of an n-qubit register in the memory of one CUDA device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/device_buffer.h"

namespace vorlent {

class DeviceState {
 public:
  // Allocates 2**n amplitudes on `device_id`; contents undefined.
  DeviceState(int64_t n, int is_double, int device_id);
  DeviceState(const DeviceState&) = delete;
  DeviceState& operator=(const DeviceState&) = delete;
  DeviceState(DeviceState&& other) noexcept;
  DeviceState& operator=(DeviceState&& other) noexcept;
  ~DeviceState() = default;

  void upload_from_host(const void* host, uint64_t count, bool use_pinned_host);
  void download_to_host(void* host, uint64_t count, bool use_pinned_host) const;
  void reset_to_zero_state();
  // An independent state on the same device with the same amplitudes.
  DeviceState copy() const;

  size_t element_size() const { return is_double ? 16 : 8; }
  size_t byte_size() const { return element_size() * static_cast<size_t>(num_state); }
  std::string dtype_name() const { return is_double ? "complex128" : "complex64"; }

  int64_t n = 0;
  uint64_t num_state = 0;
  int is_double = 0;
  int device_id = 0;
  void* d_state = nullptr;  // storage_'s bytes

 private:
  quillmarch::DeviceBuffer<unsigned char> storage_;
};

}  // namespace vorlent
