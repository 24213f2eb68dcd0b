// DistributedState from Python: argument agreement among processes, then the
// collective core with the interpreter lock released (the transport takes it
// back for each transfer).
#include "vorlent/vorlent_distributed_bindings.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/parsers.h"
#include "common/pauli_words.h"
#include "common/pauli_words_py.h"
#include "vorlent/distributed/distributed_state.h"
#include "vorlent/distributed/mpi_transport.h"
#include "vorlent/fusion/planner.h"
#include "vorlent/vorlent_parse.h"

namespace py = pybind11;

namespace vorlent {
namespace {

using distributed::Digest;
using distributed::DistributedState;
using distributed::MpiTransport;
using quillmarch::pyguard::without_gil;

using quillmarch::Targets;

const char* const kDigestMismatch =
    "DistributedState call arguments differ across ranks; every rank must make the same call";

// The local outcome of checking a call's arguments: its digest, or the error
// that every rank raises once all of them agree that they failed alike.
struct Checked {
  uint64_t digest = 0;
  std::exception_ptr failure;
};

// Runs `check`, which feeds the digest; an exception it throws is kept and
// digested by its text, so ranks that fail differently disagree.
template <typename Check>
Checked check_call(const char* call, Check&& check) {
  Checked c;
  Digest d;
  d.text(call);
  try {
    check(d);
  } catch (py::error_already_set& e) {
    d.text(std::string("error: ") + e.what());
    c.failure = std::current_exception();
  } catch (const std::exception& e) {
    d.text(std::string("error: ") + e.what());
    c.failure = std::current_exception();
  }
  c.digest = d.value();
  return c;
}

void settle_call(distributed::Transport& transport, const Checked& c) {
  if (!distributed::agree(transport, c.digest)) throw py::value_error(kDigestMismatch);
  if (c.failure) std::rethrow_exception(c.failure);
}

void check_mode(KernelMode mode) {
  const auto value = static_cast<int32_t>(mode);
  if (value < 0 || value > 3)
    throw std::invalid_argument("mode must be KernelMode.AllState, Pair, PairAuto or PairAutoFusion (0 to 3), got: " +
                                std::to_string(value));
}

std::string refusal(int64_t n, int size, uint64_t buffer_bytes) {
  if (static_cast<uint64_t>(n) - 1 > 61) return "n must be in [1, 62]";
  const int g = __builtin_ctz(static_cast<unsigned>(size));
  if (n - g < 1)
    return "DistributedState needs at least one local qubit: n = " + std::to_string(n) + " on " + std::to_string(size) +
           " processes leaves none";
  if (buffer_bytes < distributed::kMinBufferBytes)
    return "buffer_bytes must be at least one page (4096 bytes), got " + std::to_string(buffer_bytes);
  return "";
}

// Everything before the slices exist: the process count, the local refusals
// and the agreement on n, precision and buffer size (the precision is the
// root's). Returns the new, unfilled state.
std::shared_ptr<DistributedState> open_state(int64_t n, const std::string& dtype_here, const py::object& comm,
                                             const std::string& device, uint64_t buffer_bytes, bool scatters, int root,
                                             const std::optional<bool>& cuda_aware, const std::string& local_error) {
  auto transport = std::make_shared<MpiTransport>(comm);
  // Each process's own choice: what its MPI library takes needs no agreement.
  const bool device_transport = cuda_aware ? *cuda_aware : transport->library_cuda_aware();
  const int size = transport->size();
  if (size <= 0 || (size & (size - 1)) != 0)
    throw py::value_error("DistributedState needs a power-of-two number of processes, got " + std::to_string(size));
  std::string error = local_error.empty() ? refusal(n, size, buffer_bytes) : local_error;
  if (error.empty() && scatters && (root < 0 || root >= size))
    error = "root must be a rank of the communicator, got " + std::to_string(root);
  int device_id = 0;
  if (error.empty() && device != "cuda" && device != "gpu") {
    try {
      device_id = quillmarch::parse_device(device);
    } catch (const std::exception& e) {
      error = e.what();
    }
  }
  const std::vector<std::string> errors = transport->allgather(error);
  for (const std::string& e : errors) {
    if (!e.empty()) throw py::value_error(e);
  }
  const std::string key = std::to_string(n) + "/" + std::to_string(buffer_bytes) + "/" + std::to_string(root);
  const std::vector<std::string> keys = transport->allgather(key);
  const std::vector<std::string> dtypes = transport->allgather(dtype_here);
  for (int r = 0; r < size; ++r) {
    if (keys[static_cast<size_t>(r)] != key || (!scatters && dtypes[static_cast<size_t>(r)] != dtype_here))
      throw py::value_error(
          "DistributedState arguments differ across ranks: n, dtype, buffer_bytes and root must "
          "be the same on every rank");
  }
  const std::string dtype = dtypes[static_cast<size_t>(scatters ? root : 0)];
  if (device == "cuda" || device == "gpu") {
    int count = 0;
    quillmarch::check_cuda(cudaGetDeviceCount(&count));
    device_id = count > 0 ? transport->node_rank() % count : 0;
  }
  std::shared_ptr<DistributedState> state;
  std::string failed;
  try {
    quillmarch::refresh_runtime_settings();
    state = std::make_shared<DistributedState>(n, quillmarch::parse_dtype(dtype), device_id, buffer_bytes, transport);
  } catch (const std::exception& e) {
    failed = e.what();
  }
  distributed::settle(*transport, failed);
  state->cuda_aware = device_transport;
  return state;
}

py::object gathered(const DistributedState& s, bool everywhere, int root) {
  if (!distributed::agree(s.transport(), static_cast<uint64_t>(static_cast<uint32_t>(root))))
    throw py::value_error(kDigestMismatch);
  if (root < 0 || root >= s.size)
    throw py::value_error("root must be a rank of the communicator, got " + std::to_string(root));
  const std::string dtype = s.local.dtype_name();
  const auto count = static_cast<py::ssize_t>(uint64_t{1} << s.n);
  if (!everywhere && s.rank != root) {
    without_gil([&] { s.gather_to(nullptr, root); });
    return py::none();
  }
  py::array out(py::dtype(dtype), std::vector<py::ssize_t>{count});
  void* data = out.mutable_data();
  without_gil([&] {
    if (everywhere) {
      s.gather_to_all(data);
    } else {
      s.gather_to(data, root);
    }
  });
  return std::move(out);
}

void run_distributed(DistributedState& s, const std::vector<GateRecord>& records, KernelMode mode) {
  without_gil([&] { s.run(records, mode); });
}

// A gate list run on every rank: parsed and checked as on one device, agreed
// across ranks, then run. An empty object list returns before the runner, as
// on one device; an empty gate_ir list still reaches it.
template <typename Parse>
void run_agreed_gates(DistributedState& s, const char* call, Parse&& parse, const std::string& endian, KernelMode mode,
                      bool empty_reaches_runner) {
  std::vector<GateRecord> records;
  const Checked c = check_call(call, [&](Digest& d) {
    quillmarch::check_endian(endian);
    records = parse();
    if (empty_reaches_runner || !records.empty()) {
      check_mode(mode);
      check_gate_values(records, s.is_double != 0);
    }
    d.u64(distributed::digest_records("", records, endian, static_cast<int32_t>(mode)));
  });
  settle_call(s.transport(), c);
  if (empty_reaches_runner || !records.empty()) run_distributed(s, records, mode);
}

uint64_t agreed_seed(DistributedState& s, const py::object& seed) {
  if (!seed.is_none()) return seed.cast<uint64_t>();
  uint64_t value = s.rank == 0 ? quillmarch::system_seed() : 0;
  s.transport().bcast(&value, sizeof value, 0);
  return value;
}

py::tuple sample(DistributedState& s, const char* call, const std::vector<int64_t>& targets, uint64_t shots,
                 const std::string& endian, const py::object& seed, bool collapse_last) {
  uint64_t given = 0;
  const Checked c = check_call(call, [&](Digest& d) {
    quillmarch::check_endian(endian);
    if (shots == 0) throw std::invalid_argument("shots must be positive");
    if (!seed.is_none()) given = seed.cast<uint64_t>();
    d.u64(targets.size());
    d.bytes(targets.data(), targets.size() * sizeof(int64_t));
    d.text(endian);
    d.u64(shots);
    d.u64(seed.is_none() ? 1 : 0);
    d.u64(given);
    d.u64(collapse_last ? 1 : 0);
  });
  settle_call(s.transport(), c);
  const uint64_t resolved = agreed_seed(s, seed);
  std::pair<OutcomeCounts, std::string> result =
      without_gil([&] { return s.sample(targets, endian, shots, resolved, collapse_last); });
  py::dict counts;
  for (const auto& entry : result.first) counts[py::str(entry.first)] = py::int_(entry.second);
  return py::make_tuple(counts, result.second);
}

// Adds the DistributedState form of a module function behind its DeviceState
// form. The function keeps the DeviceState form's signature line and text as
// its docstring: those are part of the module's documented surface.
template <typename F, typename... Extra>
void add_overload(py::module_& m, const char* name, F&& f, const Extra&... extra) {
  const std::string doc = py::str(m.attr(name).attr("__doc__"));
  m.def(name, std::forward<F>(f), extra...);
  auto* function = reinterpret_cast<PyCFunctionObject*>(m.attr(name).ptr());
  function->m_ml->ml_doc = strdup(doc.c_str());
}

// The DistributedState overload of a gate-list entry point.
template <typename List, typename Parse>
void add_gate_list_overload(py::module_& m, const char* name, const char* list_arg, const char* doc, Parse parse,
                            bool empty_reaches_runner) {
  add_overload(
      m, name,
      [name, parse, empty_reaches_runner](DistributedState& s, const List& gates, const std::string& endian,
                                          KernelMode mode) {
        run_agreed_gates(s, name, [&] { return parse(gates); }, endian, mode, empty_reaches_runner);
      },
      doc, py::arg("state"), py::arg(list_arg), py::arg("endian") = "little", py::arg("mode") = KernelMode::PairAuto);
}

py::dict stats_of(const DistributedState& s) {
  py::dict d;
  d["bytes_sent"] = s.stats.bytes_sent;
  d["swap_steps"] = s.stats.swap_steps;
  d["exchange_seconds"] = s.stats.exchange_seconds;
  return d;
}

}  // namespace

void bind_distributed(py::module_& m) {
  // The process that took the Ctrl-C raises what Python would have raised.
  // pybind11's translator type takes the pointer by value.
  py::register_local_exception_translator([](std::exception_ptr p) {  // NOLINT(performance-unnecessary-value-param)
    try {
      if (p) std::rethrow_exception(p);
    } catch (const distributed::Interrupted& e) {
      PyErr_SetString(PyExc_KeyboardInterrupt, e.what());
    }
  });
  py::class_<DistributedState, std::shared_ptr<DistributedState>> cls(
      m, "DistributedState",
      "A state vector spread over the 2**g processes of an mpi4py communicator; each holds n - g qubits.");
  cls.def_static(
         "zero_state",
         [](int64_t n, const std::string& dtype, const py::object& comm, const std::string& device,
            uint64_t buffer_bytes, const std::optional<bool>& cuda_aware) {
           std::string error;
           try {
             quillmarch::parse_dtype(dtype);
           } catch (const std::exception& e) {
             error = e.what();
           }
           auto s = open_state(n, dtype, comm, device, buffer_bytes, false, 0, cuda_aware, error);
           without_gil([&] { s->reset_to_zero_state(); });
           return s;
         },
         "The basis state |0...0> spread over the processes of `comm` (default MPI.COMM_WORLD).", py::arg("n"),
         py::arg("dtype") = "complex64", py::arg("comm") = py::none(), py::arg("device") = "cuda",
         py::arg("buffer_bytes") = uint64_t{1} << 26, py::arg("cuda_aware") = py::none())
      .def_static(
          "from_numpy",
          [](int64_t n, const py::object& array, const py::object& comm, const std::string& device,
             uint64_t buffer_bytes, int root, const std::optional<bool>& cuda_aware) {
            std::string error;
            std::string dtype;
            py::array host;
            const py::object mpi = distributed::import_mpi();
            const py::object c = comm.is_none() ? mpi.attr("COMM_WORLD") : comm;
            if (c.attr("Get_rank")().cast<int>() == root) {
              try {
                if (!py::isinstance<py::array>(array))
                  throw std::invalid_argument("state must be a numpy array on root");
                host = py::reinterpret_borrow<py::array>(array);
                if (host.ndim() != 1) throw std::invalid_argument("state must be a 1-D contiguous numpy array");
                if ((host.flags() & py::array::c_style) == 0) throw std::invalid_argument("state must be C-contiguous");
                if (static_cast<uint64_t>(n) - 1 > 61) throw std::invalid_argument("n must be in [1, 62]");
                if (static_cast<uint64_t>(host.size()) != (uint64_t{1} << n))
                  throw std::invalid_argument("state.size must equal 2**n");
                dtype = py::str(host.dtype());
                quillmarch::parse_dtype(dtype);
              } catch (const std::exception& e) {
                error = e.what();
              }
            }
            auto s = open_state(n, dtype, c, device, buffer_bytes, true, root, cuda_aware, error);
            const void* data = s->rank == root ? host.data() : nullptr;
            without_gil([&] { s->scatter_from(data, root); });
            return s;
          },
          "Scatters the full array held by `root` (anything, e.g. None, elsewhere); its precision is the root "
          "array's.",
          py::arg("n"), py::arg("array"), py::arg("comm") = py::none(), py::arg("device") = "cuda",
          py::arg("buffer_bytes") = uint64_t{1} << 26, py::arg("root") = 0, py::arg("cuda_aware") = py::none())
      .def(
          "gather", [](const DistributedState& s, int root) { return gathered(s, false, root); },
          "The full state in logical qubit order on `root`, None elsewhere.", py::arg("root") = 0)
      .def(
          "to_numpy", [](const DistributedState& s) { return gathered(s, true, 0); },
          "The full state in logical qubit order on every rank.")
      .def_property_readonly("n", [](const DistributedState& s) { return s.n; })
      .def_property_readonly("dtype", [](const DistributedState& s) { return s.local.dtype_name(); })
      .def_property_readonly("rank", [](const DistributedState& s) { return s.rank; })
      .def_property_readonly("size", [](const DistributedState& s) { return s.size; })
      .def_property_readonly("local_qubits", [](const DistributedState& s) { return s.local_qubits; })
      .def_property_readonly("device_id", [](const DistributedState& s) { return s.local.device_id; })
      .def_property_readonly("buffer_bytes", [](const DistributedState& s) { return s.buffer_bytes; })
      .def_property_readonly(
          "cuda_aware", [](const DistributedState& s) { return s.cuda_aware; },
          "True when exchanges hand device memory straight to MPI (given, or reported by a CUDA-aware MPI library); "
          "False when they stage through page-locked host memory.")
      .def_property_readonly(
          "layout", [](const DistributedState& s) { return s.layout; },
          "layout[q]: the physical index bit of logical qubit q; bits from local_qubits up select the rank.")
      .def_property_readonly("stats", &stats_of, "bytes_sent, swap_steps and exchange_seconds, cumulative.")
      .def("__repr__", [](const DistributedState& s) {
        return "<vorlent.DistributedState n=" + std::to_string(s.n) + " dtype=" + s.local.dtype_name() +
               " rank=" + std::to_string(s.rank) + "/" + std::to_string(s.size) +
               " local_qubits=" + std::to_string(s.local_qubits) + ">";
      });

  add_gate_list_overload<py::list>(
      m, "run_circuit_device", "gate_ir", "Run a gate_ir chunk on a DistributedState (a collective call).",
      [](const py::list& gates) { return parse_gate_ir(gates); }, true);
  add_gate_list_overload<py::iterable>(
      m, "run_circuit_device_gates", "gates",
      "Run a QuantumGate object chunk on a DistributedState (a collective call).",
      [](const py::iterable& gates) { return parse_gate_objects(gates); }, false);

  add_overload(
      m, "execute_prepared_fusion_chunk",
      [](DistributedState& s, const PreparedFusionChunk& chunk) {
        const Checked c = check_call("execute_prepared_fusion_chunk", [&](Digest& d) {
          if (s.n != chunk.n())
            throw std::invalid_argument("DeviceState qubit count does not match prepared fusion chunk");
          check_gate_values(chunk.gates(), s.is_double != 0);
          d.u64(distributed::digest_records("", chunk.gates(), "little",
                                            static_cast<int32_t>(KernelMode::PairAutoFusion)));
        });
        settle_call(s.transport(), c);
        // The chunk's plan is for one device; each process plans its local stretches.
        without_gil([&] {
          s.run(chunk.gates(), KernelMode::PairAutoFusion);
          quillmarch::check_cuda(cudaSetDevice(s.local.device_id));
          quillmarch::check_cuda(cudaDeviceSynchronize());
        });
      },
      "Execute a CPU-prepared fusion chunk on a DistributedState and wait for its work (a collective call).",
      py::arg("state"), py::arg("chunk"));

  add_overload(
      m, "measure_device",
      [](DistributedState& s, const Targets& targets, const std::string& endian, const py::object& seed) {
        const py::tuple result = sample(s, "measure_device", targets.values, 1, endian, seed, true);
        return py::str(result[1]);
      },
      "Measure target qubits of a DistributedState; every rank returns the same outcome (a collective call).",
      py::arg("state"), py::arg("targets"), py::arg("endian") = "little", py::arg("seed") = py::none());

  add_overload(
      m, "sample_measure_device",
      [](DistributedState& s, const Targets& targets, uint64_t shots, const std::string& endian, const py::object& seed,
         bool collapse_last) {
        return sample(s, "sample_measure_device", targets.values, shots, endian, seed, collapse_last);
      },
      "Batch-sample target qubits of a DistributedState; every rank returns the same counts (a collective call).",
      py::arg("state"), py::arg("targets"), py::arg("shots"), py::arg("endian") = "little",
      py::arg("seed") = py::none(), py::arg("collapse_last") = true);

  add_overload(
      m, "pauli_expectations",
      [](DistributedState& s, const quillmarch::PauliWordList& paulis) {
        std::vector<quillmarch::PauliWord> words;
        const Checked c = check_call("pauli_expectations", [&](Digest& d) {
          words = quillmarch::parse_pauli_words(paulis.words, s.n);
          d.u64(words.size());
          for (const quillmarch::PauliWord& w : words) {
            d.u64(w.flip);
            d.u64(w.sign_mask);
            d.u64(w.y_count);
          }
        });
        settle_call(s.transport(), c);
        return quillmarch::float64_array(without_gil([&] { return s.pauli_expectations(words); }));
      },
      "Pauli expectation values of a DistributedState, the same array on every rank (a collective call).",
      py::arg("state"), py::arg("paulis"));

  add_overload(
      m, "probabilities",
      [](DistributedState& s, const Targets& targets, const std::string& endian) {
        const Checked c = check_call("probabilities", [&](Digest& d) {
          quillmarch::check_endian(endian);
          validate_measure(s.n, uint64_t{1} << s.n, targets.values, endian);
          d.u64(targets.values.size());
          d.bytes(targets.values.data(), targets.values.size() * sizeof(int64_t));
          d.text(endian);
        });
        settle_call(s.transport(), c);
        return quillmarch::float64_array(without_gil([&] { return s.probabilities(targets.values, endian); }));
      },
      "Marginal probabilities of a DistributedState, the same array on every rank (a collective call).",
      py::arg("state"), py::arg("targets"), py::arg("endian") = "little");

  add_overload(
      m, "inner_product",
      [](DistributedState& a, DistributedState& b) {
        const Checked c = check_call("inner_product", [&](Digest& d) {
          if (a.n != b.n) throw std::invalid_argument("inner_product states must have the same number of qubits");
          if (a.is_double != b.is_double) throw std::invalid_argument("inner_product states must have the same dtype");
          if (a.size != b.size || a.rank != b.rank)
            throw std::invalid_argument("inner_product states must be spread over the same processes");
          if (a.local.device_id != b.local.device_id)
            throw std::invalid_argument("inner_product states must be on the same device");
          d.u64(static_cast<uint64_t>(a.n));
        });
        settle_call(a.transport(), c);
        return without_gil([&] { return a.inner_product(b); });
      },
      "<a|b> of two DistributedStates on the same processes, the same on every rank (a collective call); b's "
      "amplitudes may move to a's layout, which leaves b the same state.",
      py::arg("a"), py::arg("b"));

  quillmarch::pyguard::seal_class(cls, true);
}

}  // namespace vorlent
