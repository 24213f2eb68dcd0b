#include "vorlent/distributed/distributed_plan.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "vorlent/gates/gate_common.h"

namespace vorlent {
namespace distributed {

namespace {

void require_parameters(const GateRecord& r, size_t count, const char* message) {
  if (r.parameters.size() != count) throw std::invalid_argument(message);
}

// The single-device order: wide targets, a missing target, the gate id, the
// parameter count, then the launcher's own control and qubit checks.
void validate_record(uint64_t n, const GateRecord& r) {
  const size_t used = std::min<size_t>(r.id == SWAP ? 2 : 1, r.targets.size());
  for (size_t i = 0; i < used; ++i) {
    const int64_t t = r.targets[i];
    if (t < std::numeric_limits<int>::min() || t > std::numeric_limits<int>::max()) {
      build_control_masks(r.controls, r.control_state);
      check_gate_qubits(n, std::vector<int64_t>(r.targets.begin(), r.targets.begin() + used), r.controls);
    }
  }
  if (r.targets.empty() && r.id != GLOBAL_PHASE && r.id != UNITARY && r.id != SWAP)
    throw std::invalid_argument("gate '" + r.name + "' requires a target qubit");
  if (static_cast<uint32_t>(r.id) > 17) throw std::invalid_argument("Unsupported gate id");
  switch (r.id) {
    case SWAP:
      if (r.targets.size() != 2) throw std::invalid_argument("SWAP gate requires exactly two parameters.");
      build_control_masks(r.controls, r.control_state);
      check_gate_qubits(n, {static_cast<int>(r.targets[0]), static_cast<int>(r.targets[1])}, r.controls);
      return;
    case RX: require_parameters(r, 1, "RX gate requires exactly one parameter."); break;
    case RY: require_parameters(r, 1, "RY gate requires exactly one parameter."); break;
    case RZ: require_parameters(r, 1, "RZ gate requires exactly one parameter."); break;
    case PHASE: require_parameters(r, 1, "PHASE gate requires exactly one parameter."); break;
    case GLOBAL_PHASE:
      require_parameters(r, 1, "GLOBAL_PHASE gate requires exactly one parameter.");
      build_control_masks(r.controls, r.control_state);
      check_gate_qubits(n, {}, r.controls);
      return;
    case U: require_parameters(r, 3, "U gate requires exactly three parameters."); break;
    case UNITARY: {
      const size_t k = r.targets.size();
      if (k == 0) throw std::invalid_argument("UNITARY gate requires at least one target.");
      if (k >= 63 || r.matrix_dim != (int64_t{1} << k))
        throw std::invalid_argument("UNITARY matrix dimension must be 2**num_targets.");
      const auto dim = static_cast<uint64_t>(r.matrix_dim);
      if (dim > (uint64_t{1} << 31) || r.matrix.size() != dim * dim)
        throw std::invalid_argument("UNITARY matrix size mismatch.");
      build_control_masks(r.controls, r.control_state);
      for (int64_t t : r.targets) {
        if (static_cast<uint64_t>(t) > 62) throw std::invalid_argument("target qubit index must be in [0, 62]");
      }
      check_gate_qubits(n, r.targets, r.controls);
      return;
    }
    default: break;
  }
  build_control_masks(r.controls, r.control_state);
  check_gate_qubits(n, {static_cast<int>(r.targets[0])}, r.controls);
}

bool is_relabel(const GateRecord& r) { return r.id == SWAP && r.controls.empty(); }

constexpr size_t kNever = std::numeric_limits<size_t>::max();
// How far ahead the planner looks for the next use of a qubit.
constexpr size_t kLookahead = 4096;

// First gate at or after `from` that needs logical qubit q locally. Past an
// uncontrolled SWAP the labels change, so the search stops there.
size_t next_use(const std::vector<GateRecord>& records, size_t from, int64_t q) {
  const size_t end = std::min(records.size(), from + kLookahead);
  for (size_t j = from; j < end; ++j) {
    if (is_relabel(records[j])) return kNever;
    const std::vector<int64_t> need = needed_local(records[j]);
    if (std::find(need.begin(), need.end(), q) != need.end()) return j;
  }
  return kNever;
}

std::complex<double> diagonal_entry(const GateRecord& r, uint64_t index) {
  if (r.id == UNITARY) return r.matrix[index * static_cast<uint64_t>(r.matrix_dim) + index];
  std::array<std::complex<double>, 4> m;
  single_qubit_matrix(r, m);
  return index == 0 ? m[0] : m[3];
}

GateRecord phase_record(double angle, const GateRecord& from) {
  GateRecord out;
  out.id = GLOBAL_PHASE;
  out.name = "global_phase";
  out.controls = from.controls;
  out.control_state = from.control_state;
  out.parameters = {angle};
  return out;
}

}  // namespace

void validate_records(int64_t n, const std::vector<GateRecord>& records) {
  for (const GateRecord& r : records) validate_record(static_cast<uint64_t>(n), r);
}

bool is_diagonal(const GateRecord& r) {
  switch (r.id) {
    case Z:
    case S:
    case S_DAG:
    case RZ:
    case PHASE:
    case GLOBAL_PHASE: return true;
    case U: {
      std::array<std::complex<double>, 4> m;
      return single_qubit_matrix(r, m) && m[1] == 0.0 && m[2] == 0.0;
    }
    case UNITARY: {
      const auto dim = static_cast<uint64_t>(r.matrix_dim);
      if (!r.has_matrix || r.matrix.size() != dim * dim) return false;
      for (uint64_t i = 0; i < dim; ++i) {
        for (uint64_t j = 0; j < dim; ++j) {
          if (i != j && r.matrix[i * dim + j] != 0.0) return false;
        }
      }
      return true;
    }
    default: return false;
  }
}

std::vector<int64_t> needed_local(const GateRecord& r) {
  if (is_diagonal(r) || is_relabel(r)) return {};
  if (r.id == SWAP) return {r.targets[0], r.targets[1]};
  if (r.id == UNITARY) return r.targets;
  return {r.targets[0]};
}

DistributedPlan plan_distributed(int64_t n, int64_t local_qubits, std::vector<int> layout,
                                 const std::vector<GateRecord>& records) {
  const int64_t L = local_qubits;
  const int64_t g = n - L;
  for (const GateRecord& r : records) {
    const size_t width = needed_local(r).size();
    if (static_cast<int64_t>(width) > L)
      throw std::invalid_argument("gate '" + r.name + "' needs " + std::to_string(width) +
                                  " qubits held locally, but this DistributedState holds " + std::to_string(L) +
                                  " per process");
  }
  std::vector<int64_t> logical_at(static_cast<size_t>(n));
  for (int64_t q = 0; q < n; ++q) logical_at[static_cast<size_t>(layout[static_cast<size_t>(q)])] = q;

  DistributedPlan plan;
  for (size_t i = 0; i < records.size(); ++i) {
    const GateRecord& r = records[i];
    if (is_relabel(r)) {
      const auto a = static_cast<size_t>(static_cast<int>(r.targets[0]));
      const auto b = static_cast<size_t>(static_cast<int>(r.targets[1]));
      std::swap(layout[a], layout[b]);
      logical_at[static_cast<size_t>(layout[a])] = static_cast<int64_t>(a);
      logical_at[static_cast<size_t>(layout[b])] = static_cast<int64_t>(b);
      continue;
    }
    const std::vector<int64_t> need = needed_local(r);
    std::vector<int64_t> missing;
    for (int64_t q : need) {
      if (layout[static_cast<size_t>(q)] >= L) missing.push_back(q);
    }
    if (!missing.empty()) {
      // Evict the local qubits used furthest ahead; bring in what this gate
      // needs, then the global qubits needed soonest while that beats keeping
      // the evicted one.
      struct Candidate {
        int64_t q;
        size_t next;
      };
      std::vector<Candidate> evictable;
      for (int64_t p = 0; p < L; ++p) {
        const int64_t q = logical_at[static_cast<size_t>(p)];
        if (std::find(need.begin(), need.end(), q) != need.end()) continue;
        evictable.push_back({q, next_use(records, i + 1, q)});
      }
      std::stable_sort(evictable.begin(), evictable.end(),
                       [](const Candidate& a, const Candidate& b) { return a.next > b.next; });
      std::vector<Candidate> incoming;
      for (int64_t p = L; p < n; ++p) {
        const int64_t q = logical_at[static_cast<size_t>(p)];
        if (std::find(missing.begin(), missing.end(), q) != missing.end()) continue;
        const size_t next = next_use(records, i + 1, q);
        if (next != kNever) incoming.push_back({q, next});
      }
      std::stable_sort(incoming.begin(), incoming.end(),
                       [](const Candidate& a, const Candidate& b) { return a.next < b.next; });
      const size_t max_pairs = static_cast<size_t>(std::min(g, L));
      PlanStep step;
      step.kind = PlanStep::Kind::Swap;
      std::vector<std::pair<int64_t, int64_t>> swapped;  // (incoming, evicted) logical qubits
      size_t e = 0;
      for (int64_t q : missing) swapped.emplace_back(q, evictable[e++].q);
      for (const Candidate& c : incoming) {
        if (swapped.size() == max_pairs || e == evictable.size() || evictable[e].next <= c.next) break;
        swapped.emplace_back(c.q, evictable[e++].q);
      }
      for (const auto& s : swapped) {
        const auto in = static_cast<size_t>(s.first);
        const auto out = static_cast<size_t>(s.second);
        step.pairs.push_back({layout[in], layout[out]});
        std::swap(layout[in], layout[out]);
        logical_at[static_cast<size_t>(layout[in])] = s.first;
        logical_at[static_cast<size_t>(layout[out])] = s.second;
      }
      step.layout = layout;
      plan.steps.push_back(std::move(step));
    }
    PlanStep gate;
    gate.gate = r;
    GateRecord& p = gate.gate;
    // Launchers read only the targets they use; the rest may name any qubit.
    if (r.id == GLOBAL_PHASE)
      p.targets.clear();
    else if (r.id != UNITARY)
      p.targets.resize(r.id == SWAP ? 2 : 1);
    for (int64_t& t : p.targets) t = layout[static_cast<size_t>(static_cast<int>(t))];
    for (int64_t& c : p.controls) c = layout[static_cast<size_t>(c)];
    plan.steps.push_back(std::move(gate));
  }
  plan.layout = std::move(layout);
  return plan;
}

bool localize(const GateRecord& physical, int64_t local_qubits, uint64_t rank, GateRecord& out) {
  const int64_t L = local_qubits;
  const auto rank_bit = [&](int64_t p) { return static_cast<int64_t>((rank >> (p - L)) & 1); };
  out = physical;
  out.controls.clear();
  out.control_state.clear();
  for (size_t j = 0; j < physical.controls.size(); ++j) {
    const int64_t p = physical.controls[j];
    if (p < L) {
      out.controls.push_back(p);
      out.control_state.push_back(physical.control_state[j]);
    } else if (rank_bit(p) != physical.control_state[j]) {
      return false;
    }
  }
  if (!is_diagonal(physical)) return true;
  uint64_t global_value = 0;
  std::vector<int64_t> local_targets;
  std::vector<int> local_positions;  // matrix index bit of each local target
  bool any_global = false;
  for (size_t b = 0; b < physical.targets.size(); ++b) {
    const int64_t p = physical.targets[b];
    if (p < L) {
      local_targets.push_back(p);
      local_positions.push_back(static_cast<int>(b));
    } else {
      any_global = true;
      if (rank_bit(p)) global_value |= uint64_t{1} << b;
    }
  }
  if (!any_global) return true;
  if (local_targets.empty()) {
    const std::complex<double> d = diagonal_entry(physical, global_value);
    if (d == 1.0) return false;
    out = phase_record(std::arg(d), out);
    return true;
  }
  // A diagonal UNITARY with some global targets: the diagonal over the local
  // ones, at this process's values of the others.
  const uint64_t dim = uint64_t{1} << local_targets.size();
  out.targets = local_targets;
  out.matrix_dim = static_cast<int64_t>(dim);
  out.matrix.assign(static_cast<size_t>(dim * dim), 0.0);
  for (uint64_t c = 0; c < dim; ++c) {
    uint64_t full = global_value;
    for (size_t b = 0; b < local_positions.size(); ++b) full |= ((c >> b) & 1) << local_positions[b];
    out.matrix[c * dim + c] = diagonal_entry(physical, full);
  }
  return true;
}

void Digest::bytes(const void* data, size_t size) {
  const auto* p = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < size; ++i) {
    h_ ^= p[i];
    h_ *= 1099511628211ull;
  }
}

void Digest::text(const std::string& s) {
  u64(s.size());
  bytes(s.data(), s.size());
}

uint64_t digest_records(const std::string& call, const std::vector<GateRecord>& records, const std::string& endian,
                        int32_t mode) {
  Digest d;
  d.text(call);
  d.text(endian);
  d.u64(static_cast<uint64_t>(static_cast<uint32_t>(mode)));
  d.u64(records.size());
  const auto ints = [&](const std::vector<int64_t>& v) {
    d.u64(v.size());
    d.bytes(v.data(), v.size() * sizeof(int64_t));
  };
  for (const GateRecord& r : records) {
    d.u64(static_cast<uint64_t>(static_cast<uint32_t>(r.id)));
    d.text(r.name);
    ints(r.controls);
    ints(r.control_state);
    ints(r.targets);
    d.u64(r.parameters.size());
    d.bytes(r.parameters.data(), r.parameters.size() * sizeof(double));
    d.u64(r.has_matrix ? 1 : 0);
    d.u64(static_cast<uint64_t>(r.matrix_dim));
    d.u64(r.matrix.size());
    d.bytes(r.matrix.data(), r.matrix.size() * sizeof(std::complex<double>));
  }
  return d.value();
}

}  // namespace distributed
}  // namespace vorlent
