#include "kestamire/density_parse.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstring>
#include <stdexcept>
#include <string>

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
std::vector<Value> cast_collection(const py::object& object) {
  if (!PySequence_Check(object.ptr()) && is_iterable_collection(object)) {
    return py::list(object).cast<std::vector<Value>>();
  }
  return object.cast<std::vector<Value>>();
}

// numpy's own error propagates for input it cannot convert.
ComplexArray to_complex_array(const py::object& object) { return ComplexArray(object); }

DensityOperation parse_kraus(const py::handle& item) {
  const std::string kind = item.attr("operation_kind").cast<std::string>();
  if (kind != "kraus") throw std::runtime_error("unsupported density operation kind '" + kind + "'");
  DensityOperation op;
  op.is_kraus = 1;
  op.targets = cast_collection<int64_t>(item.attr("target"));
  if (py::hasattr(item, "channel_name")) op.channel_name = item.attr("channel_name").cast<std::string>();
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
  op.targets = cast_collection<int64_t>(item.attr("target"));
  op.controls = cast_collection<int64_t>(item.attr("control"));
  op.control_states = cast_collection<int64_t>(item.attr("control_state"));
  const py::object parameter = item.attr("parameter");
  if (!parameter.is_none()) op.parameters = cast_collection<double>(parameter);
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
    out.push_back(py::hasattr(item, "operation_kind") ? parse_kraus(item) : parse_gate(item));
  }
  return out;
}

}  // namespace kestamire
}  // namespace quillmarch
