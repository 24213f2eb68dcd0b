#include "vorlent/vorlent_device_state.h"

namespace vorlent {

namespace {

uint64_t amplitude_count(int64_t n) {
  quillmarch::check_state_qubits(n);
  return uint64_t{1} << n;
}

}  // namespace

DeviceState::DeviceState(int64_t n_qubits, quillmarch::Precision precision, int device)
    : n(n_qubits),
      num_state(amplitude_count(n_qubits)),
      is_double(quillmarch::precision_flag(precision)),
      device_id(device),
      core_(num_state, precision, device, "state size does not match DeviceState size") {}

void DeviceState::upload_from_host(const void* host, uint64_t count, bool use_pinned_host) {
  core_.upload(host, count, use_pinned_host);
}

void DeviceState::download_to_host(void* host, uint64_t count, bool use_pinned_host) const {
  core_.download(host, count, use_pinned_host);
}

void DeviceState::reset_to_zero_state() { core_.set_basis_zero(); }

DeviceState DeviceState::copy() const {
  DeviceState out(n, core_.precision(), device_id);
  out.core_.copy_from(core_);
  return out;
}

}  // namespace vorlent
