#include "vorlent/gate_record.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <unordered_map>

#include "common/parsers.h"

namespace vorlent {

GateId gate_id_from_name(const std::string& name) {
  static const std::unordered_map<std::string, GateId> table = {
      {"x", X},           {"cx", X},           {"mcx", X},           {"y", Y},          {"cy", Y},
      {"mcy", Y},         {"z", Z},            {"cz", Z},            {"mcz", Z},        {"h", H},
      {"ch", H},          {"mch", H},          {"s", S},             {"cs", S},         {"mcs", S},
      {"s_dag", S_DAG},   {"sqrtx", SQRTX},    {"sx", SQRTX},        {"sqrtx_dag", SQRTX_DAG},
      {"sxdg", SQRTX_DAG}, {"sqrty", SQRTY},   {"sqrty_dag", SQRTY_DAG}, {"swap", SWAP}, {"rx", RX},
      {"crx", RX},        {"mcrx", RX},        {"ry", RY},           {"cry", RY},       {"mcry", RY},
      {"rz", RZ},         {"crz", RZ},         {"mcrz", RZ},         {"phase", PHASE},  {"p", PHASE},
      {"cp", PHASE},      {"mcp", PHASE},      {"gp", GLOBAL_PHASE}, {"global_phase", GLOBAL_PHASE},
      {"gphase", GLOBAL_PHASE}, {"u", U},      {"u1", U},            {"u2", U},         {"u3", U},
      {"unitary", UNITARY},
  };
  auto it = table.find(name);
  if (it == table.end()) throw std::invalid_argument("Unsupported CUDA gate id: " + quillmarch::show_text(name));
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

bool single_qubit_matrix(const GateRecord& record, std::array<std::complex<double>, 4>& out) {
  using C = std::complex<double>;
  if (record.targets.size() != 1 || static_cast<uint32_t>(record.id) > 17) return false;
  const double r = 0.7071067811865475;
  const auto& p = record.parameters;
  switch (record.id) {
    case X: out = {C(0, 0), C(1, 0), C(1, 0), C(0, 0)}; return true;
    case Y: out = {C(0, 0), C(0, -1), C(0, 1), C(0, 0)}; return true;
    case Z: out = {C(1, 0), C(0, 0), C(0, 0), C(-1, 0)}; return true;
    case H: out = {C(r, 0), C(r, 0), C(r, 0), C(-r, 0)}; return true;
    case S: out = {C(1, 0), C(0, 0), C(0, 0), C(0, 1)}; return true;
    case S_DAG: out = {C(1, 0), C(0, 0), C(0, 0), C(0, -1)}; return true;
    case SQRTX: out = {C(0.5, 0.5), C(0.5, -0.5), C(0.5, -0.5), C(0.5, 0.5)}; return true;
    case SQRTX_DAG: out = {C(0.5, -0.5), C(0.5, 0.5), C(0.5, 0.5), C(0.5, -0.5)}; return true;
    case SQRTY: out = {C(0.5, 0.5), C(-0.5, -0.5), C(0.5, 0.5), C(0.5, 0.5)}; return true;
    case SQRTY_DAG: out = {C(0.5, -0.5), C(0.5, -0.5), C(-0.5, 0.5), C(0.5, -0.5)}; return true;
    case RX:
    case RY:
    case RZ: {
      if (p.size() != 1) return false;
      double s, c;
      sincos(p[0] / 2, &s, &c);
      if (record.id == RX) out = {C(c, 0), C(0, -s), C(0, -s), C(c, 0)};
      if (record.id == RY) out = {C(c, 0), C(-s, 0), C(s, 0), C(c, 0)};
      if (record.id == RZ) out = {C(c, std::sin(-p[0] / 2)), C(0, 0), C(0, 0), C(c, s)};
      return true;
    }
    case PHASE: {
      if (p.size() != 1) return false;
      double s, c;
      sincos(p[0], &s, &c);
      out = {C(1, 0), C(0, 0), C(0, 0), C(c, s)};
      return true;
    }
    case U: {
      if (p.size() != 3) return false;
      double s, c, sp, cp, sl, cl, spl, cpl;
      sincos(p[0] / 2, &s, &c);
      sincos(p[1], &sp, &cp);
      sincos(p[2], &sl, &cl);
      sincos(p[1] + p[2], &spl, &cpl);
      out = {C(c, 0), -C(cl, sl) * s, C(cp, sp) * s, C(cpl, spl) * c};
      return true;
    }
    case UNITARY:
      if (record.matrix_dim != 2 || record.matrix.size() != 4) return false;
      std::copy(record.matrix.begin(), record.matrix.end(), out.begin());
      return true;
    case SWAP:
    case GLOBAL_PHASE:
      return false;
  }
  return false;
}

}  // namespace vorlent
