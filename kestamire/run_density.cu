#include "kestamire/run_density.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <stdexcept>

#include "common/bit_index.h"
#include "common/cuda_check.h"
#include "common/device_buffer.h"
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

using OperationSet = std::vector<int64_t>;  // ascending operation indices

OperationSet set_union(const OperationSet& a, const OperationSet& b) {
  OperationSet out;
  out.reserve(a.size() + b.size());
  std::set_union(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
  return out;
}

OperationSet set_difference(const OperationSet& a, const OperationSet& b) {
  OperationSet out;
  std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
  return out;
}

int popcount(uint64_t mask) {
  int count = 0;
  for (; mask != 0; mask &= mask - 1) ++count;
  return count;
}

// A one-target gate (any controls) or a recognised built-in channel.
bool fusable(const DensityOperation& op) {
  if (op.is_kraus) {
    int kind = 0;
    double parameter = 0;
    return recognize_channel(op, kind, parameter);
  }
  return op.targets.size() == 1;
}

// The operation's targets and controls as a qubit mask; false when one of them
// lies outside the register.
bool qubit_mask(const DensityOperation& op, uint64_t n, uint64_t& mask) {
  mask = 0;
  bool in_range = true;
  auto add = [&](int64_t q) {
    if (q < 0 || static_cast<uint64_t>(q) >= n) in_range = false;
    else mask |= pow2(static_cast<unsigned>(q));
  };
  for (int64_t q : op.targets) add(q);
  for (int64_t q : op.controls) add(q);
  return in_range;
}

// Scan and selection over the unplanned operations; the selected set, empty
// when the first remaining operation cannot be grouped.
OperationSet select_group(uint64_t n, const std::vector<DensityOperation>& operations, const OperationSet& remaining,
                          const DensityFusionOptions& options) {
  std::vector<OperationSet> sets(n);
  std::vector<uint64_t> masks(n, 0);
  uint64_t closed = 0;
  int32_t examined = 0;
  for (int64_t o : remaining) {
    if (examined == options.window || !fusable(operations[o])) break;
    ++examined;
    uint64_t qubits = 0;
    const bool in_range = qubit_mask(operations[o], n, qubits);
    uint64_t joined = qubits;
    for (uint64_t q = 0; q < n; ++q) {
      if (qubits & pow2(static_cast<unsigned>(q))) joined |= masks[q];
    }
    if (!in_range || (qubits & closed) != 0 || popcount(joined) > options.max_active) {
      // Later operations on these qubits may not jump ahead of this one.
      closed |= qubits;
      continue;
    }
    OperationSet joined_ops{o};
    for (uint64_t q = 0; q < n; ++q) {
      if (qubits & pow2(static_cast<unsigned>(q))) joined_ops = set_union(joined_ops, sets[q]);
    }
    for (uint64_t q = 0; q < n; ++q) {
      if (!(qubits & pow2(static_cast<unsigned>(q)))) continue;
      sets[q] = joined_ops;
      masks[q] = joined;
    }
  }

  OperationSet group;
  uint64_t active = 0;
  uint64_t selected = 0;
  for (;;) {
    int64_t best = -1;
    for (uint64_t q = 0; q < n; ++q) {
      if ((selected & pow2(static_cast<unsigned>(q))) || sets[q].empty()) continue;
      if (popcount(active | masks[q]) > options.max_active) continue;
      if (best < 0 || sets[q].size() > sets[best].size()) best = static_cast<int64_t>(q);
    }
    if (best < 0) break;
    const OperationSet taken = sets[best];
    group = set_union(group, taken);
    active |= masks[best];
    selected |= pow2(static_cast<unsigned>(best));
    for (uint64_t p = 0; p < n; ++p) {
      if (selected & pow2(static_cast<unsigned>(p))) continue;
      if ((masks[p] & ~active) == 0) {
        group = set_union(group, sets[p]);
        selected |= pow2(static_cast<unsigned>(p));
      } else {
        sets[p] = set_difference(sets[p], taken);
      }
    }
  }
  return group;
}

int32_t local_index(const std::vector<int64_t>& active, int64_t qubit) {
  return static_cast<int32_t>(std::lower_bound(active.begin(), active.end(), qubit) - active.begin());
}

// The shared-memory record of one grouped operation, built in double
// precision from the operation's own preparation.
DeviceDensityGate<double> density_gate_record(const DensityOperation& op, uint64_t n,
                                              const std::vector<int64_t>& active) {
  std::vector<CuComplex<double>> matrix;
  const PreparedDensityOp p = prepare_density_operation<double>(op, n, matrix);
  DeviceDensityGate<double> gate;
  if (op.is_kraus) {
    if (!p.is_channel) throw std::runtime_error("fused Kraus is not a built-in channel");
    gate.kind = 3;
    gate.channel_kind = p.channel_kind;
    gate.parameter = p.channel_parameter;
  } else if (p.is_identity || p.is_diagonal) {
    // An uncontrolled global phase keeps both factors at 1.
    gate.kind = 1;
    gate.diagonal[0] = {p.diagonal0.real(), p.diagonal0.imag()};
    gate.diagonal[1] = {p.diagonal1.real(), p.diagonal1.imag()};
  } else if (p.is_permutation) {
    gate.kind = 2;
  } else {
    if (matrix.size() - static_cast<size_t>(p.matrix_offset) != 4)
      throw std::runtime_error("fused unitary must be 2x2");
    gate.kind = 0;
    std::copy(matrix.begin() + p.matrix_offset, matrix.end(), gate.matrix);
  }
  gate.target = local_index(active, op.targets[0]);
  gate.flip_mask = gate.kind == 2 ? int32_t{1} << gate.target : 0;
  for (size_t i = 0; i < op.controls.size(); ++i) {
    if (!std::binary_search(active.begin(), active.end(), op.controls[i]))
      throw std::runtime_error("control qubit outside active set");
    const int32_t bit = int32_t{1} << local_index(active, op.controls[i]);
    gate.control_mask |= bit;
    if (op.control_states[i] == 1) gate.control_value |= bit;
  }
  return gate;
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

bool is_general_unitary(const PreparedDensityOp& op) {
  return !op.is_kraus && !op.is_identity && !op.is_permutation && !op.is_diagonal && !op.is_channel;
}

template <typename T>
void dispatch(CuComplex<T>* rho, uint64_t dim, const PreparedDensityOp& op, const CuComplex<T>* matrices) {
  if (op.is_identity) return;
  if (op.is_permutation) {
    launch_permutation(rho, dim, op.permutation_mask, op.control_mask, op.control_value, op.permutation_is_swap);
  } else if (op.is_diagonal) {
    launch_diagonal(rho, dim, op.target_mask, op.control_mask, op.control_value, to_cu_complex<T>(op.diagonal0),
                    to_cu_complex<T>(op.diagonal1));
  } else if (op.is_channel) {
    launch_channel(rho, dim, op.target_mask, op.channel_kind, static_cast<T>(op.channel_parameter));
  } else if (op.is_kraus) {
    launch_kraus(rho, dim, matrices + op.matrix_offset, op.kraus_count, op.targets);
  } else {
    launch_unitary(rho, dim, op.targets, op.control_mask, op.control_value, matrices + op.matrix_offset);
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
    if (i + 1 < ops.size() && is_general_unitary(op) && op.targets.count == 1 && op.control_mask == 0) {
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

std::vector<DensityGroup> plan_density_fusion(uint64_t n, const std::vector<DensityOperation>& operations,
                                              const DensityFusionOptions& options) {
  std::vector<DensityGroup> plan;
  OperationSet remaining(operations.size());
  for (size_t i = 0; i < remaining.size(); ++i) remaining[i] = static_cast<int64_t>(i);
  while (!remaining.empty()) {
    DensityGroup group;
    group.operations = select_group(n, operations, remaining, options);
    if (group.operations.empty()) group.operations.push_back(remaining.front());
    uint64_t active = 0;
    for (int64_t o : group.operations) {
      uint64_t qubits = 0;
      qubit_mask(operations[o], n, qubits);
      active |= qubits;
    }
    for (uint64_t q = 0; q < n; ++q) {
      if (active & pow2(static_cast<unsigned>(q))) group.active.push_back(static_cast<int64_t>(q));
    }
    const auto width = static_cast<int32_t>(group.active.size());
    if (group.operations.size() == 1) group.kind = SingleOperation;
    else if (width == 1) group.kind = OneQubitRun;
    else if (width < options.min_shared) group.kind = FewQubitRun;
    else group.kind = SharedMemory;
    if (group.kind == SharedMemory) {
      for (int64_t o : group.operations) group.gates.push_back(density_gate_record(operations[o], n, group.active));
    }
    remaining = set_difference(remaining, group.operations);
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
    plan = plan_density_fusion(n, operations, options);
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

template void run_density_operations<float>(CuComplex<float>*, uint64_t, const std::vector<DensityOperation>&, bool);
template void run_density_operations<double>(CuComplex<double>*, uint64_t, const std::vector<DensityOperation>&,
                                             bool);

}  // namespace kestamire
}  // namespace quillmarch
