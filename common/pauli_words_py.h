// Reads a `paulis` argument: a sequence of words, each a string of letters or
// a sequence of (qubit, letter) pairs. Only the shape is read here; letters,
// lengths and qubits are checked against the state by parse_pauli_words.
// Include after common/py_guard.h.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "common/pauli_words.h"
#include "common/py_guard.h"

namespace quillmarch {

struct PauliWordList {
  std::vector<PauliWordText> words;
};

namespace pauli_detail {

inline bool read_text(pybind11::handle item, std::string& out) {
  if (!PyUnicode_Check(item.ptr())) return false;
  out = pybind11::cast<std::string>(item);
  return true;
}

// A (qubit, letter) pair: a two-item sequence, an integer and a string.
inline bool read_pair(pybind11::handle item, std::pair<int64_t, std::string>& out) {
  if (!PySequence_Check(item.ptr()) || PyUnicode_Check(item.ptr()) || PyBytes_Check(item.ptr())) return false;
  const Py_ssize_t size = PySequence_Size(item.ptr());
  if (size < 0) throw pybind11::error_already_set();
  if (size != 2) return false;
  pybind11::object qubit = pybind11::reinterpret_steal<pybind11::object>(PySequence_GetItem(item.ptr(), 0));
  if (!qubit) throw pybind11::error_already_set();
  pybind11::object letter = pybind11::reinterpret_steal<pybind11::object>(PySequence_GetItem(item.ptr(), 1));
  if (!letter) throw pybind11::error_already_set();
  return pyguard::load_index(qubit, out.first) && read_text(letter, out.second);
}

inline PauliWordText read_word(pybind11::handle item) {
  PauliWordText word;
  if (read_text(item, word.letters)) return word;
  word.is_string = false;
  std::vector<pybind11::object> items;
  if (!pyguard::read_sequence(item, "pauli word", items)) {
    word.malformed = true;
    return word;
  }
  for (const pybind11::object& pair_item : items) {
    std::pair<int64_t, std::string> pair;
    if (!read_pair(pair_item, pair)) {
      word.malformed = true;
      return word;
    }
    word.pairs.push_back(std::move(pair));
  }
  return word;
}

}  // namespace pauli_detail

inline pybind11::array float64_array(const std::vector<double>& values) {
  pybind11::array_t<double> out(static_cast<pybind11::ssize_t>(values.size()));
  std::copy(values.begin(), values.end(), out.mutable_data());
  return std::move(out);
}

// Defines a module's pauli_expectations and probabilities; the docstrings
// differ between the modules only in the state class, the expectation's form
// and what one pass walks over.
template <typename State>
void def_word_observables(pybind11::module_& m, pybind11::array (*expectations)(const State&, const PauliWordList&),
                          pybind11::array (*probabilities)(const State&, const Targets&, const std::string&),
                          const std::string& state_class, const std::string& form, const std::string& pass_over) {
  const std::string expectations_doc =
      "Expectation values " + form + " of Pauli words on a " + state_class +
      ", as a float64 array in the order given. A word is a string of n letters from 'IXYZ' in which character q "
      "acts on qubit q (character 0 is qubit 0), or a sequence of (qubit, letter) pairs with distinct qubits (absent "
      "qubits are I). Words that flip the same qubits share one pass over the " +
      pass_over + ".";
  const std::string probabilities_doc =
      "Marginal probabilities of the target qubits on a " + state_class +
      ", as a float64 array of 2**len(targets) entries whose index bit j is the value of targets[j]; targets and "
      "endian as in measure_device.";
  // pybind11 copies the docstrings.
  m.def("pauli_expectations", expectations, expectations_doc.c_str(), pybind11::arg("state"), pybind11::arg("paulis"));
  m.def("probabilities", probabilities, probabilities_doc.c_str(), pybind11::arg("state"), pybind11::arg("targets"),
        pybind11::arg("endian") = "little");
}

}  // namespace quillmarch

namespace pybind11 {
namespace detail {

template <>
class type_caster<quillmarch::PauliWordList> {
 public:
  PYBIND11_TYPE_CASTER(quillmarch::PauliWordList,
                       io_name("collections.abc.Sequence[str | collections.abc.Sequence[tuple[typing.SupportsIndex, "
                               "str]]]",
                               "list[str]"));
  bool load(handle src, bool) {
    if (src && PyUnicode_Check(src.ptr()))
      throw value_error("paulis must be a sequence of Pauli words, not a single string");
    std::vector<object> items;
    if (!quillmarch::pyguard::read_sequence(src, "paulis", items)) return false;
    value.words.clear();
    value.words.reserve(items.size());
    for (size_t k = 0; k < items.size(); ++k) {
      quillmarch::pyguard::poll_signals(k);
      value.words.push_back(quillmarch::pauli_detail::read_word(items[k]));
    }
    return true;
  }
  static handle cast(const quillmarch::PauliWordList&, return_value_policy, handle) { return none().release(); }
};

}  // namespace detail
}  // namespace pybind11
