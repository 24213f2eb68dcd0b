// Validation of density operations and their translation into execution
// records: named gates, diagonal and permutation forms, channels, Kraus sums.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/cu_complex.h"
#include "kestamire/density_ops.h"

namespace quillmarch {
namespace kestamire {

// The canonical name of a gate alias ("cx" -> "x", "xyarb" -> "rxy", ...);
// other names are returned unchanged.
std::string normalize_density_name(const std::string& name);

// The row-major matrix a named gate denotes, built in the precision T (bit j
// of a local index is the j-th target). `name` is the name as supplied.
template <typename T>
std::vector<CuComplex<T>> named_density_matrix(const std::string& name, const std::vector<double>& parameters,
                                               size_t target_count);

// Validates `operation` for an n-qubit state and appends the matrices it needs
// (of precision T) to `matrices`. Throws std::runtime_error on invalid input.
template <typename T>
PreparedDensityOp prepare_density_operation(const DensityOperation& operation, uint64_t n,
                                            std::vector<CuComplex<T>>& matrices);

}  // namespace kestamire
}  // namespace quillmarch
