// The gate table: one row per GateId, the one place that says how a gate is
// named, which 2x2 matrix it stands for, how the per-gate path launches it and
// how the fused path records and charges it. The parsers, single_qubit_matrix,
// the per-gate dispatch and the fusion planner all read it.
#pragma once

#include <array>
#include <complex>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "common/cu_complex.h"
#include "common/cuda_api.h"
#include "vorlent/gate_record.h"

namespace vorlent {

namespace fusion {

// Values are fixed: the shared-memory kernel branches on them.
enum MatrixKind : int32_t {
  General = 0,
  PauliX = 1,
  PauliY = 2,
  Hadamard = 3,
  Diagonal = 4,
  RotationX = 5,
  RotationY = 6,
  Swap = 7,
};

}  // namespace fusion

using Matrix2 = std::array<std::complex<double>, 4>;  // m00, m01, m10, m11
using Qubits = std::vector<int64_t>;

// The launcher signature a gate's dispatch calls.
enum class LaunchForm : int32_t {
  Fixed,        // (n, state, target, controls, control_state, stream, mode)
  Angle,        // (n, state, target, controls, control_state, stream, angle, mode)
  ThreeAngles,  // cu_u: (..., theta, phi, lambda, mode)
  Swap,         // cu_swap: two targets
  GlobalPhase,  // cu_global_phase: no target, the angle last
  Unitary,      // cu_unitary: all targets and the matrix
};

template <typename T>
using FixedLauncher = void (*)(uint64_t, quillmarch::CuComplex<T>*, int, Qubits, const Qubits&, cudaStream_t,
                               KernelMode);
template <typename T>
using AngleLauncher = void (*)(uint64_t, quillmarch::CuComplex<T>*, int, Qubits, const Qubits&, cudaStream_t, T,
                               KernelMode);

// One launcher per precision.
template <template <typename> class L>
struct Launchers {
  L<float> single = nullptr;
  L<double> dual = nullptr;

  template <typename T>
  L<T> get() const {
    if constexpr (std::is_same_v<T, float>)
      return single;
    else
      return dual;
  }
};

struct GateInfo {
  GateId id;
  std::array<const char*, 4> names;  // accepted names; unused slots null
  LaunchForm form;
  // Parameters the dispatch requires, -1 for no check, and its message when
  // they are missing. SWAP counts its targets with it instead.
  int32_t parameter_count;
  const char* count_message;
  // The matrix of a one-target record; null for gates that have none.
  bool (*matrix)(const GateRecord& record, Matrix2& out);
  fusion::MatrixKind fused_kind;
  // Column of the DenseMM cost row charged for the gate: 1, 2 and 7 are free
  // (X, Y, SWAP), 3 Hadamard, 4 diagonal, 5 X/Y rotation, 6 a general gate.
  int32_t cost_column;
  Launchers<FixedLauncher> fixed;  // LaunchForm::Fixed
  Launchers<AngleLauncher> angle;  // LaunchForm::Angle
};

// The row of `id`; null for a value outside the table.
const GateInfo* find_gate(GateId id);

}  // namespace vorlent
