// Gate fusion: planning gate chunks into fused groups and running them.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "common/cu_complex.h"
#include "vorlent/gate_record.h"

namespace vorlent {

struct FusionOptions {
  int32_t sparsesharemem_qubits = 10;
  int32_t densemm_min_qubits = 1;
  int32_t densemm_max_qubits = 7;
  double densemm_gate_threshold_scale = 1.0;
  int32_t max_gates_per_group = 512;
  bool pad_sparsesharemem = true;
  bool fuse_swap = true;
};

struct FusionPlan;

// A parsed chunk and its plan, made on the CPU and executable many times on
// any state of the same qubit count.
class PreparedFusionChunk {
 public:
  PreparedFusionChunk(int64_t n, std::vector<GateRecord> records);
  ~PreparedFusionChunk();

  void plan(const FusionOptions& options);

  int64_t n() const { return n_; }
  int64_t gate_count() const { return static_cast<int64_t>(records_.size()); }
  const std::vector<GateRecord>& records() const { return records_; }

 private:
  int64_t n_;
  std::vector<GateRecord> records_;
  std::unique_ptr<FusionPlan> plan_;
};

// Runs a planned chunk on the state and waits for the device.
template <typename T>
void execute_prepared_fusion_chunk(const PreparedFusionChunk& chunk, quillmarch::CuComplex<T>* d_state,
                                   int device_id);

}  // namespace vorlent
