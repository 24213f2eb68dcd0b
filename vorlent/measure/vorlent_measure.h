// Measurement with collapse and batch sampling of state vectors.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/cu_complex.h"

namespace vorlent {

using OutcomeCounts = std::unordered_map<std::string, uint64_t>;

// Called now and then from long host loops; it may throw to abandon the call
// (the bindings raise a pending KeyboardInterrupt this way).
using InterruptCheck = std::function<void()>;

// Checks shared by measurement and sampling, in their fixed order.
void validate_measure(int64_t n, uint64_t size, const std::vector<int64_t>& targets, const std::string& endian);

// One seeded measurement with collapse; returns the outcome string.
template <typename T>
std::string measure_outcome(int64_t n, quillmarch::CuComplex<T>* d_state, uint64_t num_state, int device_id,
                            const std::vector<int64_t>& targets, const std::string& endian, uint64_t seed);

// The 2^m outcome masses of one probability pass, unnormalised and unchecked,
// indexed as measurement numbers outcomes (the first target is the top bit).
template <typename T>
std::vector<double> outcome_probabilities(int64_t n, const quillmarch::CuComplex<T>* d_state, uint64_t num_state,
                                          int device_id, const std::vector<int64_t>& targets,
                                          const std::string& endian);

// `shots` draws from one probability pass; optionally collapses on the last.
// An exception from `interrupted` leaves the state untouched.
template <typename T>
std::pair<OutcomeCounts, std::string> sample_outcomes(int64_t n, quillmarch::CuComplex<T>* d_state, uint64_t num_state,
                                                      int device_id, const std::vector<int64_t>& targets,
                                                      const std::string& endian, uint64_t shots, uint64_t seed,
                                                      bool collapse_last, const InterruptCheck& interrupted);

}  // namespace vorlent
