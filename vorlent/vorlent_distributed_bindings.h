// Python surface of DistributedState and its overloads of the module functions.
#pragma once

#include "common/py_guard.h"

namespace vorlent {

// Call after the DeviceState forms are registered: the overloads added here are
// tried after them.
void bind_distributed(pybind11::module_& m);

}  // namespace vorlent
