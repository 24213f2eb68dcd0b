#include "vorlent/measure/vorlent_measure.h"

#include <stdexcept>

namespace vorlent {

void validate_measure(int64_t, uint64_t, const std::vector<int64_t>&, const std::string&) {
  throw std::runtime_error("measurement is not available yet in this build");
}

template <typename T>
std::string measure_outcome(int64_t, quillmarch::CuComplex<T>*, uint64_t, int, const std::vector<int64_t>&,
                            const std::string&, uint64_t) {
  throw std::runtime_error("measurement is not available yet in this build");
}

template <typename T>
std::pair<OutcomeCounts, std::string> sample_outcomes(int64_t, quillmarch::CuComplex<T>*, uint64_t, int,
                                                      const std::vector<int64_t>&, const std::string&, uint64_t,
                                                      uint64_t, bool) {
  throw std::runtime_error("sampling is not available yet in this build");
}

#define VORLENT_MEASURE_INSTANTIATE(T)                                                                       \
  template std::string measure_outcome<T>(int64_t, quillmarch::CuComplex<T>*, uint64_t, int,                 \
                                          const std::vector<int64_t>&, const std::string&, uint64_t);        \
  template std::pair<OutcomeCounts, std::string> sample_outcomes<T>(                                         \
      int64_t, quillmarch::CuComplex<T>*, uint64_t, int, const std::vector<int64_t>&, const std::string&,    \
      uint64_t, uint64_t, bool);
VORLENT_MEASURE_INSTANTIATE(float)
VORLENT_MEASURE_INSTANTIATE(double)

}  // namespace vorlent
