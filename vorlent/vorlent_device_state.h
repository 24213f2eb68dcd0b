// State vector of an n-qubit register in the memory of one CUDA device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/state_core.h"

namespace vorlent {

// Not copyable; a move takes over the buffer and leaves the source without
// one, a move-assignment frees the target's buffer on its own device first.
class DeviceState {
 public:
  // Allocates 2**n amplitudes on `device_id`; contents undefined.
  DeviceState(int64_t n, quillmarch::Precision precision, int device_id);
  DeviceState(const DeviceState&) = delete;
  DeviceState& operator=(const DeviceState&) = delete;
  DeviceState(DeviceState&&) noexcept = default;
  DeviceState& operator=(DeviceState&&) noexcept = default;
  ~DeviceState() = default;

  void upload_from_host(const void* host, uint64_t count, bool use_pinned_host);
  void download_to_host(void* host, uint64_t count, bool use_pinned_host) const;
  void reset_to_zero_state();
  // An independent state on the same device with the same amplitudes.
  DeviceState copy() const;

  size_t element_size() const { return core_.element_size(); }
  size_t byte_size() const { return core_.bytes(); }
  std::string dtype_name() const { return quillmarch::dtype_name(core_.precision()); }
  // The amplitudes; null once the state has been moved from.
  void* d_state() const { return core_.data(); }
  const quillmarch::StateCore& core() const { return core_; }

  int64_t n = 0;
  uint64_t num_state = 0;
  int is_double = 0;
  int device_id = 0;

 private:
  quillmarch::StateCore core_;
};

}  // namespace vorlent
