#include "vorlent/run_circuit.h"

#include <stdexcept>

#include "common/cuda_check.h"
#include "vorlent/fusion/fusion.h"
#include "vorlent/gate_dispatch.h"

namespace vorlent {

template <typename T>
void run_gates_on_device(uint64_t n, quillmarch::CuComplex<T>* d_state, uint64_t num_state,
                         const std::vector<GateRecord>& records, const std::string&, int device_id, KernelMode mode) {
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
    // The queued groups read the workspace's records and matrices.
    quillmarch::check_cuda(cudaStreamSynchronize(nullptr));
    return;
  }
  for (const GateRecord& r : records) apply_gate<T>(n, d_state, r, mode);
}

#define VORLENT_RUNNER_INSTANTIATE(T)                                                                                 \
  template void run_gates_on_device<T>(uint64_t, quillmarch::CuComplex<T>*, uint64_t, const std::vector<GateRecord>&, \
                                       const std::string&, int, KernelMode);                                          \
  template void run_gate_list<T>(uint64_t, quillmarch::CuComplex<T>*, const std::vector<GateRecord>&, KernelMode);
VORLENT_RUNNER_INSTANTIATE(float)
VORLENT_RUNNER_INSTANTIATE(double)

}  // namespace vorlent
