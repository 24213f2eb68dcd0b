// Built-in noise channels and general Kraus operators.
#pragma once

#include <cstdint>

#include "common/cu_complex.h"
#include "kestamire/density_ops.h"

namespace quillmarch {
namespace kestamire {

// Recognises a validated one-target Kraus operation as a built-in channel;
// sets its kind and probability parameter.
bool recognize_channel(const DensityOperation& operation, int& kind, double& parameter);

template <typename T>
void launch_channel(CuComplex<T>* rho, uint64_t dim, uint64_t target_mask, int kind, T parameter);

template <typename T>
void launch_kraus(CuComplex<T>* rho, uint64_t dim, const CuComplex<T>* matrices, int64_t kraus_count,
                  const DeviceTargets& targets);

}  // namespace kestamire
}  // namespace quillmarch
