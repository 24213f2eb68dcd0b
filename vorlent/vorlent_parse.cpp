#include "vorlent/vorlent_parse.h"
#include "common/py_guard.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cfloat>
#include <cmath>
#include <stdexcept>

namespace py = pybind11;

namespace vorlent {

namespace {

template <typename T>
std::vector<T> field_list(const py::handle& value, const char* field, const char* kind) {
  std::vector<T> out;
  if (!quillmarch::pyguard::read_sequence(value, field, out))
    throw py::cast_error(std::string("Unable to cast gate field '") + field + "' of type '" +
                         Py_TYPE(value.ptr())->tp_name + "' to a sequence of " + kind);
  return out;
}

// Fields common to both forms, read in their fixed order by `get`.
template <typename Get>
GateRecord read_record(Get get, bool parameter_may_be_none) {
  GateRecord r;
  r.name = get("id").template cast<std::string>();
  r.targets = field_list<int64_t>(get("target"), "target", "integers");
  r.controls = field_list<int64_t>(get("control"), "control", "integers");
  r.control_state = field_list<int64_t>(get("control_state"), "control_state", "integers");
  py::object parameter = get("parameter");
  if (!(parameter_may_be_none && parameter.is_none()))
    r.parameters = field_list<double>(parameter, "parameter", "numbers");
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
  // Reading an entry can run the caller's code, which may change the list;
  // a tuple snapshot holds every entry for the whole parse.
  // PyList_AsTuple takes the list's own size, whatever a subclass's __len__ says.
  const py::tuple entries = py::reinterpret_steal<py::tuple>(PyList_AsTuple(gate_ir.ptr()));
  if (!entries) throw py::error_already_set();
  std::vector<GateRecord> records;
  records.reserve(entries.size());
  py::object dict_type = py::module_::import("builtins").attr("dict");
  for (py::handle item : entries) {
    quillmarch::pyguard::poll_signals(records.size());
    py::dict d = py::isinstance<py::dict>(item) ? py::reinterpret_borrow<py::dict>(item) : py::dict(dict_type(item));
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
    quillmarch::pyguard::poll_signals(records.size());
    GateRecord r = read_record([&](const char* name) { return item.attr(name).cast<py::object>(); }, true);
    if (r.id == UNITARY) {
      load_unitary_matrix(item.attr("matrix"), r);
      check_unitary_record(r);
    }
    records.push_back(std::move(r));
  }
  return records;
}

void check_gate_values(const std::vector<GateRecord>& records, bool is_double) {
  // Single-precision kernels take their angles and matrices as floats.
  const double limit = is_double ? DBL_MAX : FLT_MAX;
  const char* precision = is_double ? "complex128" : "complex64";
  const auto representable = [&](double v) { return std::fabs(v) <= limit; };  // false for NaN too
  for (const GateRecord& r : records) {
    for (double p : r.parameters) {
      if (!representable(p))
        throw std::invalid_argument("gate '" + quillmarch::show_text(r.name) +
                                    "' has a parameter that is not finite in " + precision);
    }
    if (r.id != UNITARY) continue;
    for (const std::complex<double>& z : r.matrix) {
      if (!representable(z.real()) || !representable(z.imag()))
        throw std::invalid_argument("gate '" + quillmarch::show_text(r.name) +
                                    "' has a matrix entry that is not finite in " + precision);
    }
  }
}

}  // namespace vorlent
