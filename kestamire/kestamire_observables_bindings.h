// Registers the observables (pauli_expectations, probabilities) into the
// kestamire module.
#pragma once

#include <pybind11/pybind11.h>

namespace quillmarch {
namespace kestamire {

void def_observables(pybind11::module_& m);

}  // namespace kestamire
}  // namespace quillmarch
