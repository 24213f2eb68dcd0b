#include "vorlent/gate_record.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <stdexcept>
#include <unordered_map>

#include "common/parsers.h"
#include "vorlent/gate_table.h"
#include "vorlent/gates/vorlent_gates.h"

namespace vorlent {

namespace {

using C = std::complex<double>;

constexpr double kHalfSqrt2 = 0.7071067811865475;

bool fixed(Matrix2& out, const Matrix2& m) {
  out = m;
  return true;
}

bool rx_matrix(const GateRecord& r, Matrix2& out) {
  if (r.parameters.size() != 1) return false;
  double s, c;
  sincos(r.parameters[0] / 2, &s, &c);
  out = {C(c, 0), C(0, -s), C(0, -s), C(c, 0)};
  return true;
}

bool ry_matrix(const GateRecord& r, Matrix2& out) {
  if (r.parameters.size() != 1) return false;
  double s, c;
  sincos(r.parameters[0] / 2, &s, &c);
  out = {C(c, 0), C(-s, 0), C(s, 0), C(c, 0)};
  return true;
}

bool rz_matrix(const GateRecord& r, Matrix2& out) {
  if (r.parameters.size() != 1) return false;
  double s, c;
  sincos(r.parameters[0] / 2, &s, &c);
  out = {C(c, std::sin(-r.parameters[0] / 2)), C(0, 0), C(0, 0), C(c, s)};
  return true;
}

bool phase_matrix(const GateRecord& r, Matrix2& out) {
  if (r.parameters.size() != 1) return false;
  double s, c;
  sincos(r.parameters[0], &s, &c);
  out = {C(1, 0), C(0, 0), C(0, 0), C(c, s)};
  return true;
}

bool u_matrix(const GateRecord& r, Matrix2& out) {
  const auto& p = r.parameters;
  if (p.size() != 3) return false;
  double s, c, sp, cp, sl, cl, spl, cpl;
  sincos(p[0] / 2, &s, &c);
  sincos(p[1], &sp, &cp);
  sincos(p[2], &sl, &cl);
  sincos(p[1] + p[2], &spl, &cpl);
  out = {C(c, 0), -C(cl, sl) * s, C(cp, sp) * s, C(cpl, spl) * c};
  return true;
}

bool unitary_matrix(const GateRecord& r, Matrix2& out) {
  if (r.matrix_dim != 2 || r.matrix.size() != 4) return false;
  std::copy(r.matrix.begin(), r.matrix.end(), out.begin());
  return true;
}

using fusion::MatrixKind;
using LF = LaunchForm;

// Rows in GateId order; find_gate indexes by id.
constexpr GateInfo kGateTable[] = {
    {X,
     {"x", "cx", "mcx"},
     LF::Fixed,
     -1,
     nullptr,
     [](const GateRecord&, Matrix2& m) { return fixed(m, {C(0, 0), C(1, 0), C(1, 0), C(0, 0)}); },
     fusion::PauliX,
     1,
     {cu_x, cu_x},
     {}},
    {Y,
     {"y", "cy", "mcy"},
     LF::Fixed,
     -1,
     nullptr,
     [](const GateRecord&, Matrix2& m) { return fixed(m, {C(0, 0), C(0, -1), C(0, 1), C(0, 0)}); },
     fusion::PauliY,
     2,
     {cu_y, cu_y},
     {}},
    {Z,
     {"z", "cz", "mcz"},
     LF::Fixed,
     -1,
     nullptr,
     [](const GateRecord&, Matrix2& m) { return fixed(m, {C(1, 0), C(0, 0), C(0, 0), C(-1, 0)}); },
     fusion::Diagonal,
     4,
     {cu_z, cu_z},
     {}},
    {H,
     {"h", "ch", "mch"},
     LF::Fixed,
     -1,
     nullptr,
     [](const GateRecord&, Matrix2& m) {
       return fixed(m, {C(kHalfSqrt2, 0), C(kHalfSqrt2, 0), C(kHalfSqrt2, 0), C(-kHalfSqrt2, 0)});
     },
     fusion::Hadamard,
     3,
     {cu_h, cu_h},
     {}},
    {S,
     {"s", "cs", "mcs"},
     LF::Fixed,
     -1,
     nullptr,
     [](const GateRecord&, Matrix2& m) { return fixed(m, {C(1, 0), C(0, 0), C(0, 0), C(0, 1)}); },
     fusion::Diagonal,
     4,
     {cu_s, cu_s},
     {}},
    {S_DAG,
     {"s_dag"},
     LF::Fixed,
     -1,
     nullptr,
     [](const GateRecord&, Matrix2& m) { return fixed(m, {C(1, 0), C(0, 0), C(0, 0), C(0, -1)}); },
     fusion::Diagonal,
     4,
     {cu_sdag, cu_sdag},
     {}},
    {SQRTX,
     {"sqrtx", "sx"},
     LF::Fixed,
     -1,
     nullptr,
     [](const GateRecord&, Matrix2& m) { return fixed(m, {C(0.5, 0.5), C(0.5, -0.5), C(0.5, -0.5), C(0.5, 0.5)}); },
     fusion::General,
     6,
     {cu_sqrtx, cu_sqrtx},
     {}},
    {SQRTX_DAG,
     {"sqrtx_dag", "sxdg"},
     LF::Fixed,
     -1,
     nullptr,
     [](const GateRecord&, Matrix2& m) { return fixed(m, {C(0.5, -0.5), C(0.5, 0.5), C(0.5, 0.5), C(0.5, -0.5)}); },
     fusion::General,
     6,
     {cu_sqrtxdag, cu_sqrtxdag},
     {}},
    {SQRTY,
     {"sqrty"},
     LF::Fixed,
     -1,
     nullptr,
     [](const GateRecord&, Matrix2& m) { return fixed(m, {C(0.5, 0.5), C(-0.5, -0.5), C(0.5, 0.5), C(0.5, 0.5)}); },
     fusion::General,
     6,
     {cu_sqrty, cu_sqrty},
     {}},
    {SQRTY_DAG,
     {"sqrty_dag"},
     LF::Fixed,
     -1,
     nullptr,
     [](const GateRecord&, Matrix2& m) { return fixed(m, {C(0.5, -0.5), C(0.5, -0.5), C(-0.5, 0.5), C(0.5, -0.5)}); },
     fusion::General,
     6,
     {cu_sqrtydag, cu_sqrtydag},
     {}},
    {SWAP, {"swap"}, LF::Swap, -1, "SWAP gate requires exactly two parameters.", nullptr, fusion::Swap, 7, {}, {}},
    {RX,
     {"rx", "crx", "mcrx"},
     LF::Angle,
     1,
     "RX gate requires exactly one parameter.",
     rx_matrix,
     fusion::RotationX,
     5,
     {},
     {cu_rx, cu_rx}},
    {RY,
     {"ry", "cry", "mcry"},
     LF::Angle,
     1,
     "RY gate requires exactly one parameter.",
     ry_matrix,
     fusion::RotationY,
     5,
     {},
     {cu_ry, cu_ry}},
    {RZ,
     {"rz", "crz", "mcrz"},
     LF::Angle,
     1,
     "RZ gate requires exactly one parameter.",
     rz_matrix,
     fusion::Diagonal,
     4,
     {},
     {cu_rz, cu_rz}},
    {PHASE,
     {"phase", "p", "cp", "mcp"},
     LF::Angle,
     1,
     "PHASE gate requires exactly one parameter.",
     phase_matrix,
     fusion::Diagonal,
     4,
     {},
     {cu_phase, cu_phase}},
    {GLOBAL_PHASE,
     {"gp", "global_phase", "gphase"},
     LF::GlobalPhase,
     1,
     "GLOBAL_PHASE gate requires exactly one parameter.",
     nullptr,
     fusion::General,
     6,
     {},
     {}},
    {U,
     {"u", "u1", "u2", "u3"},
     LF::ThreeAngles,
     3,
     "U gate requires exactly three parameters.",
     u_matrix,
     fusion::General,
     6,
     {},
     {}},
    {UNITARY, {"unitary"}, LF::Unitary, -1, nullptr, unitary_matrix, fusion::General, 6, {}, {}},
};

constexpr bool rows_in_id_order() {
  for (int32_t i = 0; i < kGateCount; ++i)
    if (kGateTable[i].id != i) return false;
  return true;
}
static_assert(std::size(kGateTable) == kGateCount && rows_in_id_order(), "one gate table row per GateId, in order");

}  // namespace

const GateInfo* find_gate(GateId id) {
  const auto i = static_cast<uint32_t>(id);
  return i < static_cast<uint32_t>(kGateCount) ? &kGateTable[i] : nullptr;
}

GateId gate_id_from_name(const std::string& name) {
  static const std::unordered_map<std::string, GateId> by_name = [] {
    std::unordered_map<std::string, GateId> m;
    for (const GateInfo& g : kGateTable)
      for (const char* alias : g.names)
        if (alias != nullptr) m.emplace(alias, g.id);
    return m;
  }();
  auto it = by_name.find(name);
  if (it == by_name.end()) throw std::invalid_argument("Unsupported CUDA gate id: " + quillmarch::show_text(name));
  return it->second;
}

void apply_t_renaming(GateRecord& record) {
  if (record.name == "t" || record.name == "ct" || record.name == "mct") {
    record.parameters.assign(1, 0.7853981633974483);
    record.name = "phase";
  } else if (record.name == "t_dag") {
    record.parameters.assign(1, -0.7853981633974483);
    record.name = "phase";
  }
}

void check_unitary_record(const GateRecord& record) {
  if (record.id != UNITARY) return;
  if (!record.has_matrix) throw std::invalid_argument("UNITARY gate requires a matrix.");
  // A target count of 63 or more can never match a loaded matrix's side.
  const size_t k = record.targets.size();
  if (k >= 63 || (int64_t{1} << k) != record.matrix_dim)
    throw std::invalid_argument("UNITARY matrix dimension must be 2**num_targets.");
}

std::vector<int64_t> touched_qubits(const GateRecord& record) {
  std::vector<int64_t> q(record.targets);
  q.insert(q.end(), record.controls.begin(), record.controls.end());
  std::sort(q.begin(), q.end());
  q.erase(std::unique(q.begin(), q.end()), q.end());
  return q;
}

bool single_qubit_matrix(const GateRecord& record, Matrix2& out) {
  const GateInfo* gate = find_gate(record.id);
  if (record.targets.size() != 1 || gate == nullptr || gate->matrix == nullptr) return false;
  return gate->matrix(record, out);
}

}  // namespace vorlent
