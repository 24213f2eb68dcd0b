// Python surface of kestamire: converts and validates arguments, releases the
// interpreter lock around device work and calls the native core.
#include "common/py_guard.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <string>
#include <vector>

#include "common/cuda_check.h"
#include "common/parsers.h"
#include "common/state_core.h"
#include "common/state_protocols.h"
#include "kestamire/density_parse.h"
#include "kestamire/kestamire_device_state.h"
#include "kestamire/kestamire_measure.h"
#include "kestamire/kestamire_observables_bindings.h"
#include "kestamire/run_density.h"

namespace py = pybind11;
using quillmarch::Precision;
using quillmarch::with_precision;
using quillmarch::kestamire::DeviceDensityState;
using quillmarch::pyguard::without_gil;

namespace {

using quillmarch::Targets;

// The state array checks shared by from_numpy and from_dlpack, in order.
void check_layout(int64_t n, int64_t ndim, const int64_t* shape, bool c_contiguous, bool writable) {
  const auto nq = static_cast<uint64_t>(n);
  quillmarch::kestamire::check_density_qubits(nq);
  const auto dim = static_cast<int64_t>(uint64_t{1} << nq);
  if (ndim != 2 || shape[0] != dim || shape[1] != dim) throw std::invalid_argument("state shape must be (2**n, 2**n)");
  if (!c_contiguous) throw std::invalid_argument("state must be C-contiguous");
  if (!writable) throw std::invalid_argument("state must be writable");
}

std::shared_ptr<DeviceDensityState> from_dlpack(int64_t n, const py::object& array, const std::string& device) {
  quillmarch::ImportedTensor imported(array);
  const DLTensor& t = imported.tensor();
  check_layout(n, t.ndim, t.shape, quillmarch::is_c_contiguous(t), !imported.read_only());
  const Precision precision = quillmarch::parse_precision(quillmarch::dtype_name(t.dtype));
  const int device_id = quillmarch::parse_device(device);
  quillmarch::refresh_runtime_settings();
  auto s = std::make_shared<DeviceDensityState>(static_cast<uint64_t>(n), precision, device_id);
  without_gil([&] { quillmarch::copy_from_tensor(s->data(), device_id, t, s->byte_size()); });
  return s;
}

std::shared_ptr<DeviceDensityState> from_numpy(int64_t n, py::array state, const std::string& device) {
  const std::vector<int64_t> shape(state.shape(), state.shape() + state.ndim());
  check_layout(n, state.ndim(), shape.data(), (state.flags() & py::array::c_style) != 0, state.writeable());
  const auto nq = static_cast<uint64_t>(n);
  const Precision precision = quillmarch::parse_precision(py::str(state.dtype()));
  const int device_id = quillmarch::parse_device(device);
  quillmarch::refresh_runtime_settings();
  auto s = std::make_shared<DeviceDensityState>(nq, precision, device_id);
  py::buffer_info view = state.request();
  const void* data = view.ptr;
  without_gil([&] { s->upload(data, s->size, false); });
  return s;
}

std::shared_ptr<DeviceDensityState> zero_state(int64_t n, const std::string& dtype, const std::string& device) {
  const int device_id = quillmarch::parse_device(device);
  const Precision precision = quillmarch::parse_precision(dtype);
  quillmarch::refresh_runtime_settings();
  auto s = std::make_shared<DeviceDensityState>(static_cast<uint64_t>(n), precision, device_id);
  without_gil([&] { s->reset(); });
  return s;
}

py::array to_numpy(const DeviceDensityState& s) {
  const auto dim = static_cast<py::ssize_t>(s.dimension);
  py::array out(py::dtype(s.dtype_name()), std::vector<py::ssize_t>{dim, dim});
  void* data = out.mutable_data();
  without_gil([&] { s.download(data, s.size, false); });
  return out;
}

void run_operations(DeviceDensityState& s, int64_t num_qubits, const py::iterable& operations) {
  const auto parsed = quillmarch::kestamire::parse_density_operations(operations);
  if (parsed.empty()) return;
  // Read with the lock held: another thread may be writing os.environ.
  const bool fusion = quillmarch::kestamire::density_fusion_enabled();
  without_gil([&] {
    if (static_cast<uint64_t>(num_qubits) != s.num_qubits)
      throw std::invalid_argument("num_qubits does not match DeviceDensityState");
    quillmarch::check_cuda(cudaSetDevice(s.device_id));
    with_precision(
        s, [&](auto* rho) { quillmarch::kestamire::run_density_operations(rho, s.num_qubits, parsed, fusion); });
  });
}

std::string measure(DeviceDensityState& s, const Targets& targets, const std::string& endian, const py::object& seed) {
  quillmarch::check_endian(endian);
  const uint64_t resolved = seed.is_none() ? quillmarch::system_seed() : seed.cast<uint64_t>();
  return without_gil([&] {
    return with_precision(s, [&](auto* rho) {
      return quillmarch::kestamire::measure_density(rho, s.num_qubits, targets.values, endian, s.device_id, resolved);
    });
  });
}

std::string repr_state(const DeviceDensityState& s) {
  return "<kestamire.DeviceDensityState num_qubits=" + std::to_string(s.num_qubits) + " dtype=" + s.dtype_name() +
         " device=cuda:" + std::to_string(s.device_id) + ">";
}

struct DensityStateProtocols {
  using State = DeviceDensityState;
  static constexpr const char* module = "kestamire";
  static constexpr const char* rebuild = "_restore_density_state";
  static constexpr const char* rebuild_doc = "Rebuild a pickled DeviceDensityState.";
  static constexpr const char* array_arg = "matrix";
  static constexpr const char* dlpack_doc =
      "A DLPack capsule viewing the density matrix in place (a copy when copy is True).";

  static std::vector<int64_t> shape(const DeviceDensityState& s) {
    const auto dim = static_cast<int64_t>(s.dimension);
    return {dim, dim};
  }
  static uint64_t qubits(const DeviceDensityState& s) { return s.num_qubits; }
  static void check_pickled(int64_t, const std::string& dtype, const py::array& matrix) {
    const std::string stored = py::str(matrix.dtype());
    if (quillmarch::parse_precision(stored) != quillmarch::parse_precision(dtype))
      throw std::invalid_argument("dtype must be '" + dtype + "', got: " + stored);
  }
  static std::shared_ptr<DeviceDensityState> from_numpy(int64_t n, py::array matrix, const std::string& device) {
    return ::from_numpy(n, std::move(matrix), device);
  }
};

}  // namespace

PYBIND11_MODULE(kestamire, m) {
  m.doc() = "CUDA dense density-matrix backend for quillmarch";
  m.attr("backend") = QM_BACKEND_NAME;
  quillmarch::pyguard::def_current_device(m);

  py::class_<DeviceDensityState, std::shared_ptr<DeviceDensityState>> density_state(m, "DeviceDensityState");
  density_state
      .def_static("from_numpy", &from_numpy, py::arg("n"), py::arg("state").noconvert(), py::arg("device") = "cuda:0")
      .def_static("from_dlpack", &from_dlpack,
                  "Build a density matrix from any DLPack producer (NumPy, CuPy, PyTorch) with one copy on the "
                  "device side.",
                  py::arg("n"), py::arg("array"), py::arg("device") = "cuda:0")
      .def_static("zero_state", &zero_state, py::arg("n"), py::arg("dtype") = "complex128",
                  py::arg("device") = "cuda:0")
      .def("to_numpy", &to_numpy)
      .def("copy", &quillmarch::copy_state<DeviceDensityState>)
      .def_property_readonly("num_qubits", [](const DeviceDensityState& s) { return s.num_qubits; })
      .def_property_readonly("dimension", [](const DeviceDensityState& s) { return s.dimension; })
      .def_property_readonly("dtype", [](const DeviceDensityState& s) { return s.dtype_name(); })
      .def_property_readonly("device_id", [](const DeviceDensityState& s) { return s.device_id; })
      .def("__repr__", &repr_state);
  quillmarch::def_state_protocols<DensityStateProtocols>(density_state);
  quillmarch::def_rebuild<DensityStateProtocols>(m);

  m.def("run_density_operations_device", &run_operations, py::arg("state"), py::arg("num_qubits"),
        py::arg("operations"));
  m.def("measure_device", &measure, py::arg("state"), py::arg("targets"), py::arg("endian") = "little",
        py::arg("seed") = py::none());

  quillmarch::kestamire::def_observables(m);

  quillmarch::pyguard::seal_class(density_state, true);
}
