// Density operations: the parsed form of a Python operation object, and the
// prepared form the executor and kernels consume.
#pragma once

#include <complex>
#include <cstdint>
#include <string>
#include <vector>

namespace quillmarch {
namespace density {

enum ChannelKind : int {
  BitFlip = 1,
  PhaseFlip = 2,
  Depolarizing = 3,
  AmplitudeDamping = 4,
  PhaseDamping = 5,
};

}  // namespace density

namespace kestamire {

struct DensityOperation {
  int32_t is_kraus = 0;
  std::string name;  // as supplied; empty for Kraus
  std::vector<int64_t> targets;
  std::vector<int64_t> controls;
  std::vector<int64_t> control_states;
  std::vector<double> parameters;
  std::vector<std::complex<double>> stored_matrix;  // row-major
  bool has_stored_matrix = false;
  std::string channel_name;
  int64_t kraus_dimension = 0;
  int64_t kraus_count = 0;
  std::vector<std::complex<double>> kraus_matrices;  // kraus_count matrices, row-major, consecutive
};

// Passed by value to kernels. Local bit j of a target block is qubit
// targets[j]; bit j of a compact index of the other qubits is others[j].
struct DeviceTargets {
  int64_t count = 0;
  int64_t other_count = 0;
  int64_t targets[6] = {0, 0, 0, 0, 0, 0};
  int64_t others[15] = {0};
};

struct PreparedDensityOp {
  int32_t is_kraus = 0;
  DeviceTargets targets;
  uint64_t control_mask = 0;
  uint64_t control_value = 0;
  int64_t kraus_count = 0;
  int64_t matrix_offset = 0;
  bool is_diagonal = false;
  bool is_identity = false;
  uint64_t target_mask = 0;
  std::complex<double> diagonal0{1, 0};
  std::complex<double> diagonal1{1, 0};
  bool is_permutation = false;
  uint64_t permutation_mask = 0;
  bool permutation_is_swap = false;
  bool is_channel = false;
  int channel_kind = 0;
  double channel_parameter = 0;
};

// What the executor does with a prepared operation: the first of its flags
// that holds, in this order, names it.
enum class PreparedKind { Identity, Permutation, Diagonal, Channel, Kraus, Unitary };

inline PreparedKind prepared_kind(const PreparedDensityOp& op) {
  if (op.is_identity) return PreparedKind::Identity;
  if (op.is_permutation) return PreparedKind::Permutation;
  if (op.is_diagonal) return PreparedKind::Diagonal;
  if (op.is_channel) return PreparedKind::Channel;
  if (op.is_kraus) return PreparedKind::Kraus;
  return PreparedKind::Unitary;
}

// Record kinds of a shared-memory group (the `kind` of DeviceDensityGate);
// values are fixed, the kernel branches on them.
enum DensityGateKind : int32_t {
  UnitaryGate = 0,   // general 2 x 2 unitary
  DiagonalGate = 1,  // d0, d1
  FlipGate = 2,      // X
  ChannelGate = 3,   // built-in channel
};

}  // namespace kestamire
}  // namespace quillmarch
