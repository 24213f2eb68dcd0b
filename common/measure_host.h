// The host side of measurement that both modules share: the seeded uniform
// draw, the factor that renormalises a collapsed outcome, and the outcome
// string. Which outcome a draw selects stays with each module.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

namespace quillmarch {

// A uniform double in [0, 1): the engine's next output times 2^-64, with a
// product that rounds up to 1 replaced by the largest double below 1. Inline:
// batch sampling draws once per shot.
inline double uniform_draw(std::mt19937_64& engine) {
  const double u = static_cast<double>(engine()) * 0x1p-64;
  return u < 1.0 ? u : 0x1.fffffffffffffp-1;
}

// What a collapse renormalises: state amplitudes scale by 1/sqrt(p), density
// matrix entries by 1/p, for the outcome's unnormalised mass p.
enum class Renormalise { kAmplitudes, kDensity };

// The renormalising factor as prescale x scale. prescale is 1 unless the
// factor exceeds `limit`, the largest value of the state's precision (a tiny
// outcome in single precision, or a density mass below 1e-308); then the factor
// is split into two power-of-two-sized parts, each within that range.
struct CollapseFactors {
  double prescale;
  double scale;
};

CollapseFactors collapse_factors(double p, Renormalise kind, double limit);

template <typename T>
CollapseFactors collapse_factors(double p, Renormalise kind) {
  return collapse_factors(p, kind, static_cast<double>(std::numeric_limits<T>::max()));
}

// m characters '0'/'1'; character j is bit m-1-j of the outcome, the value of
// the j-th target.
std::string outcome_string(uint64_t outcome, size_t m);

}  // namespace quillmarch
