// Dense density matrix of up to 15 qubits in the memory of one CUDA device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/state_core.h"

namespace quillmarch {
namespace kestamire {

// Not copied implicitly (copy() is the explicit deep copy); a move takes over
// the buffer and leaves the source without one, a move-assignment frees the
// target's buffer on its own device first.
class DeviceDensityState {
 public:
  // Allocates the 2**n x 2**n matrix on `device_id`; contents unset.
  DeviceDensityState(uint64_t n, Precision precision, int device_id);
  DeviceDensityState(const DeviceDensityState&) = delete;
  DeviceDensityState& operator=(const DeviceDensityState&) = delete;
  DeviceDensityState(DeviceDensityState&&) noexcept = default;
  DeviceDensityState& operator=(DeviceDensityState&&) noexcept = default;
  ~DeviceDensityState() = default;

  // The projector onto the all-zero basis state.
  void reset();
  void upload(const void* host, uint64_t count, bool pin);
  void download(void* host, uint64_t count, bool pin) const;
  // An independent deep copy on the same device.
  DeviceDensityState copy() const;

  size_t element_width() const { return core_.element_size(); }
  size_t byte_size() const { return core_.bytes(); }
  std::string dtype_name() const { return quillmarch::dtype_name(core_.precision()); }
  // The matrix entries; null once the state has been moved from.
  void* data() const { return core_.data(); }
  const StateCore& core() const { return core_; }

  uint64_t num_qubits = 0;
  uint64_t dimension = 0;
  uint64_t size = 0;
  int dtype = 0;  // 0: complex64, 1: complex128
  int device_id = 0;

 private:
  StateCore core_;
};

// Throws "num_qubits must be in [0, 15] for the GPU density backend".
void check_density_qubits(uint64_t n);

}  // namespace kestamire
}  // namespace quillmarch
