#include "vorlent/vorlent_parse.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <stdexcept>

namespace py = pybind11;

namespace vorlent {

namespace {

// Fields common to both forms, read in their fixed order by `get`.
template <typename Get>
GateRecord read_record(Get get, bool parameter_may_be_none) {
  GateRecord r;
  r.name = get("id").template cast<std::string>();
  r.targets = get("target").template cast<std::vector<int64_t>>();
  r.controls = get("control").template cast<std::vector<int64_t>>();
  r.control_state = get("control_state").template cast<std::vector<int64_t>>();
  py::object parameter = get("parameter");
  if (!(parameter_may_be_none && parameter.is_none())) r.parameters = parameter.cast<std::vector<double>>();
  apply_t_renaming(r);
  r.id = gate_id_from_name(r.name);
  return r;
}

}  // namespace

void load_unitary_matrix(const py::handle& object, GateRecord& record) {
  if (object.is_none()) return;
  using Matrix = py::array_t<std::complex<double>, py::array::c_style | py::array::forcecast>;
  // ensure() clears the interpreter error of a failed conversion itself.
  Matrix m = Matrix::ensure(object);
  if (!m) throw std::invalid_argument("unitary matrix must be array-like.");
  if (m.ndim() != 2 || m.shape(0) <= 0 || m.shape(0) != m.shape(1))
    throw std::invalid_argument("unitary matrix must be a non-empty square 2-D array.");
  record.matrix_dim = m.shape(0);
  record.matrix.assign(m.data(), m.data() + m.size());
  record.has_matrix = true;
}

std::vector<GateRecord> parse_gate_ir(const py::list& gate_ir) {
  std::vector<GateRecord> records;
  records.reserve(gate_ir.size());
  py::object dict_type = py::module_::import("builtins").attr("dict");
  for (py::handle item : gate_ir) {
    py::dict d = py::isinstance<py::dict>(item) ? py::reinterpret_borrow<py::dict>(item)
                                                : py::dict(dict_type(item));
    GateRecord r = read_record([&](const char* key) { return py::object(d[key]); }, false);
    if (d.contains("matrix")) {
      py::object matrix = d["matrix"];
      if (!matrix.is_none()) load_unitary_matrix(matrix, r);
    }
    check_unitary_record(r);
    records.push_back(std::move(r));
  }
  return records;
}

std::vector<GateRecord> parse_gate_objects(const py::iterable& gates) {
  std::vector<GateRecord> records;
  for (py::handle item : gates) {
    GateRecord r = read_record([&](const char* name) { return item.attr(name).cast<py::object>(); }, true);
    if (r.id == UNITARY) {
      load_unitary_matrix(item.attr("matrix"), r);
      check_unitary_record(r);
    }
    records.push_back(std::move(r));
  }
  return records;
}

}  // namespace vorlent
