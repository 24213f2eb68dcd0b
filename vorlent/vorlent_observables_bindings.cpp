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

using quillmarch::with_precision;
using quillmarch::pyguard::without_gil;

using quillmarch::float64_array;
using quillmarch::Targets;

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
  quillmarch::def_word_observables(m, &expectations, &probabilities, "DeviceState", "<psi|P|psi>", "state");
  m.def("inner_product", &overlap,
        "The overlap <a|b> of two DeviceStates with the same n, dtype and device, as a complex number.", py::arg("a"),
        py::arg("b"));
}

}  // namespace vorlent
