#include "vorlent/run_circuit.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "common/cuda_check.h"
#include "vorlent/gates/gate_common.h"
#include "vorlent/fusion/fusion.h"
#include "vorlent/gates/vorlent_gates.h"

namespace vorlent {

template <typename T>
void run_gates_on_device(uint64_t n, quillmarch::CuComplex<T>* d_state, uint64_t num_state,
                         const std::vector<GateRecord>& records, const std::string&, int device_id,
                         KernelMode mode) {
  if (n >= 64 || num_state != (uint64_t{1} << n)) throw std::invalid_argument("state size does not match 2**n");
  quillmarch::check_cuda(cudaSetDevice(device_id));
  run_gate_list<T>(n, d_state, records, mode);
}

template <typename T>
void run_gate_list(uint64_t n, quillmarch::CuComplex<T>* d_state, const std::vector<GateRecord>& records,
                   KernelMode mode) {
  if (records.empty()) return;
  if (mode == KernelMode::PairAutoFusion) {
    const auto n64 = static_cast<int64_t>(n);
    const fusion::FusionPlan plan = fusion::plan_fusion_chunk(n64, records, fusion::FusionOptions{});
    const fusion::FusionWorkspace<T> workspace = fusion::build_workspace<T>(n64, plan);
    fusion::run_fused_groups<T>(n64, d_state, records, plan, workspace);
    return;
  }
  for (const GateRecord& r : records) apply_gate<T>(n, d_state, r, mode);
}

namespace {

void require_parameters(const GateRecord& r, size_t count, const char* message) {
  if (r.parameters.size() != count) throw std::invalid_argument(message);
}

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

}  // namespace

template <typename T>
void apply_gate(uint64_t n, quillmarch::CuComplex<T>* d_state, const GateRecord& record, KernelMode mode) {
  reject_wide_targets(n, record, record.id == SWAP ? 2 : 1);
  if (record.targets.empty() && record.id != GLOBAL_PHASE && record.id != UNITARY && record.id != SWAP)
    throw std::invalid_argument("gate '" + record.name + "' requires a target qubit");
  const int target = record.targets.empty() ? -1 : static_cast<int>(record.targets[0]);
  const Qubits controls = record.controls;
  const Qubits& states = record.control_state;
  const cudaStream_t stream = nullptr;
  const auto angle = [&](size_t i) { return static_cast<T>(record.parameters[i]); };
  if (static_cast<uint32_t>(record.id) > 17) throw std::invalid_argument("Unsupported gate id");
  switch (record.id) {
    case X: cu_x(n, d_state, target, controls, states, stream, mode); break;
    case Y: cu_y(n, d_state, target, controls, states, stream, mode); break;
    case Z: cu_z(n, d_state, target, controls, states, stream, mode); break;
    case H: cu_h(n, d_state, target, controls, states, stream, mode); break;
    case S: cu_s(n, d_state, target, controls, states, stream, mode); break;
    case S_DAG: cu_sdag(n, d_state, target, controls, states, stream, mode); break;
    case SQRTX: cu_sqrtx(n, d_state, target, controls, states, stream, mode); break;
    case SQRTX_DAG: cu_sqrtxdag(n, d_state, target, controls, states, stream, mode); break;
    case SQRTY: cu_sqrty(n, d_state, target, controls, states, stream, mode); break;
    case SQRTY_DAG: cu_sqrtydag(n, d_state, target, controls, states, stream, mode); break;
    case SWAP:
      if (record.targets.size() != 2) throw std::invalid_argument("SWAP gate requires exactly two parameters.");
      cu_swap(n, d_state, static_cast<int>(record.targets[0]), static_cast<int>(record.targets[1]), controls, states,
              stream, mode);
      break;
    case RX:
      require_parameters(record, 1, "RX gate requires exactly one parameter.");
      cu_rx(n, d_state, target, controls, states, stream, angle(0), mode);
      break;
    case RY:
      require_parameters(record, 1, "RY gate requires exactly one parameter.");
      cu_ry(n, d_state, target, controls, states, stream, angle(0), mode);
      break;
    case RZ:
      require_parameters(record, 1, "RZ gate requires exactly one parameter.");
      cu_rz(n, d_state, target, controls, states, stream, angle(0), mode);
      break;
    case PHASE:
      require_parameters(record, 1, "PHASE gate requires exactly one parameter.");
      cu_phase(n, d_state, target, controls, states, stream, angle(0), mode);
      break;
    case GLOBAL_PHASE:
      require_parameters(record, 1, "GLOBAL_PHASE gate requires exactly one parameter.");
      cu_global_phase(n, d_state, controls, states, stream, mode, angle(0));
      break;
    case U:
      require_parameters(record, 3, "U gate requires exactly three parameters.");
      cu_u(n, d_state, target, controls, states, stream, angle(0), angle(1), angle(2), mode);
      break;
    case UNITARY:
      cu_unitary(n, d_state, record.targets, controls, states, record.matrix, record.matrix_dim, stream, mode);
      break;
  }
  quillmarch::check_last_error();
}

#define VORLENT_RUNNER_INSTANTIATE(T)                                                                        \
  template void run_gates_on_device<T>(uint64_t, quillmarch::CuComplex<T>*, uint64_t,                        \
                                       const std::vector<GateRecord>&, const std::string&, int, KernelMode); \
  template void run_gate_list<T>(uint64_t, quillmarch::CuComplex<T>*, const std::vector<GateRecord>&,       \
                                 KernelMode);                                                                \
  template void apply_gate<T>(uint64_t, quillmarch::CuComplex<T>*, const GateRecord&, KernelMode);
VORLENT_RUNNER_INSTANTIATE(float)
VORLENT_RUNNER_INSTANTIATE(double)

}  // namespace vorlent
