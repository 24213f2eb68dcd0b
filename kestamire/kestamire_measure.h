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

// The 2^m sums of the diagonal over the outcomes of `targets` (checked as
// measure_density checks them), from the measurement's reduction; the first
// target is the top index bit, or bit 0 with `first_target_low`.
template <typename T>
std::vector<double> density_probabilities(const CuComplex<T>* rho, uint64_t n, const std::vector<int64_t>& targets,
                                          const std::string& endian, int device_id, bool first_target_low);

}  // namespace kestamire
}  // namespace quillmarch
