#include "vorlent/gates/gate_common.h"

#include <stdexcept>
#include <string>

namespace vorlent {

ControlMasks build_control_masks(const std::vector<int64_t>& controls, const std::vector<int64_t>& control_state) {
  if (controls.size() != control_state.size()) throw std::invalid_argument("controls.size() != control_state.size()");
  ControlMasks m;
  for (size_t i = 0; i < controls.size(); ++i) {
    const auto c = static_cast<uint64_t>(controls[i]);
    if (c > 62) throw std::invalid_argument("control qubit index must be in [0, 62]");
    const auto s = static_cast<uint64_t>(control_state[i]);
    if (s > 1) throw std::invalid_argument("control_state must contain only 0/1");
    m.mask |= uint64_t{1} << c;
    if (s == 1) m.value |= uint64_t{1} << c;
  }
  return m;
}

void check_gate_qubits(uint64_t n, const std::vector<int64_t>& targets, const std::vector<int64_t>& controls) {
  const std::string range = " is out of range for " + std::to_string(n) + " qubits";
  uint64_t seen_targets = 0;
  for (int64_t t : targets) {
    if (t < 0 || static_cast<uint64_t>(t) >= n)
      throw std::invalid_argument("target qubit " + std::to_string(t) + range);
    const uint64_t bit = uint64_t{1} << t;
    if (seen_targets & bit) throw std::invalid_argument("target qubit " + std::to_string(t) + " is listed twice");
    seen_targets |= bit;
  }
  uint64_t seen_controls = 0;
  for (int64_t c : controls) {
    if (c < 0 || static_cast<uint64_t>(c) >= n)
      throw std::invalid_argument("control qubit " + std::to_string(c) + range);
    const uint64_t bit = uint64_t{1} << c;
    if (seen_controls & bit) throw std::invalid_argument("control qubit " + std::to_string(c) + " is listed twice");
    if (seen_targets & bit) throw std::invalid_argument("control qubit " + std::to_string(c) + " is also a target");
    seen_controls |= bit;
  }
}

OneQubitLaunch plan_one_qubit(uint64_t n, int target, const ControlMasks& masks, size_t num_controls, KernelMode mode) {
  const uint64_t t = uint64_t{1} << target;
  if (mode == KernelMode::AllState) return {OneQubitShape::AllState, uint64_t{1} << n, t, 0, 0};
  if (mode != KernelMode::PairAuto) return {OneQubitShape::Pair, uint64_t{1} << (n - 1), t, 0, 0};
  if (num_controls == 0) {
    return {target == 0 ? OneQubitShape::Target0NoControl : OneQubitShape::NoControl, uint64_t{1} << (n - 1), t, 0, 0};
  }
  const uint64_t count = uint64_t{1} << (n - 1 - num_controls);
  return {target == 0 ? OneQubitShape::Target0Compact : OneQubitShape::Compact, count, t, masks.mask | t,
          masks.value & ~t};
}

}  // namespace vorlent
