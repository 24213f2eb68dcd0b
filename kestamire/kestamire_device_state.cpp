#include "kestamire/kestamire_device_state.h"

#include <stdexcept>

namespace quillmarch {
namespace kestamire {

namespace {

uint64_t checked_dimension(uint64_t n) {
  check_density_qubits(n);
  return uint64_t{1} << n;
}

}  // namespace

void check_density_qubits(uint64_t n) {
  if (n > 15) throw std::invalid_argument("num_qubits must be in [0, 15] for the GPU density backend");
}

DeviceDensityState::DeviceDensityState(uint64_t n, Precision precision, int device)
    : num_qubits(n),
      dimension(checked_dimension(n)),
      size(dimension << n),
      dtype(precision_flag(precision)),
      device_id(device),
      core_(size, precision, device, "state size does not match DeviceDensityState size") {}

void DeviceDensityState::reset() { core_.set_basis_zero(); }

void DeviceDensityState::upload(const void* host, uint64_t count, bool pin) { core_.upload(host, count, pin); }

void DeviceDensityState::download(void* host, uint64_t count, bool pin) const { core_.download(host, count, pin); }

DeviceDensityState DeviceDensityState::copy() const {
  DeviceDensityState out(num_qubits, core_.precision(), device_id);
  out.core_.copy_from(core_);
  return out;
}

}  // namespace kestamire
}  // namespace quillmarch
