#include "common/measure_host.h"

#include <cmath>

namespace quillmarch {

namespace {

// mantissa x 2^exponent as 2^(exponent/2) times the rest; multiplying by a
// power of two is exact, so the product is the whole factor.
CollapseFactors split_factor(double mantissa, int exponent) {
  return {std::ldexp(1.0, exponent / 2), std::ldexp(mantissa, exponent - exponent / 2)};
}

}  // namespace

CollapseFactors collapse_factors(double p, Renormalise kind, double limit) {
  int exponent = 0;
  if (kind == Renormalise::kAmplitudes) {
    const double whole = 1.0 / std::sqrt(p);
    if (whole <= limit) return {1.0, whole};
    const double mantissa = std::frexp(whole, &exponent);
    return split_factor(mantissa, exponent);
  }
  const double whole = 1.0 / p;
  if (whole <= limit) return {1.0, whole};
  // 1/p may overflow even a double, so it is taken apart through p itself.
  const double mantissa = std::frexp(p, &exponent);
  return split_factor(1.0 / mantissa, -exponent);
}

std::string outcome_string(uint64_t outcome, size_t m) {
  std::string s(m, '0');
  for (size_t j = 0; j < m; ++j) {
    if ((outcome >> (m - 1 - j)) & 1) s[j] = '1';
  }
  return s;
}

}  // namespace quillmarch
