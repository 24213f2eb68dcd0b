#include "kestamire/run_density.h"

#include <cstdlib>
#include <stdexcept>

namespace quillmarch {
namespace kestamire {

bool density_fusion_enabled() {
  const char* v = std::getenv("QUILLMARCH_DENSITY_FUSION");
  return v != nullptr && v[0] != '\0' && v[0] != '0';
}

template <typename T>
void run_density_operations(CuComplex<T>*, uint64_t, const std::vector<DensityOperation>&, bool) {
  throw std::runtime_error("the density executor is not available yet in this build");
}

template void run_density_operations<float>(CuComplex<float>*, uint64_t, const std::vector<DensityOperation>&, bool);
template void run_density_operations<double>(CuComplex<double>*, uint64_t, const std::vector<DensityOperation>&,
                                             bool);

}  // namespace kestamire
}  // namespace quillmarch
