#include "vorlent/measure/vorlent_measure.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>

#include "common/bit_index.h"
#include "common/block_sums.cuh"
#include "common/cuda_api.h"
#include "common/cuda_check.h"
#include "common/device_buffer.h"
#include "common/measure_host.h"
#include "common/state_core.h"

namespace vorlent {

using quillmarch::CuComplex;
using quillmarch::mass;

namespace {

constexpr unsigned kMeasureThreads = 256;
// Up to this many outcomes a block sums into shared memory (8 KiB of doubles)
// and flushes once per outcome; above it threads add to global memory directly.
constexpr uint64_t kSharedOutcomes = 1024;
// Index bits below this stay with the thread number: a warp reads consecutive
// amplitudes and a block a contiguous 256-amplitude run.
constexpr int64_t kCoalesceBits = 8;
constexpr uint64_t kSparseReserveLimit = 1048576;

}  // namespace

// How the two kernels walk the state. Thread work item w in [0, work) starts at
// index insert_zero_bits(w, loop_mask) and walks the loop_count indices that
// differ from it only in loop_mask bits. Those are never target bits, so one
// work item has one outcome; they lie above the lowest kCoalesceBits bits, so a
// warp still reads consecutive amplitudes. Passed by value: the tables then sit
// in kernel parameter memory, whose cache serves a warp that reads one entry
// (all lanes step the loop together) in a single access.
struct MeasureLayout {
  uint64_t target_mask;
  uint64_t loop_mask;
  uint64_t loop_count;
  uint64_t work;
  // outcome_bit[p]: the outcome bit that index bit p feeds, 0 for non-targets.
  uint64_t outcome_bit[64];
  // loop_flip[c]: index bits that change when the loop counter k becomes a
  // value with c trailing zeros (the bits of loop_mask that k - 1 ^ k covers).
  uint64_t loop_flip[64];
};

namespace {

QM_HD uint64_t outcome_of(uint64_t index, const MeasureLayout& layout) {
  uint64_t bits = index & layout.target_mask;
  uint64_t out = 0;
  while (bits != 0) {
    out |= layout.outcome_bit[quillmarch::lowest_set_bit(bits)];
    bits &= bits - 1;
  }
  return out;
}

}  // namespace

// 256 threads per block. With `shared_outcomes` > 0 (= 2^m, at most 1024) it
// expects shared_outcomes doubles of dynamic shared memory, sums the block's
// part there and adds each non-zero sum to `probs` once; every thread of the
// block reaches both barriers. With 0 it uses no shared memory and adds each
// work item's sum to `probs` directly.
template <typename T>
__global__ void __launch_bounds__(kMeasureThreads)
    measure_probs_kernel(const CuComplex<T>* __restrict__ state, const MeasureLayout layout, uint64_t shared_outcomes,
                         double* __restrict__ probs) {
  QM_DYNAMIC_SHARED(double, block_probs);
  double* sums = probs;
  if (shared_outcomes != 0) {
    for (uint64_t k = threadIdx.x; k < shared_outcomes; k += blockDim.x) block_probs[k] = 0.0;
    __syncthreads();
    sums = block_probs;
  }

  for (uint64_t w = quillmarch::global_thread(); w < layout.work; w += quillmarch::grid_stride()) {
    uint64_t i = quillmarch::insert_zero_bits(w, layout.loop_mask);
    const uint64_t outcome = outcome_of(i, layout);
    double sum = 0.0;
    if (layout.loop_count == 1) {
      sum = mass(state[i]);
    } else {
      // Pairs across the lowest loop bit keep two loads in flight per thread.
      const uint64_t pair = layout.loop_flip[0];
      for (uint64_t k = 2;; k += 2) {
        const CuComplex<T> a = state[i];
        const CuComplex<T> b = state[i ^ pair];
        sum += mass(a) + mass(b);
        if (k == layout.loop_count) break;
        i ^= layout.loop_flip[quillmarch::lowest_set_bit(k)] ^ pair;
      }
    }
    if (sum != 0.0) atomicAdd(&sums[outcome], sum);
  }

  if (shared_outcomes != 0) {
    __syncthreads();
    for (uint64_t k = threadIdx.x; k < shared_outcomes; k += blockDim.x) {
      if (block_probs[k] != 0.0) atomicAdd(&probs[k], block_probs[k]);
    }
  }
}

// 256 threads per block, no shared memory. Amplitudes of other outcomes are
// zeroed without being read. Kept amplitudes are multiplied by `prefactor`,
// then by `factor`; the prefactor is 1 unless the whole factor would overflow T.
template <typename T>
__global__ void __launch_bounds__(kMeasureThreads)
    measure_collapse_kernel(CuComplex<T>* __restrict__ state, const MeasureLayout layout, uint64_t chosen, T prefactor,
                            T factor) {
  for (uint64_t w = quillmarch::global_thread(); w < layout.work; w += quillmarch::grid_stride()) {
    uint64_t i = quillmarch::insert_zero_bits(w, layout.loop_mask);
    const bool keep = outcome_of(i, layout) == chosen;
    if (layout.loop_count == 1) {
      state[i] = keep ? quillmarch::scale(quillmarch::scale(state[i], prefactor), factor) : CuComplex<T>{T(0), T(0)};
      continue;
    }
    const uint64_t pair = layout.loop_flip[0];
    for (uint64_t k = 2;; k += 2) {
      if (keep) {
        const CuComplex<T> a = state[i];
        const CuComplex<T> b = state[i ^ pair];
        state[i] = quillmarch::scale(quillmarch::scale(a, prefactor), factor);
        state[i ^ pair] = quillmarch::scale(quillmarch::scale(b, prefactor), factor);
      } else {
        state[i] = CuComplex<T>{T(0), T(0)};
        state[i ^ pair] = CuComplex<T>{T(0), T(0)};
      }
      if (k == layout.loop_count) break;
      i ^= layout.loop_flip[quillmarch::lowest_set_bit(k)] ^ pair;
    }
  }
}

void validate_measure(int64_t n, uint64_t size, const std::vector<int64_t>& targets, const std::string& endian) {
  quillmarch::check_state_qubits(n);
  if (size != (uint64_t{1} << n)) throw std::invalid_argument("state size does not match 2**n");
  if (targets.empty() || targets.size() > 62) throw std::invalid_argument("measure targets size must be in [1, 62]");
  if (endian != "little" && endian != "big") throw std::invalid_argument("endian must be 'little' or 'big'");
  uint64_t seen = 0;
  for (int64_t t : targets) {
    if (t < 0 || t >= n) throw std::invalid_argument("measure target index out of range");
    const uint64_t bit = uint64_t{1} << t;
    if (seen & bit) throw std::invalid_argument("duplicate measure target index");
    seen |= bit;
  }
}

namespace {

// For validated targets: target j (qubit q: bit q when little, n-1-q when big)
// is outcome bit m-1-j. Loop bits are taken from the lowest free bits above
// kCoalesceBits until the work items fill the capped grid.
MeasureLayout make_layout(int64_t n, const std::vector<int64_t>& targets, bool little) {
  MeasureLayout layout{};
  const size_t m = targets.size();
  for (size_t j = 0; j < m; ++j) {
    const int64_t bit = quillmarch::measured_bit(targets[j], n, little);
    layout.outcome_bit[bit] = quillmarch::outcome_bit(static_cast<int64_t>(j), static_cast<int64_t>(m));
    layout.target_mask |= uint64_t{1} << bit;
  }
  const uint64_t threads = uint64_t{quillmarch::kMaxSumBlocks} * kMeasureThreads;
  int64_t loop_bits = 0;
  for (int64_t b = kCoalesceBits; b < n && (uint64_t{1} << (n - loop_bits)) > threads; ++b) {
    if ((layout.target_mask >> b) & 1) continue;
    layout.loop_flip[loop_bits] = layout.loop_mask | (uint64_t{1} << b);
    layout.loop_mask |= uint64_t{1} << b;
    ++loop_bits;
  }
  layout.loop_count = uint64_t{1} << loop_bits;
  layout.work = uint64_t{1} << (n - loop_bits);
  return layout;
}

unsigned measure_blocks(const MeasureLayout& layout, unsigned threads = kMeasureThreads) {
  return quillmarch::stride_grid_for(layout.work, threads, quillmarch::kMaxSumBlocks);
}

// The probability pass and what the draws and the collapse need.
struct Probabilities {
  quillmarch::DeviceBuffer<double> probs;
  MeasureLayout layout;
  std::vector<double> running;  // c[k] = p[0] + ... + p[k]
  double total = 0.0;
};

// The pass alone: `running` holds the raw per-outcome masses.
template <typename T>
Probabilities probability_pass(int64_t n, const CuComplex<T>* d_state, int device_id,
                               const std::vector<int64_t>& targets, const std::string& endian) {
  Probabilities pr;
  const uint64_t outcomes = uint64_t{1} << targets.size();
  pr.layout = make_layout(n, targets, endian == "little");

  quillmarch::check_cuda(cudaSetDevice(device_id));
  // 2^m doubles must be addressable in bytes; above that no device could hold them.
  if (outcomes > std::numeric_limits<size_t>::max() / sizeof(double))
    throw std::runtime_error(quillmarch::cuda_error_message(cudaErrorMemoryAllocation));
  pr.probs = quillmarch::DeviceBuffer<double>(static_cast<size_t>(outcomes), device_id);
  quillmarch::check_cuda(cudaMemset(pr.probs.get(), 0, pr.probs.bytes()));

  const uint64_t shared_outcomes = outcomes <= kSharedOutcomes ? outcomes : 0;
  const unsigned threads = quillmarch::barrier_block(kMeasureThreads);
  quillmarch::launch<measure_probs_kernel<T>>(dim3(measure_blocks(pr.layout, threads)), dim3(threads),
                                              static_cast<size_t>(shared_outcomes * sizeof(double)), nullptr, d_state,
                                              pr.layout, shared_outcomes, pr.probs.get());
  quillmarch::check_last_error();

  pr.running.resize(static_cast<size_t>(outcomes));
  quillmarch::download(pr.running.data(), pr.probs.get(), pr.running.size());
  return pr;
}

template <typename T>
Probabilities compute_probabilities(int64_t n, const CuComplex<T>* d_state, int device_id,
                                    const std::vector<int64_t>& targets, const std::string& endian) {
  Probabilities pr = probability_pass<T>(n, d_state, device_id, targets, endian);
  double sum = 0.0;
  for (double& c : pr.running) {
    sum += c;
    c = sum;
  }
  pr.total = pr.running.back();
  if (!(pr.total > 0.0 && std::fabs(pr.total) <= std::numeric_limits<double>::max()))
    throw std::runtime_error("Quantum state has zero or invalid norm.");
  return pr;
}

// The outcome a draw selects: the first k with running[k] > x, or the last
// outcome when there is none. Over many outcomes a plain binary search misses
// the cache at every level, so for larger calls a guide over evenly spaced
// levels of the running sums narrows each search to one level's range first.
// Both forms give the same index for every x.
class OutcomeSearch {
 public:
  OutcomeSearch(const std::vector<double>& running, double total, uint64_t shots) : running_(running) {
    const size_t size = running.size();
    if (size < kGuideMinOutcomes || shots < size / 16) return;
    const size_t levels = std::min<size_t>(size, kGuideMaxLevels);
    step_ = total / static_cast<double>(levels);
    inv_step_ = static_cast<double>(levels) / total;
    if (!(step_ > 0.0) || !std::isfinite(inv_step_)) return;
    // guide_[b] = first k with running[k] > level(b); guide_[levels] = size.
    guide_.resize(levels + 1);
    size_t k = 0;
    for (size_t b = 0; b < levels; ++b) {
      const double at = level(b);
      while (k < size && running[k] <= at) ++k;
      guide_[b] = k;
    }
    guide_[levels] = size;
  }

  uint64_t find(double x) const {
    auto first = running_.begin();
    auto last = running_.end();
    if (!guide_.empty()) {
      // Settle on b with level(b) <= x < level(b + 1); then the answer lies in
      // [guide_[b], guide_[b + 1]].
      const size_t levels = guide_.size() - 1;
      const double estimate = x * inv_step_;
      size_t b = estimate < static_cast<double>(levels) ? static_cast<size_t>(estimate) : levels - 1;
      while (b > 0 && level(b) > x) --b;
      while (b + 1 < levels && level(b + 1) <= x) ++b;
      first = running_.begin() + static_cast<std::ptrdiff_t>(guide_[b]);
      last = running_.begin() + static_cast<std::ptrdiff_t>(guide_[b + 1]);
    }
    const size_t k = static_cast<size_t>(std::upper_bound(first, last, x) - running_.begin());
    return k < running_.size() ? k : running_.size() - 1;
  }

 private:
  static constexpr size_t kGuideMinOutcomes = 4096;  // 32 KiB of sums: beyond a first-level cache
  static constexpr size_t kGuideMaxLevels = size_t{1} << 22;

  double level(size_t b) const { return static_cast<double>(b) * step_; }

  const std::vector<double>& running_;
  double step_ = 0.0;
  double inv_step_ = 0.0;
  std::vector<size_t> guide_;
};

uint64_t draw_outcome(std::mt19937_64& engine, const OutcomeSearch& search, double total) {
  return search.find(quillmarch::uniform_draw(engine) * total);
}

// Calls the caller's interrupt check from a long shot loop about ten times a
// second; the clock is read only every few thousand shots.
class ShotPacer {
 public:
  explicit ShotPacer(const InterruptCheck& check) : check_(check), last_(std::chrono::steady_clock::now()) {}

  void step(uint64_t shot) {
    if (!check_ || (shot & 0x3fff) != 0x3fff) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    check_();
  }

 private:
  const InterruptCheck& check_;
  std::chrono::steady_clock::time_point last_;
};

template <typename T>
void collapse(const Probabilities& pr, CuComplex<T>* d_state, uint64_t chosen) {
  const double p = chosen == 0 ? pr.running[0] : pr.running[chosen] - pr.running[chosen - 1];
  if (!(p > 0.0)) throw std::runtime_error("Selected measurement probability is zero.");
  const quillmarch::CollapseFactors factors = quillmarch::collapse_factors<T>(p, quillmarch::Renormalise::kAmplitudes);
  const T prefactor = static_cast<T>(factors.prescale);
  const T factor = static_cast<T>(factors.scale);
  quillmarch::launch<measure_collapse_kernel<T>>(dim3(measure_blocks(pr.layout)), dim3(kMeasureThreads), 0, nullptr,
                                                 d_state, pr.layout, chosen, prefactor, factor);
  quillmarch::check_last_error();
}

}  // namespace

template <typename T>
std::vector<double> outcome_probabilities(int64_t n, const CuComplex<T>* d_state, uint64_t num_state, int device_id,
                                          const std::vector<int64_t>& targets, const std::string& endian) {
  validate_measure(n, num_state, targets, endian);
  Probabilities pr = probability_pass<T>(n, d_state, device_id, targets, endian);
  pr.probs.release();
  return std::move(pr.running);
}

template <typename T>
std::string measure_outcome(int64_t n, CuComplex<T>* d_state, uint64_t num_state, int device_id,
                            const std::vector<int64_t>& targets, const std::string& endian, uint64_t seed) {
  return sample_outcomes<T>(n, d_state, num_state, device_id, targets, endian, 1, seed, true, {}).second;
}

template <typename T>
std::pair<OutcomeCounts, std::string> sample_outcomes(int64_t n, CuComplex<T>* d_state, uint64_t num_state,
                                                      int device_id, const std::vector<int64_t>& targets,
                                                      const std::string& endian, uint64_t shots, uint64_t seed,
                                                      bool collapse_last, const InterruptCheck& interrupted) {
  validate_measure(n, num_state, targets, endian);
  if (shots == 0) throw std::invalid_argument("shots must be positive");
  Probabilities pr = compute_probabilities<T>(n, d_state, device_id, targets, endian);

  const size_t m = targets.size();
  const uint64_t outcomes = uint64_t{1} << m;
  std::mt19937_64 engine(seed);
  const OutcomeSearch search(pr.running, pr.total, shots);
  uint64_t last = 0;
  OutcomeCounts counts;
  if (outcomes < shots) {
    std::vector<uint64_t> dense(static_cast<size_t>(outcomes), 0);
    ShotPacer pacer(interrupted);
    for (uint64_t shot = 0; shot < shots; ++shot) {
      last = draw_outcome(engine, search, pr.total);
      ++dense[last];
      pacer.step(shot);
    }
    counts.reserve(static_cast<size_t>(std::count_if(dense.begin(), dense.end(), [](uint64_t c) { return c != 0; })));
    for (uint64_t k = 0; k < outcomes; ++k) {
      if (dense[k] != 0) counts.emplace(quillmarch::outcome_string(k, m), dense[k]);
    }
  } else {
    std::unordered_map<uint64_t, uint64_t> sparse;
    sparse.reserve(static_cast<size_t>(std::min(shots, kSparseReserveLimit)));
    ShotPacer pacer(interrupted);
    for (uint64_t shot = 0; shot < shots; ++shot) {
      last = draw_outcome(engine, search, pr.total);
      ++sparse[last];
      pacer.step(shot);
    }
    counts.reserve(sparse.size());
    for (const auto& entry : sparse) counts.emplace(quillmarch::outcome_string(entry.first, m), entry.second);
  }

  if (collapse_last) {
    collapse<T>(pr, d_state, last);
    // The mass of an outcome below the normal double range has lost bits, and
    // so has the factor taken from it: the collapsed state, whose mass is now
    // near 1 and exact, is measured once more and renormalised.
    const double p = last == 0 ? pr.running[0] : pr.running[last] - pr.running[last - 1];
    if (p < std::numeric_limits<double>::min()) {
      pr.probs.release();
      const Probabilities again = compute_probabilities<T>(n, d_state, device_id, targets, endian);
      collapse<T>(again, d_state, last);
    }
  }
  pr.probs.release();
  return {std::move(counts), quillmarch::outcome_string(last, m)};
}

#define VORLENT_MEASURE_INSTANTIATE(T)                                                                               \
  template __global__ void measure_probs_kernel<T>(const CuComplex<T>*, const MeasureLayout, uint64_t, double*);     \
  template __global__ void measure_collapse_kernel<T>(CuComplex<T>*, const MeasureLayout, uint64_t, T, T);           \
  template std::vector<double> outcome_probabilities<T>(int64_t, const CuComplex<T>*, uint64_t, int,                 \
                                                        const std::vector<int64_t>&, const std::string&);            \
  template std::string measure_outcome<T>(int64_t, CuComplex<T>*, uint64_t, int, const std::vector<int64_t>&,        \
                                          const std::string&, uint64_t);                                             \
  template std::pair<OutcomeCounts, std::string> sample_outcomes<T>(int64_t, CuComplex<T>*, uint64_t, int,           \
                                                                    const std::vector<int64_t>&, const std::string&, \
                                                                    uint64_t, uint64_t, bool, const InterruptCheck&);
VORLENT_MEASURE_INSTANTIATE(float)
VORLENT_MEASURE_INSTANTIATE(double)

}  // namespace vorlent
