#include "vorlent/gate_dispatch.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "common/cuda_check.h"
#include "vorlent/gate_table.h"
#include "vorlent/gates/gate_common.h"
#include "vorlent/gates/vorlent_gates.h"

namespace vorlent {

namespace {

// Launchers take targets as int; a wider value must be refused, not wrapped
// into range. The control checks keep their place ahead of the target check.
void reject_wide_targets(uint64_t n, const GateRecord& r, size_t used) {
  const size_t count = std::min(used, r.targets.size());
  for (size_t i = 0; i < count; ++i) {
    const int64_t t = r.targets[i];
    if (t < std::numeric_limits<int>::min() || t > std::numeric_limits<int>::max()) {
      build_control_masks(r.controls, r.control_state);
      check_gate_qubits(n, std::vector<int64_t>(r.targets.begin(), r.targets.begin() + count), r.controls);
    }
  }
}

// Forms whose launcher takes the record's first target.
bool takes_first_target(LaunchForm form) {
  return form == LaunchForm::Fixed || form == LaunchForm::Angle || form == LaunchForm::ThreeAngles;
}

}  // namespace

template <typename T>
void apply_gate(uint64_t n, quillmarch::CuComplex<T>* d_state, const GateRecord& record, KernelMode mode) {
  const GateInfo* gate = find_gate(record.id);
  // An id outside the table is refused below, after the target checks.
  const LaunchForm form = gate != nullptr ? gate->form : LaunchForm::Fixed;
  reject_wide_targets(n, record, form == LaunchForm::Swap ? 2 : 1);
  if (record.targets.empty() && takes_first_target(form))
    throw std::invalid_argument("gate '" + record.name + "' requires a target qubit");
  const int target = record.targets.empty() ? -1 : static_cast<int>(record.targets[0]);
  const Qubits controls = record.controls;
  const Qubits& states = record.control_state;
  const cudaStream_t stream = nullptr;
  const auto angle = [&](size_t i) { return static_cast<T>(record.parameters[i]); };
  if (gate == nullptr) throw std::invalid_argument("Unsupported gate id");
  if (gate->parameter_count >= 0 && record.parameters.size() != static_cast<size_t>(gate->parameter_count))
    throw std::invalid_argument(gate->count_message);
  switch (form) {
    case LaunchForm::Fixed: gate->fixed.get<T>()(n, d_state, target, controls, states, stream, mode); break;
    case LaunchForm::Angle: gate->angle.get<T>()(n, d_state, target, controls, states, stream, angle(0), mode); break;
    case LaunchForm::ThreeAngles:
      cu_u(n, d_state, target, controls, states, stream, angle(0), angle(1), angle(2), mode);
      break;
    case LaunchForm::Swap:
      if (record.targets.size() != 2) throw std::invalid_argument(gate->count_message);
      cu_swap(n, d_state, static_cast<int>(record.targets[0]), static_cast<int>(record.targets[1]), controls, states,
              stream, mode);
      break;
    case LaunchForm::GlobalPhase: cu_global_phase(n, d_state, controls, states, stream, mode, angle(0)); break;
    case LaunchForm::Unitary:
      cu_unitary(n, d_state, record.targets, controls, states, record.matrix, record.matrix_dim, stream, mode);
      break;
  }
  quillmarch::check_last_error();
}

template void apply_gate<float>(uint64_t, quillmarch::CuComplex<float>*, const GateRecord&, KernelMode);
template void apply_gate<double>(uint64_t, quillmarch::CuComplex<double>*, const GateRecord&, KernelMode);

}  // namespace vorlent
