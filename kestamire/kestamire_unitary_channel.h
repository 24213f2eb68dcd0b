// A one-qubit unitary directly followed by a built-in channel on the same
// qubit, applied in one pass over rho.
#pragma once

#include <cstdint>

#include "common/cu_complex.h"
#include "kestamire/density_ops.h"

namespace quillmarch {
namespace kestamire {

// rho <- channel(U rho U^dagger) on the single target of `targets` (no
// controls); `matrix` is the 2 x 2 row-major U on the device.
template <typename T>
void launch_unitary_channel(CuComplex<T>* rho, uint64_t dim, const CuComplex<T>* matrix, int kind, T parameter,
                            const DeviceTargets& targets);

}  // namespace kestamire
}  // namespace quillmarch
