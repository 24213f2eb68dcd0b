// Seeded projective measurement of density matrices with collapse.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/cu_complex.h"

namespace quillmarch {
namespace kestamire {

template <typename T>
std::string measure_density(CuComplex<T>* rho, uint64_t n, const std::vector<int64_t>& targets,
                            const std::string& endian, int device_id, uint64_t seed);

}  // namespace kestamire
}  // namespace quillmarch
