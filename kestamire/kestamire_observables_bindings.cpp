// Python surface of the density-matrix observables: words and targets are read
// and checked with the interpreter lock held, the passes run without it.
#include "common/py_guard.h"

#include "kestamire/kestamire_observables_bindings.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/cu_complex.h"
#include "common/parsers.h"
#include "common/pauli_words.h"
#include "common/pauli_words_py.h"
#include "common/state_core.h"
#include "kestamire/kestamire_device_state.h"
#include "kestamire/kestamire_measure.h"
#include "kestamire/kestamire_observables.h"

namespace py = pybind11;

namespace quillmarch {
namespace kestamire {
namespace {

using pyguard::without_gil;

py::array expectations(const DeviceDensityState& s, const PauliWordList& paulis) {
  const std::vector<PauliWord> words = parse_pauli_words(paulis.words, static_cast<int64_t>(s.num_qubits));
  if (words.empty()) return float64_array({});
  const std::vector<double> values = without_gil([&] {
    return with_precision(s,
                          [&](auto* rho) { return density_pauli_expectations(rho, s.num_qubits, s.device_id, words); });
  });
  return float64_array(values);
}

py::array probabilities(const DeviceDensityState& s, const Targets& targets, const std::string& endian) {
  check_endian(endian);
  const std::vector<double> values = without_gil([&] {
    return with_precision(s, [&](auto* rho) {
      return density_probabilities(rho, s.num_qubits, targets.values, endian, s.device_id, true);
    });
  });
  return float64_array(values);
}

}  // namespace

void def_observables(py::module_& m) {
  def_word_observables(m, &expectations, &probabilities, "DeviceDensityState", "Tr(rho P)", "matrix");
}

}  // namespace kestamire
}  // namespace quillmarch
