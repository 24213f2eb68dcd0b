// Python surface of vorlent: converts and validates arguments, releases the
// interpreter lock around device work and calls the native core.
#include "common/py_guard.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <complex>
#include <memory>
#include <string>
#include <vector>

#include "common/parsers.h"
#include "common/state_core.h"
#include "common/state_protocols.h"
#include "vorlent/fusion/fusion.h"
#include "vorlent/measure/vorlent_measure.h"
#include "vorlent/run_circuit.h"
#include "vorlent/vorlent_device_state.h"
#include "vorlent/vorlent_distributed_bindings.h"
#include "vorlent/vorlent_observables_bindings.h"
#include "vorlent/vorlent_parse.h"

namespace py = pybind11;

namespace vorlent {
namespace {

using quillmarch::Precision;
using quillmarch::with_precision;
using quillmarch::pyguard::without_gil;

std::string mode_message(int64_t value) {
  return "mode must be KernelMode.AllState, Pair, PairAuto or PairAutoFusion (0 to 3), got: " + std::to_string(value);
}

using quillmarch::Targets;

// Out-of-range members can still be made (a hostile __setstate__); they are
// refused before any work.
void check_mode(KernelMode mode) {
  const auto value = static_cast<int32_t>(mode);
  if (value < 0 || value > 3) throw std::invalid_argument(mode_message(value));
}

// Steps 1-5 of the state array check: layout, qubit count and size.
void validate_layout(int64_t n, int64_t ndim, bool c_contiguous, int64_t size) {
  if (ndim != 1) throw std::invalid_argument("state must be a 1-D contiguous numpy array");
  if (!c_contiguous) throw std::invalid_argument("state must be C-contiguous");
  quillmarch::check_state_qubits(n);
  if (static_cast<uint64_t>(size) != (uint64_t{1} << n)) throw std::invalid_argument("state.size must equal 2**n");
}

void validate_numpy_layout(int64_t n, const py::array& state) {
  validate_layout(n, state.ndim(), (state.flags() & py::array::c_style) != 0, state.size());
}

// Step 6: the precision named by the array's dtype text.
Precision numpy_precision(const py::array& state) { return quillmarch::parse_precision(py::str(state.dtype())); }

void require_writable(const py::array& state) {
  if (!state.writeable()) throw std::invalid_argument("state array must be writable");
}

uint64_t resolve_seed(const py::object& seed) {
  if (seed.is_none()) return quillmarch::system_seed();
  return seed.cast<uint64_t>();
}

void run_on_device(DeviceState& s, const std::vector<GateRecord>& records, const std::string& endian, KernelMode mode) {
  check_mode(mode);
  check_gate_values(records, s.is_double != 0);
  without_gil([&] {
    with_precision(s, [&](auto* amplitudes) {
      run_gates_on_device(s.n, amplitudes, s.num_state, records, endian, s.device_id, mode);
    });
  });
}

void run_circuit_device(DeviceState& s, const py::list& gate_ir, const std::string& endian, KernelMode mode) {
  quillmarch::check_endian(endian);
  std::vector<GateRecord> records = parse_gate_ir(gate_ir);
  run_on_device(s, records, endian, mode);
}

void run_circuit_device_gates(DeviceState& s, const py::iterable& gates, const std::string& endian, KernelMode mode) {
  quillmarch::check_endian(endian);
  std::vector<GateRecord> records = parse_gate_objects(gates);
  if (records.empty()) return;
  run_on_device(s, records, endian, mode);
}

std::string measure_on_device(DeviceState& s, const std::vector<int64_t>& targets, const std::string& endian,
                              const py::object& seed) {
  quillmarch::check_endian(endian);
  const uint64_t resolved = resolve_seed(seed);
  return without_gil([&] {
    return with_precision(s, [&](auto* amplitudes) {
      return measure_outcome(s.n, amplitudes, s.num_state, s.device_id, targets, endian, resolved);
    });
  });
}

std::string measure_device(DeviceState& s, const Targets& targets, const std::string& endian, const py::object& seed) {
  return measure_on_device(s, targets.values, endian, seed);
}

auto sample_measure_device(DeviceState& s, const Targets& targets, uint64_t shots, const std::string& endian,
                           const py::object& seed, bool collapse_last) {
  quillmarch::check_endian(endian);
  if (shots == 0) throw std::invalid_argument("shots must be positive");
  const uint64_t resolved = resolve_seed(seed);
  const InterruptCheck interrupted = quillmarch::pyguard::check_signals;
  std::pair<OutcomeCounts, std::string> result = without_gil([&] {
    return with_precision(s, [&](auto* amplitudes) {
      return sample_outcomes(s.n, amplitudes, s.num_state, s.device_id, targets.values, endian, shots, resolved,
                             collapse_last, interrupted);
    });
  });
  py::dict counts;
  for (const auto& entry : result.first) counts[py::str(entry.first)] = py::int_(entry.second);
  return py::make_tuple(counts, result.second);
}

// The checks of run_circuit and measure on the caller's array, in their order.
// They run again just before the array is read: converting the other
// arguments runs the caller's code, which may have resized it meanwhile.
void check_host_array(int64_t n, const py::array& state) {
  require_writable(state);
  validate_numpy_layout(n, state);
}

py::tuple plan_groups(const PreparedFusionChunk& chunk) {
  static const char* const kinds[] = {"AutoPair", "SparseShareMem", "DenseMM"};
  const auto& groups = chunk.fusion_plan().groups;
  py::tuple out(groups.size());
  for (size_t i = 0; i < groups.size(); ++i) {
    const fusion::FusedGroup& g = groups[i];
    py::dict d;
    d["kind"] = kinds[static_cast<int>(g.kind)];
    d["gate_indices"] = py::cast(g.gate_indices);
    d["active_qubits"] = py::cast(g.active_qubits);
    if (g.kind == fusion::GroupKind::DenseMM) {
      const auto side = static_cast<py::ssize_t>(size_t{1} << g.active_qubits.size());
      py::array_t<std::complex<double>> m({side, side});
      std::copy(g.dense_matrix.begin(), g.dense_matrix.end(), m.mutable_data());
      d["dense_matrix"] = m;
    } else {
      d["dense_matrix"] = py::none();
    }
    out[i] = d;
  }
  return out;
}

// The temporary device copy that run_circuit and measure work on.
DeviceState upload_temporary(int64_t n, py::array& state, const std::string& device, bool use_pinned_host) {
  check_host_array(n, state);
  const int device_id = quillmarch::parse_device(device);
  const Precision precision = numpy_precision(state);
  quillmarch::refresh_runtime_settings();
  DeviceState s(n, precision, device_id);
  s.upload_from_host(state.data(), static_cast<uint64_t>(state.size()), use_pinned_host);
  return s;
}

py::array run_circuit(int64_t n, py::array state, const py::list& gate_ir, const std::string& endian,
                      const std::string& device, KernelMode mode, bool use_pinned_host) {
  check_host_array(n, state);
  quillmarch::check_endian(endian);
  quillmarch::parse_device(device);
  numpy_precision(state);
  // The list is parsed before the array is read: parsing runs the caller's
  // code, which may resize the array.
  std::vector<GateRecord> records = parse_gate_ir(gate_ir);
  DeviceState s = upload_temporary(n, state, device, use_pinned_host);
  run_on_device(s, records, endian, mode);
  check_host_array(n, state);
  s.download_to_host(state.mutable_data(), s.num_state, use_pinned_host);
  return state;
}

std::string measure(int64_t n, py::array state, const Targets& targets, const std::string& endian,
                    const std::string& device, bool use_pinned_host) {
  check_host_array(n, state);
  quillmarch::check_endian(endian);
  DeviceState s = upload_temporary(n, state, device, use_pinned_host);
  std::string outcome = measure_on_device(s, targets.values, endian, py::none());
  check_host_array(n, state);
  s.download_to_host(state.mutable_data(), s.num_state, use_pinned_host);
  return outcome;
}

std::shared_ptr<DeviceState> from_numpy(int64_t n, py::array state, const std::string& device, bool use_pinned_host) {
  validate_numpy_layout(n, state);
  const Precision precision = numpy_precision(state);
  const int device_id = quillmarch::parse_device(device);
  quillmarch::refresh_runtime_settings();
  auto s = std::make_shared<DeviceState>(n, precision, device_id);
  const void* data = state.data();
  const auto count = static_cast<uint64_t>(state.size());
  without_gil([&] { s->upload_from_host(data, count, use_pinned_host); });
  return s;
}

std::shared_ptr<DeviceState> from_dlpack(int64_t n, const py::object& array, const std::string& device) {
  quillmarch::ImportedTensor imported(array);
  const DLTensor& t = imported.tensor();
  validate_layout(n, t.ndim, quillmarch::is_c_contiguous(t), imported.size());
  const Precision precision = quillmarch::parse_precision(quillmarch::dtype_name(t.dtype));
  const int device_id = quillmarch::parse_device(device);
  auto s = std::make_shared<DeviceState>(n, precision, device_id);
  without_gil([&] { quillmarch::copy_from_tensor(s->d_state(), device_id, t, s->byte_size()); });
  return s;
}

std::shared_ptr<DeviceState> zero_state(int64_t n, const std::string& dtype, const std::string& device) {
  const int device_id = quillmarch::parse_device(device);
  const Precision precision = quillmarch::parse_precision(dtype);
  quillmarch::refresh_runtime_settings();
  auto s = std::make_shared<DeviceState>(n, precision, device_id);
  without_gil([&] { s->reset_to_zero_state(); });
  return s;
}

py::array to_numpy(const DeviceState& s, bool use_pinned_host) {
  const std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(s.num_state)};
  py::array out(py::dtype(s.dtype_name()), shape);
  void* data = out.mutable_data();
  without_gil([&] { s.download_to_host(data, s.num_state, use_pinned_host); });
  return out;
}

void copy_to_numpy(const DeviceState& s, py::array state, bool use_pinned_host) {
  require_writable(state);
  validate_numpy_layout(s.n, state);
  if (numpy_precision(state) != s.core().precision())
    throw std::invalid_argument("numpy state dtype does not match DeviceState");
  void* data = state.mutable_data();
  const auto count = static_cast<uint64_t>(state.size());
  without_gil([&] { s.download_to_host(data, count, use_pinned_host); });
}

std::string repr_state(const DeviceState& s) {
  return "<vorlent.DeviceState n=" + std::to_string(s.n) + " dtype=" + s.dtype_name() +
         " device=cuda:" + std::to_string(s.device_id) + ">";
}

struct DeviceStateProtocols {
  using State = DeviceState;
  static constexpr const char* module = "vorlent";
  static constexpr const char* rebuild = "_restore_device_state";
  static constexpr const char* rebuild_doc = "Rebuild a pickled DeviceState.";
  static constexpr const char* array_arg = "amplitudes";
  static constexpr const char* dlpack_doc =
      "A DLPack capsule viewing the state's amplitudes in place (a copy when copy is True).";

  static std::vector<int64_t> shape(const DeviceState& s) { return {static_cast<int64_t>(s.num_state)}; }
  static int64_t qubits(const DeviceState& s) { return s.n; }
  static void check_pickled(int64_t n, const std::string& dtype, const py::array& amplitudes) {
    validate_numpy_layout(n, amplitudes);
    const Precision stored = numpy_precision(amplitudes);
    if (stored != quillmarch::parse_precision(dtype))
      throw std::invalid_argument("numpy state dtype does not match DeviceState");
  }
  static std::shared_ptr<DeviceState> from_numpy(int64_t n, py::array amplitudes, const std::string& device) {
    return vorlent::from_numpy(n, std::move(amplitudes), device, false);
  }
};

// A chunk pickles as its qubit count, its gates (in the gate_ir form) and the
// options it was planned with. Planning is a pure function of these, so the
// restored chunk has the very same plan, and no plan data from a pickle ever
// reaches a kernel unchecked.
py::tuple reduce_chunk(const PreparedFusionChunk& chunk) {
  py::list gates;
  for (const GateRecord& r : chunk.gates()) {
    py::dict d;
    d["id"] = r.name;
    d["target"] = py::cast(r.targets);
    d["control"] = py::cast(r.controls);
    d["control_state"] = py::cast(r.control_state);
    d["parameter"] = py::cast(r.parameters);
    if (r.has_matrix) {
      py::array_t<std::complex<double>> m(
          {static_cast<py::ssize_t>(r.matrix_dim), static_cast<py::ssize_t>(r.matrix_dim)});
      std::copy(r.matrix.begin(), r.matrix.end(), m.mutable_data());
      d["matrix"] = m;
    }
    gates.append(d);
  }
  const FusionOptions& o = chunk.options();
  py::dict options;
  options["fuse_swap"] = o.fuse_swap;
  options["sparsesharemem_qubits"] = o.sparsesharemem_qubits;
  options["densemm_min_qubits"] = o.densemm_min_qubits;
  options["densemm_max_qubits"] = o.densemm_max_qubits;
  options["densemm_gate_threshold_scale"] = o.densemm_gate_threshold_scale;
  options["max_gates_per_group"] = o.max_gates_per_group;
  options["pad_sparsesharemem"] = o.pad_sparsesharemem;
  return py::make_tuple(py::module_::import("vorlent").attr("_restore_fusion_chunk"),
                        py::make_tuple(chunk.n(), gates, options));
}

std::shared_ptr<PreparedFusionChunk> plan_chunk(int64_t n, std::vector<GateRecord> records,
                                                const FusionOptions& options) {
  auto chunk = std::make_shared<PreparedFusionChunk>(n, std::move(records));
  without_gil([&] { chunk->plan(options, quillmarch::pyguard::check_signals); });
  return chunk;
}

std::shared_ptr<PreparedFusionChunk> restore_fusion_chunk(int64_t n, const py::list& gates, const py::dict& o) {
  quillmarch::check_state_qubits(n);
  const FusionOptions options{o["sparsesharemem_qubits"].cast<int32_t>(),
                              o["densemm_min_qubits"].cast<int32_t>(),
                              o["densemm_max_qubits"].cast<int32_t>(),
                              o["densemm_gate_threshold_scale"].cast<double>(),
                              o["max_gates_per_group"].cast<int32_t>(),
                              o["pad_sparsesharemem"].cast<bool>(),
                              o["fuse_swap"].cast<bool>()};
  return plan_chunk(n, parse_gate_ir(gates), options);
}

std::shared_ptr<PreparedFusionChunk> prepare_fusion_chunk_gates(int64_t n, const py::iterable& gates, bool fuse_swap,
                                                                int32_t sparsesharemem_qubits,
                                                                int32_t densemm_min_qubits, int32_t densemm_max_qubits,
                                                                double densemm_gate_threshold_scale,
                                                                int32_t max_gates_per_group, bool pad_sparsesharemem) {
  quillmarch::check_state_qubits(n);
  std::vector<GateRecord> records = parse_gate_objects(gates);
  const FusionOptions options{
      sparsesharemem_qubits, densemm_min_qubits, densemm_max_qubits, densemm_gate_threshold_scale,
      max_gates_per_group,   pad_sparsesharemem, fuse_swap};
  return plan_chunk(n, std::move(records), options);
}

void execute_prepared_fusion_chunk(DeviceState& s, const PreparedFusionChunk& chunk) {
  if (s.n != chunk.n()) throw std::invalid_argument("DeviceState qubit count does not match prepared fusion chunk");
  check_gate_values(chunk.gates(), s.is_double != 0);
  without_gil([&] {
    with_precision(
        s, [&](auto* amplitudes) { fusion::execute_prepared_chunk(amplitudes, s.num_state, s.device_id, chunk); });
  });
}

std::string repr_chunk(const PreparedFusionChunk& c) {
  return "<vorlent.PreparedFusionChunk n=" + std::to_string(c.n()) + " gates=" + std::to_string(c.gate_count()) +
         " groups=" + std::to_string(c.fusion_plan().groups.size()) + ">";
}

}  // namespace
}  // namespace vorlent

PYBIND11_MODULE(vorlent, m) {
  using namespace vorlent;
  m.doc() = "CUDA gate backend for quillmarch";
  m.attr("backend") = QM_BACKEND_NAME;

  py::enum_<KernelMode> kernel_mode(m, "KernelMode");
  kernel_mode.value("AllState", KernelMode::AllState)
      .value("Pair", KernelMode::Pair)
      .value("PairAuto", KernelMode::PairAuto)
      .value("PairAutoFusion", KernelMode::PairAutoFusion)
      .export_values();
  // Construction and unpickling from a value outside the members fail here,
  // ahead of the library's own overloads, which take any integer.
  kernel_mode.def(py::init([](int64_t value) {
                    if (value < 0 || value > 3) throw py::value_error(mode_message(value));
                    return static_cast<KernelMode>(value);
                  }),
                  py::arg("value"), py::prepend());
  kernel_mode.attr("__setstate__") = py::cpp_function(
      [](py::detail::value_and_holder& v_h, int64_t value) {
        if (value < 0 || value > 3) throw py::value_error(mode_message(value));
        py::detail::initimpl::setstate<py::class_<KernelMode>>(v_h, static_cast<KernelMode>(value),
                                                               Py_TYPE(v_h.inst) != v_h.type->type);
      },
      py::detail::is_new_style_constructor(), py::name("__setstate__"), py::is_method(kernel_mode), py::arg("state"),
      py::pos_only());

  py::class_<DeviceState, std::shared_ptr<DeviceState>> device_state(m, "DeviceState");
  device_state
      .def_static("from_numpy", &from_numpy, py::arg("n"), py::arg("state").noconvert(), py::arg("device") = "cuda:0",
                  py::arg("use_pinned_host") = false)
      .def_static("from_dlpack", &from_dlpack,
                  "Build a state from any DLPack producer (NumPy, CuPy, PyTorch) with one copy on the device side.",
                  py::arg("n"), py::arg("array"), py::arg("device") = "cuda:0")
      .def_static("zero_state", &zero_state, py::arg("n"), py::arg("dtype") = "complex128",
                  py::arg("device") = "cuda:0")
      .def("to_numpy", &to_numpy, py::arg("use_pinned_host") = false)
      .def("copy_to_numpy", &copy_to_numpy, py::arg("state").noconvert(), py::arg("use_pinned_host") = false)
      .def_property_readonly("n", [](const DeviceState& s) { return s.n; })
      .def_property_readonly("num_state", [](const DeviceState& s) { return s.num_state; })
      .def_property_readonly("device_id", [](const DeviceState& s) { return s.device_id; })
      .def_property_readonly("dtype", [](const DeviceState& s) { return s.dtype_name(); })
      .def("__repr__", &repr_state);
  quillmarch::def_state_protocols<DeviceStateProtocols>(device_state);
  quillmarch::def_rebuild<DeviceStateProtocols>(m);

  py::class_<PreparedFusionChunk, std::shared_ptr<PreparedFusionChunk>> chunk_class(m, "PreparedFusionChunk");
  chunk_class.def_property_readonly("n", &PreparedFusionChunk::n)
      .def_property_readonly("gate_count", &PreparedFusionChunk::gate_count)
      .def_property_readonly("groups", &plan_groups,
                             "The plan, one dict per fused group in execution order: kind, gate_indices, "
                             "active_qubits and, for DenseMM groups, dense_matrix.")
      .def("__reduce__", &reduce_chunk)
      // Chunks are immutable, so a copy may share everything.
      .def("__copy__", [](const std::shared_ptr<PreparedFusionChunk>& c) { return c; })
      .def(
          "__deepcopy__", [](const std::shared_ptr<PreparedFusionChunk>& c, const py::object&) { return c; },
          py::arg("memo"))
      .def("__repr__", &repr_chunk);

  m.def("_restore_fusion_chunk", &restore_fusion_chunk, "Rebuild a pickled PreparedFusionChunk.", py::arg("n"),
        py::arg("gates"), py::arg("options"));

  m.def("run_circuit_device", &run_circuit_device, "Run a gate_ir chunk on an existing CUDA DeviceState.",
        py::arg("state"), py::arg("gate_ir"), py::arg("endian") = "little", py::arg("mode") = KernelMode::PairAuto);

  m.def("prepare_fusion_chunk_gates", &prepare_fusion_chunk_gates,
        "Parse and plan one streamed chunk on the CPU without launching CUDA.", py::arg("n"), py::arg("gates"),
        py::arg("fuse_swap") = true, py::arg("sparsesharemem_qubits") = 10, py::arg("densemm_min_qubits") = 1,
        py::arg("densemm_max_qubits") = 7, py::arg("densemm_gate_threshold_scale") = 1.0,
        py::arg("max_gates_per_group") = 512, py::arg("pad_sparsesharemem") = true);

  m.def("execute_prepared_fusion_chunk", &execute_prepared_fusion_chunk,
        "Execute one CPU-prepared fusion chunk and wait for its CUDA work.", py::arg("state"), py::arg("chunk"));

  m.def("run_circuit_device_gates", &run_circuit_device_gates,
        "Run a QuantumGate object chunk on an existing CUDA DeviceState.", py::arg("state"), py::arg("gates"),
        py::arg("endian") = "little", py::arg("mode") = KernelMode::PairAuto);

  m.def("measure_device", &measure_device, "Measure target qubits on an existing CUDA DeviceState.", py::arg("state"),
        py::arg("targets"), py::arg("endian") = "little", py::arg("seed") = py::none());

  m.def("sample_measure_device", &sample_measure_device,
        "Batch-sample target qubits and optionally collapse to the final outcome.", py::arg("state"),
        py::arg("targets"), py::arg("shots"), py::arg("endian") = "little", py::arg("seed") = py::none(),
        py::arg("collapse_last") = true);

  m.def("run_circuit", &run_circuit, "Run a gate_ir chunk on CUDA. The numpy state is modified in-place and returned.",
        py::arg("n"), py::arg("state").noconvert(), py::arg("gate_ir"), py::arg("endian") = "little",
        py::arg("device") = "cuda:0", py::arg("mode") = KernelMode::PairAuto, py::arg("use_pinned_host") = false);

  m.def("measure", &measure,
        "Measure target qubits on CUDA. The numpy state is collapsed in-place and the measured bit string is "
        "returned.",
        py::arg("n"), py::arg("state").noconvert(), py::arg("targets"), py::arg("endian") = "little",
        py::arg("device") = "cuda:0", py::arg("use_pinned_host") = false);

  def_observables(m);
  quillmarch::pyguard::def_current_device(m);

  // A device that runs out of memory first gets back what fusion keeps cached.
  quillmarch::release_cached_device_memory = [] { return fusion::release_densemm_cache(); };
  m.def(
      "release_fusion_cache", [] { without_gil([] { fusion::release_densemm_cache(); }); },
      "Free the calling thread's DenseMM scratch buffers and cuBLAS handle now. PairAutoFusion keeps them between "
      "calls (two state-sized buffers at most); they are also freed, and the allocation retried, when a device "
      "allocation of this module runs out of memory.");

  bind_distributed(m);

  quillmarch::pyguard::seal_class(device_state, true);
  quillmarch::pyguard::seal_class(chunk_class, true);
  quillmarch::pyguard::seal_enum(kernel_mode);
}
