// Gate records: the one gate form read by the runner, the launchers and the
// fusion planner, and the operations on it that the gate table serves.
#pragma once

#include <array>
#include <complex>
#include <cstdint>
#include <string>
#include <vector>

namespace vorlent {

enum class KernelMode : int32_t { AllState = 0, Pair = 1, PairAuto = 2, PairAutoFusion = 3 };

enum GateId : int32_t {
  X = 0,
  Y = 1,
  Z = 2,
  H = 3,
  S = 4,
  S_DAG = 5,
  SQRTX = 6,
  SQRTX_DAG = 7,
  SQRTY = 8,
  SQRTY_DAG = 9,
  SWAP = 10,
  RX = 11,
  RY = 12,
  RZ = 13,
  PHASE = 14,
  GLOBAL_PHASE = 15,
  U = 16,
  UNITARY = 17,
};

// Rows of the gate table (vorlent/gate_table.h): every GateId below this.
constexpr int32_t kGateCount = UNITARY + 1;

struct GateRecord {
  GateId id = X;
  std::string name;
  std::vector<int64_t> controls;
  std::vector<int64_t> control_state;
  std::vector<int64_t> targets;
  std::vector<double> parameters;
  std::vector<std::complex<double>> matrix;  // row-major, matrix_dim * matrix_dim
  int64_t matrix_dim = 0;
  bool has_matrix = false;
};

// Throws invalid_argument "Unsupported CUDA gate id: <name>" for unknown names.
GateId gate_id_from_name(const std::string& name);

// "t"/"ct"/"mct" become PHASE(pi/4) and "t_dag" PHASE(-pi/4), named "phase".
void apply_t_renaming(GateRecord& record);

// Checks shared by both parsers once the matrix is loaded.
void check_unitary_record(const GateRecord& record);

// Sorted, duplicate-free union of targets and controls.
std::vector<int64_t> touched_qubits(const GateRecord& record);

// The record's 2x2 matrix (m00, m01, m10, m11), or false when it has none.
bool single_qubit_matrix(const GateRecord& record, std::array<std::complex<double>, 4>& out);

}  // namespace vorlent
