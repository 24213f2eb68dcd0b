// Fusion planner: cuts a gate list into groups that are each applied in one
// pass over the state, on the CPU and without touching a device. A group is
// the pending gates that fit on few qubits together without any of them
// overtaking an earlier gate it shares a qubit with (common/fusion_scan.h
// states the rule in full).
#pragma once

#include <array>
#include <complex>
#include <cstdint>
#include <functional>
#include <vector>

#include "vorlent/gate_record.h"
#include "vorlent/gate_table.h"

namespace vorlent {
namespace fusion {

struct FusionOptions {
  int32_t sparsesharemem_qubits = 10;
  int32_t densemm_min_qubits = 1;
  int32_t densemm_max_qubits = 7;
  double densemm_gate_threshold_scale = 1.0;
  int32_t max_gates_per_group = 512;
  bool pad_sparsesharemem = true;
  bool fuse_swap = true;
};

// One gate of a fused group, qubits given as local indices into the group's
// active list.
struct FusionMatrixRecord {
  int32_t kind = General;
  int32_t target = 0;
  int32_t target2 = -1;
  int32_t control_mask = 0;
  int32_t control_value = 0;
  std::array<std::complex<double>, 4> matrix{};  // m00, m01, m10, m11
};

enum class GroupKind : int32_t { AutoPair = 0, SparseShareMem = 1, DenseMM = 2 };

struct FusedGroup {
  GroupKind kind = GroupKind::AutoPair;
  std::vector<int64_t> gate_indices;   // ascending; exactly one for AutoPair
  std::vector<int64_t> active_qubits;  // ascending global qubits; local i = active_qubits[i]
  std::vector<FusionMatrixRecord> records;
  std::vector<std::complex<double>> dense_matrix;  // DenseMM: 2^k x 2^k, row-major
  int64_t record_offset = 0;
  int64_t matrix_offset = 0;
};

struct FusionPlan {
  std::vector<FusedGroup> groups;
  int64_t sparse_record_count = 0;
  int64_t dense_entry_count = 0;
};

// Largest active-qubit count of a DenseMM group the planner will build: its
// matrix has 4^k entries, built on the CPU and held for the chunk's life.
constexpr int32_t kMaxDenseQubits = 10;

// Plans `gates` for an n-qubit state; deterministic. `check_interrupt`, when
// given, is called now and then during long plans and may throw to stop.
FusionPlan plan_fusion_chunk(int64_t n, const std::vector<GateRecord>& gates, const FusionOptions& options,
                             const std::function<void()>& check_interrupt = {});

// The DenseMM cost score of a group of `gates` on k active qubits of an
// n-qubit state; DenseMM is chosen when it is positive.
double densemm_score(int64_t n, int64_t k, const std::vector<const GateRecord*>& gates, double threshold_scale);

// A parsed chunk and its plan, made once on the CPU and executable any number
// of times on states of the same qubit count, in either precision.
class PreparedFusionChunk {
 public:
  PreparedFusionChunk(int64_t n, std::vector<GateRecord> gates) : n_(n), gates_(std::move(gates)) {}

  void plan(const FusionOptions& options, const std::function<void()>& check_interrupt = {}) {
    plan_ = plan_fusion_chunk(n_, gates_, options, check_interrupt);
    options_ = options;
  }

  int64_t n() const { return n_; }
  int64_t gate_count() const { return static_cast<int64_t>(gates_.size()); }
  const std::vector<GateRecord>& gates() const { return gates_; }
  const FusionPlan& fusion_plan() const { return plan_; }
  const FusionOptions& options() const { return options_; }

 private:
  int64_t n_;
  std::vector<GateRecord> gates_;
  FusionPlan plan_;
  FusionOptions options_;
};

}  // namespace fusion

using fusion::FusionOptions;
using fusion::PreparedFusionChunk;

}  // namespace vorlent
