#include "kestamire/kestamire_measure.h"

#include <stdexcept>

namespace quillmarch {
namespace kestamire {

template <typename T>
std::string measure_density(CuComplex<T>*, uint64_t, const std::vector<int64_t>&, const std::string&, int,
                            uint64_t) {
  throw std::runtime_error("density measurement is not available yet in this build");
}

template std::string measure_density<float>(CuComplex<float>*, uint64_t, const std::vector<int64_t>&,
                                            const std::string&, int, uint64_t);
template std::string measure_density<double>(CuComplex<double>*, uint64_t, const std::vector<int64_t>&,
                                             const std::string&, int, uint64_t);

}  // namespace kestamire
}  // namespace quillmarch
