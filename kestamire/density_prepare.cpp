#include "kestamire/density_prepare.h"

#include <cmath>
#include <stdexcept>
#include <utility>

#include "common/parsers.h"
#include "kestamire/kestamire_kraus.h"

namespace quillmarch {
namespace kestamire {

namespace {

// 1/sqrt(2) and the entries of the T phase, written per precision: single
// precision matrices are built directly, not rounded from double ones.
template <typename T>
struct NamedConstants;

template <>
struct NamedConstants<double> {
  static constexpr double r = 0.7071067811865475;
  static constexpr double t_re = 0.7071067811865476;
  static constexpr double t_im = 0.7071067811865475;
};

template <>
struct NamedConstants<float> {
  static constexpr float r = 0.70710677f;
  static constexpr float t_re = 0.70710677f;
  static constexpr float t_im = 0.70710677f;
};

template <typename T>
CuComplex<T> unit_phase(T angle) {
  T s, c;
  sin_cos(angle, &s, &c);
  return {c, s};
}

std::runtime_error parameter_count_error(const std::string& name) {
  return std::runtime_error("invalid parameter count for density operation '" + show_text(name) + "'");
}

// The count is checked before the values.
void require_parameters(const std::string& name, const std::vector<double>& parameters, size_t count) {
  if (parameters.size() != count) throw parameter_count_error(name);
  for (double p : parameters) {
    if (!std::isfinite(p)) throw std::runtime_error("density operation parameters must be finite");
  }
}

template <typename T>
T parameter(const std::vector<double>& parameters, size_t i) {
  return static_cast<T>(parameters[i]);
}

template <typename T>
std::vector<CuComplex<T>> rz_matrix(T theta) {
  const CuComplex<T> e = unit_phase<T>(theta / T(2));
  return {conj(e), {0, 0}, {0, 0}, e};
}

template <typename T>
std::vector<CuComplex<T>> rx_matrix(T theta) {
  T s, c;
  sin_cos(theta / T(2), &s, &c);
  return {{c, 0}, {0, -s}, {0, -s}, {c, 0}};
}

template <typename T>
std::vector<CuComplex<T>> product2(const std::vector<CuComplex<T>>& a, const std::vector<CuComplex<T>>& b) {
  std::vector<CuComplex<T>> out(4);
  for (int r = 0; r < 2; ++r) {
    for (int c = 0; c < 2; ++c) out[r * 2 + c] = a[r * 2] * b[c] + a[r * 2 + 1] * b[2 + c];
  }
  return out;
}

// Named matrices without parameters.
template <typename T>
bool fixed_matrix(const std::string& canonical, std::vector<CuComplex<T>>& m) {
  const T r = NamedConstants<T>::r;
  const T h = T(0.5);
  using C = CuComplex<T>;
  if (canonical == "x")
    m = {C{0, 0}, C{1, 0}, C{1, 0}, C{0, 0}};
  else if (canonical == "y")
    m = {C{0, 0}, C{0, -1}, C{0, 1}, C{0, 0}};
  else if (canonical == "z")
    m = {C{1, 0}, C{0, 0}, C{0, 0}, C{-1, 0}};
  else if (canonical == "-z")
    m = {C{-1, 0}, C{0, 0}, C{0, 0}, C{1, 0}};
  else if (canonical == "h")
    m = {C{r, 0}, C{r, 0}, C{r, 0}, C{-r, 0}};
  else if (canonical == "s")
    m = {C{1, 0}, C{0, 0}, C{0, 0}, C{0, 1}};
  else if (canonical == "s_dag")
    m = {C{1, 0}, C{0, 0}, C{0, 0}, C{0, -1}};
  else if (canonical == "t")
    m = {C{1, 0}, C{0, 0}, C{0, 0}, C{NamedConstants<T>::t_re, NamedConstants<T>::t_im}};
  else if (canonical == "t_dag")
    m = {C{1, 0}, C{0, 0}, C{0, 0}, C{NamedConstants<T>::t_re, -NamedConstants<T>::t_im}};
  else if (canonical == "sqrtx")
    m = {C{h, h}, C{h, -h}, C{h, -h}, C{h, h}};
  else if (canonical == "sqrtx_dag")
    m = {C{h, -h}, C{h, h}, C{h, h}, C{h, -h}};
  else if (canonical == "sqrty")
    m = {C{h, h}, C{-h, -h}, C{h, h}, C{h, h}};
  else if (canonical == "sqrty_dag")
    m = {C{h, -h}, C{h, -h}, C{-h, h}, C{h, -h}};
  else if (canonical == "x2p")
    m = {C{r, 0}, C{0, -r}, C{0, -r}, C{r, 0}};
  else if (canonical == "x2m")
    m = {C{r, 0}, C{0, r}, C{0, r}, C{r, 0}};
  else if (canonical == "y2p")
    m = {C{r, 0}, C{-r, 0}, C{r, 0}, C{r, 0}};
  else if (canonical == "y2m")
    m = {C{r, 0}, C{r, 0}, C{-r, 0}, C{r, 0}};
  else
    return false;
  return true;
}

// The diagonal entries of a one-target diagonal gate, or false when the gate
// has no diagonal form.
template <typename T>
bool one_target_diagonal(const std::string& name, const std::string& canonical, const std::vector<double>& parameters,
                         CuComplex<T>& d0, CuComplex<T>& d1) {
  d0 = {1, 0};
  if (canonical == "p") {
    require_parameters(name, parameters, 1);
    d1 = unit_phase<T>(parameter<T>(parameters, 0));
  } else if (canonical == "rz") {
    require_parameters(name, parameters, 1);
    d1 = unit_phase<T>(parameter<T>(parameters, 0) / T(2));
    d0 = conj(d1);
  } else if (canonical == "s") {
    d1 = {0, 1};
  } else if (canonical == "s_dag") {
    d1 = {0, -1};
  } else if (canonical == "t") {
    d1 = {NamedConstants<T>::t_re, NamedConstants<T>::t_im};
  } else if (canonical == "t_dag") {
    d1 = {NamedConstants<T>::t_re, -NamedConstants<T>::t_im};
  } else if (canonical == "z") {
    d1 = {-1, 0};
  } else if (canonical == "-z") {
    d0 = {-1, 0};
    d1 = {1, 0};
  } else {
    return false;
  }
  return true;
}

DeviceTargets device_targets(const std::vector<int64_t>& targets, uint64_t n) {
  DeviceTargets t;
  uint64_t mask = 0;
  for (size_t j = 0; j < targets.size(); ++j) {
    t.targets[j] = targets[j];
    mask |= uint64_t{1} << targets[j];
  }
  t.count = static_cast<int64_t>(targets.size());
  for (uint64_t q = 0; q < n; ++q) {
    if (!(mask & (uint64_t{1} << q))) t.others[t.other_count++] = static_cast<int64_t>(q);
  }
  return t;
}

template <typename T>
void append_converted(const std::vector<std::complex<double>>& source, std::vector<CuComplex<T>>& matrices) {
  for (const auto& z : source) matrices.push_back(to_cu_complex<T>(z));
}

bool all_finite(const std::vector<std::complex<double>>& values) {
  for (const auto& z : values) {
    if (!std::isfinite(z.real()) || !std::isfinite(z.imag())) return false;
  }
  return true;
}

template <typename T>
PreparedDensityOp prepare_kraus(const DensityOperation& op, uint64_t n, std::vector<CuComplex<T>>& matrices) {
  if (op.targets.empty()) throw std::runtime_error("Kraus operation requires at least one target");
  uint64_t seen = 0;
  for (int64_t t : op.targets) {
    if (t < 0 || static_cast<uint64_t>(t) >= n || (seen & (uint64_t{1} << t)))
      throw std::runtime_error("invalid or duplicate Kraus target qubit");
    seen |= uint64_t{1} << t;
  }
  const uint64_t k = op.targets.size();
  if (op.kraus_dimension != static_cast<int64_t>(uint64_t{1} << k))
    throw std::runtime_error("Kraus matrix dimension does not match targets");
  if (op.kraus_count < 1) throw std::runtime_error("Kraus operation requires at least one matrix");
  if (op.kraus_matrices.size() != static_cast<uint64_t>(op.kraus_count) << (2 * k))
    throw std::runtime_error("invalid Kraus matrix buffer size");
  if (!all_finite(op.kraus_matrices)) throw std::runtime_error("Kraus matrices must contain only finite values");

  PreparedDensityOp p;
  p.is_kraus = op.is_kraus;
  if (!op.channel_name.empty() && k == 1) {
    int kind = 0;
    double parameter = 0;
    if (recognize_channel(op, kind, parameter)) {
      p.is_channel = true;
      p.channel_kind = kind;
      p.channel_parameter = parameter;
      p.target_mask = uint64_t{1} << op.targets[0];
      return p;
    }
  }
  if (k > 3) throw std::runtime_error("GPU density Kraus supports at most 3 targets");
  p.targets = device_targets(op.targets, n);
  p.kraus_count = op.kraus_count;
  p.matrix_offset = static_cast<int64_t>(matrices.size());
  append_converted(op.kraus_matrices, matrices);
  return p;
}

void check_gate_qubits(const DensityOperation& op, uint64_t n) {
  if (op.targets.empty()) throw std::runtime_error("density operation requires at least one target");
  if (op.controls.size() != op.control_states.size())
    throw std::runtime_error("controls and control_state sizes must match");
  uint64_t seen = 0;
  for (int64_t t : op.targets) {
    if (t < 0 || static_cast<uint64_t>(t) >= n || (seen & (uint64_t{1} << t)))
      throw std::runtime_error("invalid or duplicate target qubit");
    seen |= uint64_t{1} << t;
  }
  for (size_t i = 0; i < op.controls.size(); ++i) {
    const int64_t c = op.controls[i];
    if (c < 0 || static_cast<uint64_t>(c) >= n || (seen & (uint64_t{1} << c)))
      throw std::runtime_error("invalid, duplicate, or overlapping control qubit");
    seen |= uint64_t{1} << c;
    if (op.control_states[i] != 0 && op.control_states[i] != 1)
      throw std::runtime_error("control_state must contain only 0 or 1");
  }
  if (op.targets.size() > 6) throw std::runtime_error("GPU density unitary supports at most 6 targets");
}

template <typename T>
PreparedDensityOp prepare_gate(const DensityOperation& op, uint64_t n, std::vector<CuComplex<T>>& matrices) {
  check_gate_qubits(op, n);
  PreparedDensityOp p;
  p.is_kraus = op.is_kraus;
  for (size_t i = 0; i < op.controls.size(); ++i) {
    p.control_mask |= uint64_t{1} << op.controls[i];
    if (op.control_states[i] == 1) p.control_value |= uint64_t{1} << op.controls[i];
  }
  const std::string canonical = normalize_density_name(op.name);
  const size_t k = op.targets.size();

  if (!op.has_stored_matrix) {
    CuComplex<T> d0{1, 0}, d1{1, 0};
    bool diagonal = false;
    if (canonical == "gp") {
      if (op.controls.empty()) {
        // A global phase cancels in U rho U^dagger.
        p.is_identity = true;
        return p;
      }
      if (k == 1) {
        require_parameters(op.name, op.parameters, 1);
        d0 = d1 = unit_phase<T>(parameter<T>(op.parameters, 0));
        diagonal = true;
      }
    } else if (k == 1) {
      diagonal = one_target_diagonal<T>(op.name, canonical, op.parameters, d0, d1);
    }
    if (diagonal) {
      p.is_diagonal = true;
      p.diagonal0 = {static_cast<double>(d0.re), static_cast<double>(d0.im)};
      p.diagonal1 = {static_cast<double>(d1.re), static_cast<double>(d1.im)};
      p.target_mask = uint64_t{1} << op.targets[0];
      return p;
    }
    const bool is_x = canonical == "x" && k == 1;
    const bool is_swap = canonical == "swap" && k == 2;
    if (is_x || is_swap) {
      if (!op.parameters.empty())
        throw std::runtime_error("density operation '" + show_text(op.name) + "' requires no parameters");
      p.is_permutation = true;
      p.permutation_is_swap = is_swap;
      for (int64_t t : op.targets) p.permutation_mask |= uint64_t{1} << t;
      return p;
    }
  }

  std::vector<CuComplex<T>> matrix;
  if (op.has_stored_matrix) {
    if (!all_finite(op.stored_matrix)) throw std::runtime_error("unitary matrix must contain only finite values");
    append_converted(op.stored_matrix, matrix);
  } else {
    matrix = named_density_matrix<T>(op.name, op.parameters, k);
  }
  if (matrix.size() != uint64_t{1} << (2 * k)) throw std::runtime_error("unitary matrix size does not match targets");
  p.targets = device_targets(op.targets, n);
  p.matrix_offset = static_cast<int64_t>(matrices.size());
  matrices.insert(matrices.end(), matrix.begin(), matrix.end());
  return p;
}

}  // namespace

std::string normalize_density_name(const std::string& name) {
  static const std::pair<const char*, const char*> kAliases[] = {
      {"cx", "x"},    {"cnot", "x"},    {"mcx", "x"},           {"cy", "y"},      {"mcy", "y"},   {"cz", "z"},
      {"mcz", "z"},   {"ch", "h"},      {"mch", "h"},           {"cs", "s"},      {"mcs", "s"},   {"cp", "p"},
      {"mcp", "p"},   {"crx", "rx"},    {"mcrx", "rx"},         {"cry", "ry"},    {"mcry", "ry"}, {"crz", "rz"},
      {"mcrz", "rz"}, {"gphase", "gp"}, {"global_phase", "gp"}, {"xyarb", "rxy"},
  };
  for (const auto& alias : kAliases) {
    if (name == alias.first) return alias.second;
  }
  return name;
}

template <typename T>
std::vector<CuComplex<T>> named_density_matrix(const std::string& name, const std::vector<double>& parameters,
                                               size_t target_count) {
  const std::string canonical = normalize_density_name(name);
  if (canonical == "swap") {
    if (!parameters.empty()) throw parameter_count_error(name);
    if (target_count != 2) throw std::runtime_error("swap requires exactly two targets");
    std::vector<CuComplex<T>> m(16, CuComplex<T>{0, 0});
    m[0] = m[1 * 4 + 2] = m[2 * 4 + 1] = m[15] = CuComplex<T>{1, 0};
    return m;
  }
  if (target_count != 1) throw std::runtime_error("named density operation requires one target");
  std::vector<CuComplex<T>> m;
  if (fixed_matrix<T>(canonical, m)) {
    if (!parameters.empty()) throw parameter_count_error(name);
    return m;
  }
  if (canonical == "rx") {
    require_parameters(name, parameters, 1);
    return rx_matrix(parameter<T>(parameters, 0));
  }
  if (canonical == "ry") {
    require_parameters(name, parameters, 1);
    T s, c;
    sin_cos(parameter<T>(parameters, 0) / T(2), &s, &c);
    return {{c, 0}, {-s, 0}, {s, 0}, {c, 0}};
  }
  if (canonical == "rz") {
    require_parameters(name, parameters, 1);
    return rz_matrix(parameter<T>(parameters, 0));
  }
  if (canonical == "p") {
    require_parameters(name, parameters, 1);
    return {{1, 0}, {0, 0}, {0, 0}, unit_phase<T>(parameter<T>(parameters, 0))};
  }
  if (canonical == "gp") {
    require_parameters(name, parameters, 1);
    const CuComplex<T> e = unit_phase<T>(parameter<T>(parameters, 0));
    return {e, {0, 0}, {0, 0}, e};
  }
  if (canonical == "rxy") {
    require_parameters(name, parameters, 2);
    const T phi = parameter<T>(parameters, 0);
    return product2(product2(rz_matrix(phi), rx_matrix(parameter<T>(parameters, 1))), rz_matrix(-phi));
  }
  if (canonical == "u") {
    require_parameters(name, parameters, 3);
    const T theta = parameter<T>(parameters, 0);
    const T phi = parameter<T>(parameters, 1);
    const T lambda = parameter<T>(parameters, 2);
    T s, c;
    sin_cos(theta / T(2), &s, &c);
    const CuComplex<T> cc{c, 0};
    const CuComplex<T> ss{s, 0};
    return {cc, -(unit_phase<T>(lambda) * ss), unit_phase<T>(phi) * ss, unit_phase<T>(phi + lambda) * cc};
  }
  throw std::runtime_error("unsupported named density operation '" + show_text(name) + "'");
}

template <typename T>
PreparedDensityOp prepare_density_operation(const DensityOperation& operation, uint64_t n,
                                            std::vector<CuComplex<T>>& matrices) {
  return operation.is_kraus ? prepare_kraus<T>(operation, n, matrices) : prepare_gate<T>(operation, n, matrices);
}

#define DENSITY_PREPARE_INSTANTIATE(T)                                                                                \
  template std::vector<CuComplex<T>> named_density_matrix<T>(const std::string&, const std::vector<double>&, size_t); \
  template PreparedDensityOp prepare_density_operation<T>(const DensityOperation&, uint64_t,                          \
                                                          std::vector<CuComplex<T>>&);
DENSITY_PREPARE_INSTANTIATE(float)
DENSITY_PREPARE_INSTANTIATE(double)

}  // namespace kestamire
}  // namespace quillmarch
