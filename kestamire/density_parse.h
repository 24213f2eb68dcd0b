// Reads Python operation objects into density operations (binding side).
#pragma once

#include "common/py_guard.h"

#include <vector>

#include "kestamire/density_ops.h"

namespace quillmarch {
namespace kestamire {

std::vector<DensityOperation> parse_density_operations(const pybind11::iterable& operations);

}  // namespace kestamire
}  // namespace quillmarch
