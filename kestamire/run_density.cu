#include "kestamire/run_density.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <stdexcept>

#include "common/bit_index.h"
#include "common/cuda_check.h"
#include "common/device_buffer.h"
#include "common/fusion_scan.h"
#include "kestamire/density_prepare.h"
#include "kestamire/kestamire_kraus.h"
#include "kestamire/kestamire_unitary.h"
#include "kestamire/kestamire_unitary_channel.h"

namespace quillmarch {
namespace kestamire {

bool density_fusion_enabled() {
  const char* v = std::getenv("QUILLMARCH_DENSITY_FUSION");
  return v != nullptr && v[0] != '\0' && v[0] != '0';
}

DensityFusionOptions density_fusion_options(uint64_t n) {
  DensityFusionOptions options;
  options.max_active = n > 8 ? 5 : static_cast<int32_t>(n) - 4;
  return options;
}

namespace {

using fusion_scan::ClusterScan;
using fusion_scan::local_index;
using fusion_scan::make_qubit_set;
using fusion_scan::PendingQueue;
using fusion_scan::ScanItem;

// A one-target gate (any controls) or a recognised built-in channel.
bool fusable(const DensityOperation& op, const PreparedDensityOp& prepared) {
  return op.is_kraus ? prepared.is_channel : op.targets.size() == 1;
}

// The shared-memory record of one grouped operation, from the operation's
// preparation in the state's precision.
template <typename T>
DeviceDensityGate<double> density_gate_record(const DensityOperation& op, const PreparedDensityOp& p,
                                              const std::vector<CuComplex<T>>& matrices,
                                              const std::vector<int64_t>& active) {
  DeviceDensityGate<double> gate;
  switch (prepared_kind(p)) {
    case PreparedKind::Channel:
      gate.kind = ChannelGate;
      gate.channel_kind = p.channel_kind;
      gate.parameter = p.channel_parameter;
      break;
    case PreparedKind::Kraus: throw std::runtime_error("fused Kraus is not a built-in channel");
    case PreparedKind::Identity:  // an uncontrolled global phase keeps both factors at 1
    case PreparedKind::Diagonal:
      gate.kind = DiagonalGate;
      gate.diagonal[0] = {p.diagonal0.real(), p.diagonal0.imag()};
      gate.diagonal[1] = {p.diagonal1.real(), p.diagonal1.imag()};
      break;
    case PreparedKind::Permutation: gate.kind = FlipGate; break;
    case PreparedKind::Unitary:
      if (p.targets.count != 1) throw std::runtime_error("fused unitary must be 2x2");
      gate.kind = UnitaryGate;
      for (int i = 0; i < 4; ++i) {
        const CuComplex<T>& z = matrices[static_cast<size_t>(p.matrix_offset) + i];
        gate.matrix[i] = {static_cast<double>(z.re), static_cast<double>(z.im)};
      }
      break;
  }
  gate.target = static_cast<int32_t>(local_index(active, op.targets[0]));
  gate.flip_mask = gate.kind == FlipGate ? int32_t{1} << gate.target : 0;
  for (size_t i = 0; i < op.controls.size(); ++i) {
    if (!std::binary_search(active.begin(), active.end(), op.controls[i]))
      throw std::runtime_error("control qubit outside active set");
    const int32_t bit = int32_t{1} << local_index(active, op.controls[i]);
    gate.control_mask |= bit;
    if (op.control_states[i] == 1) gate.control_value |= bit;
  }
  return gate;
}

DensityGroupKind group_kind(size_t operations, size_t width, const DensityFusionOptions& options) {
  if (operations == 1) return SingleOperation;
  if (width == 1) return OneQubitRun;
  if (static_cast<int64_t>(width) < options.min_shared) return FewQubitRun;
  return SharedMemory;
}

template <typename T>
CuComplex<T> narrow(CuComplex<double> z) {
  return {static_cast<T>(z.re), static_cast<T>(z.im)};
}

template <typename T>
DeviceDensityGate<T> convert_record(const DeviceDensityGate<double>& g) {
  DeviceDensityGate<T> out;
  out.kind = g.kind;
  out.target = g.target;
  out.control_mask = g.control_mask;
  out.control_value = g.control_value;
  for (int i = 0; i < 4; ++i) out.matrix[i] = narrow<T>(g.matrix[i]);
  for (int i = 0; i < 2; ++i) out.diagonal[i] = narrow<T>(g.diagonal[i]);
  out.flip_mask = g.flip_mask;
  out.channel_kind = g.channel_kind;
  out.parameter = static_cast<T>(g.parameter);
  return out;
}

template <typename T>
void dispatch(CuComplex<T>* rho, uint64_t dim, const PreparedDensityOp& op, const CuComplex<T>* matrices) {
  switch (prepared_kind(op)) {
    case PreparedKind::Identity: return;
    case PreparedKind::Permutation:
      launch_permutation(rho, dim, op.permutation_mask, op.control_mask, op.control_value, op.permutation_is_swap);
      return;
    case PreparedKind::Diagonal:
      launch_diagonal(rho, dim, op.target_mask, op.control_mask, op.control_value, to_cu_complex<T>(op.diagonal0),
                      to_cu_complex<T>(op.diagonal1));
      return;
    case PreparedKind::Channel:
      launch_channel(rho, dim, op.target_mask, op.channel_kind, static_cast<T>(op.channel_parameter));
      return;
    case PreparedKind::Kraus: launch_kraus(rho, dim, matrices + op.matrix_offset, op.kraus_count, op.targets); return;
    case PreparedKind::Unitary:
      launch_unitary(rho, dim, op.targets, op.control_mask, op.control_value, matrices + op.matrix_offset);
      return;
  }
}

// Several operations on one qubit: a gate directly followed by noise on its
// qubit costs one pass instead of two.
template <typename T>
void run_one_qubit_group(CuComplex<T>* rho, uint64_t dim, const DensityGroup& group,
                         const std::vector<PreparedDensityOp>& prepared, const CuComplex<T>* matrices) {
  const std::vector<int64_t>& ops = group.operations;
  for (size_t i = 0; i < ops.size(); ++i) {
    const PreparedDensityOp& op = prepared[ops[i]];
    if (i + 1 < ops.size() && prepared_kind(op) == PreparedKind::Unitary && op.targets.count == 1 &&
        op.control_mask == 0) {
      const PreparedDensityOp& next = prepared[ops[i + 1]];
      if (next.is_channel && next.target_mask == pow2(static_cast<unsigned>(op.targets.targets[0]))) {
        launch_unitary_channel(rho, dim, matrices + op.matrix_offset, next.channel_kind,
                               static_cast<T>(next.channel_parameter), op.targets);
        ++i;
        continue;
      }
    }
    dispatch(rho, dim, op, matrices);
  }
}

template <typename T>
void run_plan(CuComplex<T>* rho, uint64_t n, const std::vector<DensityGroup>& plan,
              const std::vector<PreparedDensityOp>& prepared, const CuComplex<T>* matrices,
              const DeviceDensityGate<T>* gates) {
  const uint64_t dim = uint64_t{1} << n;
  for (const DensityGroup& group : plan) {
    if (group.kind == SharedMemory) {
      uint64_t active_mask = 0;
      for (int64_t q : group.active) active_mask |= pow2(static_cast<unsigned>(q));
      const int count = static_cast<int>(group.gates.size());
      launch_density_sparsesharemem(dim, rho, active_mask, static_cast<int>(group.active.size()), gates, count);
      gates += count;
    } else if (group.kind == OneQubitRun) {
      run_one_qubit_group(rho, dim, group, prepared, matrices);
    } else {
      for (int64_t o : group.operations) dispatch(rho, dim, prepared[o], matrices);
    }
  }
}

}  // namespace

template <typename T>
std::vector<DensityGroup> plan_density_fusion(uint64_t n, const std::vector<DensityOperation>& operations,
                                              const std::vector<PreparedDensityOp>& prepared,
                                              const std::vector<CuComplex<T>>& matrices,
                                              const DensityFusionOptions& options) {
  // Each operation's qubits, ascending and distinct, back to back.
  std::vector<size_t> qubits_start;
  std::vector<int64_t> qubits;
  std::vector<char> eligible;
  qubits_start.reserve(operations.size() + 1);
  for (size_t o = 0; o < operations.size(); ++o) {
    const DensityOperation& op = operations[o];
    qubits_start.push_back(qubits.size());
    std::vector<int64_t> q(op.targets);
    q.insert(q.end(), op.controls.begin(), op.controls.end());
    make_qubit_set(q);
    qubits.insert(qubits.end(), q.begin(), q.end());
    eligible.push_back(fusable(op, prepared[o]));
  }
  qubits_start.push_back(qubits.size());
  const auto item = [&](int64_t o) {
    return ScanItem{eligible[o] != 0, qubits.data() + qubits_start[o], qubits.data() + qubits_start[o + 1]};
  };

  std::vector<DensityGroup> plan;
  const size_t window = static_cast<size_t>(std::max(options.window, 0));
  ClusterScan clusters(static_cast<int64_t>(n), window, options.max_active);
  PendingQueue pending(operations.size());
  while (!pending.empty()) {
    clusters.scan(pending.begin(), std::min(window, pending.size()), item, [] {});
    DensityGroup group;
    group.operations = clusters.select();
    pending.take(group.operations, clusters.visited());
    for (int64_t o : group.operations) {
      const ScanItem it = item(o);
      group.active.insert(group.active.end(), it.qubits_begin, it.qubits_end);
    }
    make_qubit_set(group.active);
    group.kind = group_kind(group.operations.size(), group.active.size(), options);
    if (group.kind == SharedMemory) {
      for (int64_t o : group.operations)
        group.gates.push_back(density_gate_record(operations[o], prepared[o], matrices, group.active));
    }
    plan.push_back(std::move(group));
  }
  return plan;
}

template <typename T>
void run_density_operations(CuComplex<T>* rho, uint64_t n, const std::vector<DensityOperation>& operations,
                            bool fusion) {
  std::vector<CuComplex<T>> host_matrices;
  std::vector<PreparedDensityOp> prepared;
  prepared.reserve(operations.size());
  for (const DensityOperation& op : operations) prepared.push_back(prepare_density_operation<T>(op, n, host_matrices));

  // Planning errors, like preparation errors, come before the first launch.
  const DensityFusionOptions options = density_fusion_options(n);
  const bool fused = fusion && options.max_active > 0;
  std::vector<DensityGroup> plan;
  std::vector<DeviceDensityGate<T>> host_gates;
  if (fused) {
    plan = plan_density_fusion<T>(n, operations, prepared, host_matrices, options);
    for (const DensityGroup& group : plan) {
      for (const DeviceDensityGate<double>& g : group.gates) host_gates.push_back(convert_record<T>(g));
    }
  }

  int device = 0;
  check_cuda(cudaGetDevice(&device));
  DeviceBuffer<CuComplex<T>> matrices;
  DeviceBuffer<DeviceDensityGate<T>> gates;
  if (!host_matrices.empty()) matrices = DeviceBuffer<CuComplex<T>>(host_matrices.size(), device);
  if (!host_gates.empty()) gates = DeviceBuffer<DeviceDensityGate<T>>(host_gates.size(), device);
  try {
    if (!host_matrices.empty()) upload(matrices.get(), host_matrices.data(), host_matrices.size());
    if (!host_gates.empty()) upload(gates.get(), host_gates.data(), host_gates.size());
    const uint64_t dim = uint64_t{1} << n;
    if (fused) {
      run_plan(rho, n, plan, prepared, matrices.get(), gates.get());
    } else {
      for (const PreparedDensityOp& op : prepared) dispatch(rho, dim, op, matrices.get());
    }
    check_cuda(cudaDeviceSynchronize());
    gates.release();
    matrices.release();
  } catch (...) {
    // Kernels may still read the buffers; wait before they are freed.
    cudaDeviceSynchronize();
    cudaGetLastError();
    throw;
  }
}

#define KESTAMIRE_PLAN_INSTANTIATE(T)                                                        \
  template std::vector<DensityGroup> plan_density_fusion<T>(                                 \
      uint64_t, const std::vector<DensityOperation>&, const std::vector<PreparedDensityOp>&, \
      const std::vector<CuComplex<T>>&, const DensityFusionOptions&);
KESTAMIRE_PLAN_INSTANTIATE(float)
KESTAMIRE_PLAN_INSTANTIATE(double)

template void run_density_operations<float>(CuComplex<float>*, uint64_t, const std::vector<DensityOperation>&, bool);
template void run_density_operations<double>(CuComplex<double>*, uint64_t, const std::vector<DensityOperation>&, bool);

}  // namespace kestamire
}  // namespace quillmarch
