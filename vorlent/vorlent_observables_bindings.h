// Registers the observables (pauli_expectations, probabilities, inner_product)
// into the vorlent module.
#pragma once

#include <pybind11/pybind11.h>

namespace vorlent {

void def_observables(pybind11::module_& m);

}  // namespace vorlent
