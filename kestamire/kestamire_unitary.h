// Launchers of the unitary, diagonal and permutation kernels: rho -> C rho C^dagger.
#pragma once

#include <cstdint>

#include "common/cu_complex.h"
#include "kestamire/density_ops.h"

namespace quillmarch {
namespace kestamire {

template <typename T>
void launch_unitary(CuComplex<T>* rho, uint64_t dim, const DeviceTargets& targets, uint64_t control_mask,
                    uint64_t control_value, const CuComplex<T>* matrix);

template <typename T>
void launch_diagonal(CuComplex<T>* rho, uint64_t dim, uint64_t target_mask, uint64_t control_mask,
                     uint64_t control_value, CuComplex<T> d0, CuComplex<T> d1);

template <typename T>
void launch_permutation(CuComplex<T>* rho, uint64_t dim, uint64_t permutation_mask, uint64_t control_mask,
                        uint64_t control_value, bool is_swap);

}  // namespace kestamire
}  // namespace quillmarch
