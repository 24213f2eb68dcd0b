// The density executor: prepares a whole operation list, then applies it.
#pragma once

#include <cstdint>
#include <vector>

#include "common/cu_complex.h"
#include "kestamire/density_ops.h"

namespace quillmarch {
namespace kestamire {

// True when QUILLMARCH_DENSITY_FUSION is set, non-empty and does not start with '0'.
bool density_fusion_enabled();

// Prepares every operation before the first kernel, so an invalid one leaves
// rho untouched; ends with a device-wide synchronisation.
template <typename T>
void run_density_operations(CuComplex<T>* rho, uint64_t n, const std::vector<DensityOperation>& operations,
                            bool fusion);

}  // namespace kestamire
}  // namespace quillmarch
