// Python surface of the state-vector observables: words and targets are read
// and checked with the interpreter lock held, the passes run without it.
#include "common/py_guard.h"

#include "vorlent/vorlent_observables_bindings.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <complex>
#include <memory>
#include <string>
#include <vector>

#include "common/cu_complex.h"
#include "common/parsers.h"
#include "common/pauli_words.h"
#include "common/pauli_words_py.h"
#include "common/state_core.h"
#include "vorlent/measure/vorlent_observables.h"
#include "vorlent/vorlent_device_state.h"

namespace py = pybind11;

namespace vorlent {
namespace {

using quillmarch::CuComplex;
using quillmarch::with_precision;
using quillmarch::pyguard::without_gil;

struct TargetsName {
  static constexpr const char* text = "targets";
};
using Targets = quillmarch::IndexList<TargetsName>;

py::array float64_array(const std::vector<double>& values) {
  py::array_t<double> out(static_cast<py::ssize_t>(values.size()));
  std::copy(values.begin(), values.end(), out.mutable_data());
  return std::move(out);
}

py::array expectations(const DeviceState& s, const quillmarch::PauliWordList& paulis) {
  const std::vector<quillmarch::PauliWord> words = quillmarch::parse_pauli_words(paulis.words, s.n);
  if (words.empty()) return float64_array({});
  const std::vector<double> values = without_gil([&] {
    return with_precision(s, [&](auto* amplitudes) { return pauli_expectations(s.n, amplitudes, s.device_id, words); });
  });
  return float64_array(values);
}

py::array probabilities(const DeviceState& s, const Targets& targets, const std::string& endian) {
  quillmarch::check_endian(endian);
  const std::vector<double> values = without_gil([&] {
    return with_precision(s, [&](auto* amplitudes) {
      return marginal_probabilities(s.n, amplitudes, s.num_state, s.device_id, targets.values, endian);
    });
  });
  return float64_array(values);
}

std::complex<double> overlap(const DeviceState& a, const DeviceState& b) {
  if (a.n != b.n) throw std::invalid_argument("inner_product states must have the same number of qubits");
  if (a.is_double != b.is_double) throw std::invalid_argument("inner_product states must have the same dtype");
  if (a.device_id != b.device_id) throw std::invalid_argument("inner_product states must be on the same device");
  return without_gil([&] {
    return with_precision(
        a, [&](auto* left) { return inner_product(a.n, left, static_cast<decltype(left)>(b.d_state()), a.device_id); });
  });
}

}  // namespace

void def_observables(py::module_& m) {
  m.def("pauli_expectations", &expectations,
        "Expectation values <psi|P|psi> of Pauli words on a DeviceState, as a float64 array in the order given. "
        "A word is a string of n letters from 'IXYZ' in which character q acts on qubit q (character 0 is "
        "qubit 0), or a sequence of (qubit, letter) pairs with distinct qubits (absent qubits are I). Words that "
        "flip the same qubits share one pass over the state.",
        py::arg("state"), py::arg("paulis"));
  m.def("probabilities", &probabilities,
        "Marginal probabilities of the target qubits on a DeviceState, as a float64 array of 2**len(targets) "
        "entries whose index bit j is the value of targets[j]; targets and endian as in measure_device.",
        py::arg("state"), py::arg("targets"), py::arg("endian") = "little");
  m.def("inner_product", &overlap,
        "The overlap <a|b> of two DeviceStates with the same n, dtype and device, as a complex number.", py::arg("a"),
        py::arg("b"));
}

}  // namespace vorlent
