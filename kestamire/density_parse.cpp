#include "kestamire/density_parse.h"
#include "common/py_guard.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace py = pybind11;

namespace quillmarch {
namespace kestamire {

namespace {

using ComplexArray = py::array_t<std::complex<double>, py::array::c_style | py::array::forcecast>;

bool has_type_name(const py::handle& object, std::initializer_list<const char*> names) {
  const char* name = Py_TYPE(object.ptr())->tp_name;
  for (const char* n : names) {
    if (std::strcmp(name, n) == 0) return true;
  }
  return false;
}

// The one-shot collections taken as lists: generators, sets, dictionary views,
// map and zip. Sequences (except str and bytes) are taken as they are.
bool is_iterable_collection(const py::handle& object) {
  if (PyType_Check(object.ptr())) return false;
  return PyGen_Check(object.ptr()) || PyAnySet_Check(object.ptr()) ||
         has_type_name(object, {"dict_keys", "dict_values", "dict_items", "map", "zip"});
}

// Materialising those collections first keeps their acceptance independent of
// how permissive the library's own sequence conversion is; everything else
// (a bare number, str, bytes) goes to that conversion and is refused there.
template <typename Value>
std::vector<Value> cast_collection(const py::object& object, const char* field) {
  const py::object items =
      !PySequence_Check(object.ptr()) && is_iterable_collection(object) ? py::list(object) : object;
  std::vector<Value> out;
  if (!pyguard::read_sequence(items, field, out))
    throw py::cast_error(std::string("Unable to cast operation field '") + field + "' of type '" +
                         Py_TYPE(object.ptr())->tp_name + "' to a sequence of " +
                         (std::is_floating_point<Value>::value ? "numbers" : "integers"));
  return out;
}

// The attribute if the object has it; only a missing attribute counts as
// absent, any other error raised while reading it propagates.
py::object optional_attr(const py::handle& item, const char* name) {
  PyObject* value = PyObject_GetAttrString(item.ptr(), name);
  if (value != nullptr) return py::reinterpret_steal<py::object>(value);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
  PyErr_Clear();
  return py::object();
}

// numpy's own error propagates for input it cannot convert.
ComplexArray to_complex_array(const py::object& object) { return ComplexArray(object); }

DensityOperation parse_kraus(const py::handle& item, const py::object& operation_kind) {
  const std::string kind = operation_kind.cast<std::string>();
  if (kind != "kraus") throw std::runtime_error("unsupported density operation kind '" + show_text(kind) + "'");
  DensityOperation op;
  op.is_kraus = 1;
  op.targets = cast_collection<int64_t>(item.attr("target"), "target");
  const py::object channel_name = optional_attr(item, "channel_name");
  if (channel_name) op.channel_name = channel_name.cast<std::string>();
  const ComplexArray m = to_complex_array(item.attr("kraus_matrices"));
  if (m.ndim() != 3 || m.shape(0) < 1 || m.shape(1) < 1 || m.shape(1) != m.shape(2))
    throw std::runtime_error("Kraus matrices must have shape (count, dimension, dimension)");
  op.kraus_count = m.shape(0);
  op.kraus_dimension = m.shape(1);
  op.kraus_matrices.assign(m.data(), m.data() + m.size());
  return op;
}

DensityOperation parse_gate(const py::handle& item) {
  DensityOperation op;
  op.name = item.attr("id").cast<std::string>();
  op.targets = cast_collection<int64_t>(item.attr("target"), "target");
  op.controls = cast_collection<int64_t>(item.attr("control"), "control");
  op.control_states = cast_collection<int64_t>(item.attr("control_state"), "control_state");
  const py::object parameter = item.attr("parameter");
  if (!parameter.is_none()) op.parameters = cast_collection<double>(parameter, "parameter");
  op.has_stored_matrix = py::bool_(item.attr("has_stored_matrix"));
  if (op.has_stored_matrix) {
    const ComplexArray m = to_complex_array(item.attr("stored_matrix"));
    if (m.ndim() != 2 || m.shape(0) != m.shape(1)) throw std::runtime_error("operation matrix must be square");
    op.stored_matrix.assign(m.data(), m.data() + m.size());
  }
  return op;
}

}  // namespace

std::vector<DensityOperation> parse_density_operations(const py::iterable& operations) {
  std::vector<DensityOperation> out;
  for (py::handle item : operations) {
    pyguard::poll_signals(out.size());
    const py::object kind = optional_attr(item, "operation_kind");
    out.push_back(kind ? parse_kraus(item, kind) : parse_gate(item));
  }
  return out;
}

}  // namespace kestamire
}  // namespace quillmarch
