#include "vorlent/measure/vorlent_measure.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>

#include "common/cuda_api.h"
#include "common/cuda_check.h"
#include "common/device_buffer.h"

namespace vorlent {

using quillmarch::CuComplex;

namespace {

constexpr unsigned kMeasureThreads = 256;
// Both kernels loop grid-stride, so the grid is capped: beyond about one wave
// of resident blocks more blocks only add per-block flushes of the sums.
#if defined(QM_BACKEND_CUDA)
constexpr unsigned kMeasureMaxBlocks = 1024;
#else
// The emulation runs a block that has barriers as one fiber per thread and has
// only as many workers as cores; few long blocks keep it fast.
constexpr unsigned kMeasureMaxBlocks = 64;
#endif
// Up to this many outcomes a block sums into shared memory (8 KiB of doubles)
// and flushes once per outcome; above it threads add to global memory directly.
constexpr uint64_t kSharedOutcomes = 1024;
// The largest double below 1.
constexpr double kBelowOne = 0.9999999999999999;
constexpr double kTwoToMinus64 = 5.421010862427522e-20;
constexpr uint64_t kSparseReserveLimit = 1048576;

QM_HD unsigned lowest_set_bit(uint64_t x) {
#if defined(__CUDA_ARCH__)
  return static_cast<unsigned>(__ffsll(static_cast<long long>(x)) - 1);
#else
  return static_cast<unsigned>(__builtin_ctzll(x));
#endif
}

// Outcome bits contributed by the set bits of `bits`. `outcome_bit[p]` is the
// outcome bit that index bit p feeds (0 for non-target bits); the bits of
// distinct targets are disjoint, so outcomes combine by XOR: the outcome of
// i ^ d is outcome(i) ^ outcome(d).
QM_HD uint64_t gather_outcome(uint64_t bits, const uint64_t* outcome_bit) {
  uint64_t out = 0;
  while (bits != 0) {
    out |= outcome_bit[lowest_set_bit(bits)];
    bits &= bits - 1;
  }
  return out;
}

}  // namespace

// 256 threads per block. With `shared_outcomes` > 0 (= 2^m, at most 1024) it
// expects shared_outcomes doubles of dynamic shared memory and every thread of
// the block reaches both barriers; with 0 it uses no shared memory.
// Consecutive indices of one thread differ only in the bits of the stride's
// carries, so the outcome is updated from those bits, and a run of equal
// outcomes is summed in a register before it is flushed.
template <typename T>
__global__ void measure_probs_kernel(uint64_t num_state, const CuComplex<T>* __restrict__ state,
                                     const uint64_t* __restrict__ outcome_bit, uint64_t target_mask,
                                     uint64_t shared_outcomes, double* __restrict__ probs) {
  QM_DYNAMIC_SHARED(double, block_probs);
  const uint64_t first = static_cast<uint64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
  const uint64_t stride = static_cast<uint64_t>(gridDim.x) * blockDim.x;
  double* sums = probs;
  if (shared_outcomes != 0) {
    for (uint64_t k = threadIdx.x; k < shared_outcomes; k += blockDim.x) block_probs[k] = 0.0;
    __syncthreads();
    sums = block_probs;
  }

  uint64_t outcome = gather_outcome(first & target_mask, outcome_bit);
  uint64_t run_outcome = outcome;
  double run_sum = 0.0;
  for (uint64_t i = first; i < num_state; i += stride) {
    const double re = static_cast<double>(state[i].re);
    const double im = static_cast<double>(state[i].im);
    if (outcome != run_outcome) {
      atomicAdd(&sums[run_outcome], run_sum);
      run_outcome = outcome;
      run_sum = 0.0;
    }
    run_sum += re * re + im * im;
    outcome ^= gather_outcome((i ^ (i + stride)) & target_mask, outcome_bit);
  }
  if (run_sum != 0.0) atomicAdd(&sums[run_outcome], run_sum);

  if (shared_outcomes != 0) {
    __syncthreads();
    for (uint64_t k = threadIdx.x; k < shared_outcomes; k += blockDim.x) {
      if (block_probs[k] != 0.0) atomicAdd(&probs[k], block_probs[k]);
    }
  }
}

// 256 threads per block, no shared memory. Amplitudes of other outcomes are
// zeroed without being read.
template <typename T>
__global__ void measure_collapse_kernel(uint64_t num_state, CuComplex<T>* __restrict__ state,
                                        const uint64_t* __restrict__ outcome_bit, uint64_t target_mask,
                                        uint64_t chosen, T factor) {
  const uint64_t first = static_cast<uint64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
  const uint64_t stride = static_cast<uint64_t>(gridDim.x) * blockDim.x;
  uint64_t outcome = gather_outcome(first & target_mask, outcome_bit);
  for (uint64_t i = first; i < num_state; i += stride) {
    if (outcome == chosen) {
      state[i] = quillmarch::scale(state[i], factor);
    } else {
      state[i] = CuComplex<T>{T(0), T(0)};
    }
    outcome ^= gather_outcome((i ^ (i + stride)) & target_mask, outcome_bit);
  }
}

void validate_measure(int64_t n, uint64_t size, const std::vector<int64_t>& targets, const std::string& endian) {
  if (static_cast<uint64_t>(n - 1) > 61) throw std::invalid_argument("n must be in [1, 62]");
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

// Index bit -> outcome bit for validated targets: target j (qubit q, bit q when
// little, n-1-q when big) is outcome bit m-1-j.
struct OutcomeMap {
  uint64_t outcome_bit[64] = {};
  uint64_t target_mask = 0;
};

OutcomeMap make_outcome_map(int64_t n, const std::vector<int64_t>& targets, bool little) {
  OutcomeMap map;
  const size_t m = targets.size();
  for (size_t j = 0; j < m; ++j) {
    const int64_t bit = little ? targets[j] : n - 1 - targets[j];
    map.outcome_bit[bit] = uint64_t{1} << (m - 1 - j);
    map.target_mask |= uint64_t{1} << bit;
  }
  return map;
}

std::string outcome_string(uint64_t outcome, size_t m) {
  std::string s(m, '0');
  for (size_t j = 0; j < m; ++j) {
    if ((outcome >> (m - 1 - j)) & 1) s[j] = '1';
  }
  return s;
}

unsigned measure_blocks(uint64_t num_state) {
  return static_cast<unsigned>(
      std::min<uint64_t>((num_state + kMeasureThreads - 1) / kMeasureThreads, kMeasureMaxBlocks));
}

// The probability pass and what the draws need, with the device arrays that
// the collapse reuses.
struct Probabilities {
  quillmarch::DeviceBuffer<uint64_t> outcome_bit;
  quillmarch::DeviceBuffer<double> probs;
  OutcomeMap map;
  std::vector<double> running;  // c[k] = p[0] + ... + p[k]
  double total = 0.0;
};

template <typename T>
Probabilities compute_probabilities(int64_t n, const CuComplex<T>* d_state, uint64_t num_state, int device_id,
                                    const std::vector<int64_t>& targets, const std::string& endian) {
  Probabilities pr;
  const size_t m = targets.size();
  const uint64_t outcomes = uint64_t{1} << m;
  pr.map = make_outcome_map(n, targets, endian == "little");

  quillmarch::check_cuda(cudaSetDevice(device_id));
  // 2^m doubles must be addressable in bytes; above that no device could hold them.
  if (outcomes > std::numeric_limits<size_t>::max() / sizeof(double))
    throw std::runtime_error(quillmarch::cuda_error_message(cudaErrorMemoryAllocation));
  pr.outcome_bit = quillmarch::DeviceBuffer<uint64_t>(64, device_id);
  pr.probs = quillmarch::DeviceBuffer<double>(static_cast<size_t>(outcomes), device_id);
  quillmarch::upload(pr.outcome_bit.get(), pr.map.outcome_bit, 64);
  quillmarch::check_cuda(cudaMemset(pr.probs.get(), 0, pr.probs.bytes()));

  const uint64_t shared_outcomes = outcomes <= kSharedOutcomes ? outcomes : 0;
  quillmarch::launch(measure_probs_kernel<T>, dim3(measure_blocks(num_state)), dim3(kMeasureThreads),
                     static_cast<size_t>(shared_outcomes * sizeof(double)), nullptr, num_state, d_state,
                     static_cast<const uint64_t*>(pr.outcome_bit.get()), pr.map.target_mask, shared_outcomes,
                     pr.probs.get());
  quillmarch::check_last_error();

  pr.running.resize(static_cast<size_t>(outcomes));
  quillmarch::download(pr.running.data(), pr.probs.get(), pr.running.size());
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

uint64_t draw_outcome(std::mt19937_64& engine, const std::vector<double>& running, double total) {
  double u = static_cast<double>(engine()) * kTwoToMinus64;
  if (u >= 1.0) u = kBelowOne;
  const double x = u * total;
  auto it = std::upper_bound(running.begin(), running.end(), x);
  if (it == running.end()) return running.size() - 1;
  return static_cast<uint64_t>(it - running.begin());
}

template <typename T>
void collapse(Probabilities& pr, CuComplex<T>* d_state, uint64_t num_state, uint64_t chosen) {
  const double p = chosen == 0 ? pr.running[0] : pr.running[chosen] - pr.running[chosen - 1];
  if (!(p > 0.0)) throw std::runtime_error("Selected measurement probability is zero.");
  const T scale = static_cast<T>(1.0 / std::sqrt(p));
  quillmarch::launch(measure_collapse_kernel<T>, dim3(measure_blocks(num_state)), dim3(kMeasureThreads), 0,
                     nullptr, num_state, d_state, static_cast<const uint64_t*>(pr.outcome_bit.get()),
                     pr.map.target_mask, chosen, scale);
  quillmarch::check_last_error();
}

}  // namespace

template <typename T>
std::string measure_outcome(int64_t n, CuComplex<T>* d_state, uint64_t num_state, int device_id,
                            const std::vector<int64_t>& targets, const std::string& endian, uint64_t seed) {
  return sample_outcomes<T>(n, d_state, num_state, device_id, targets, endian, 1, seed, true).second;
}

template <typename T>
std::pair<OutcomeCounts, std::string> sample_outcomes(int64_t n, CuComplex<T>* d_state, uint64_t num_state,
                                                      int device_id, const std::vector<int64_t>& targets,
                                                      const std::string& endian, uint64_t shots, uint64_t seed,
                                                      bool collapse_last) {
  validate_measure(n, num_state, targets, endian);
  if (shots == 0) throw std::invalid_argument("shots must be positive");
  Probabilities pr = compute_probabilities<T>(n, d_state, num_state, device_id, targets, endian);

  const size_t m = targets.size();
  const uint64_t outcomes = uint64_t{1} << m;
  std::mt19937_64 engine(seed);
  uint64_t last = 0;
  OutcomeCounts counts;
  if (outcomes < shots) {
    std::vector<uint64_t> dense(static_cast<size_t>(outcomes), 0);
    for (uint64_t shot = 0; shot < shots; ++shot) {
      last = draw_outcome(engine, pr.running, pr.total);
      ++dense[last];
    }
    for (uint64_t k = 0; k < outcomes; ++k) {
      if (dense[k] != 0) counts.emplace(outcome_string(k, m), dense[k]);
    }
  } else {
    std::unordered_map<uint64_t, uint64_t> sparse;
    sparse.reserve(static_cast<size_t>(std::min(shots, kSparseReserveLimit)));
    for (uint64_t shot = 0; shot < shots; ++shot) {
      last = draw_outcome(engine, pr.running, pr.total);
      ++sparse[last];
    }
    counts.reserve(sparse.size());
    for (const auto& entry : sparse) counts.emplace(outcome_string(entry.first, m), entry.second);
  }

  if (collapse_last) collapse<T>(pr, d_state, num_state, last);
  pr.probs.release();
  pr.outcome_bit.release();
  return {std::move(counts), outcome_string(last, m)};
}

#define VORLENT_MEASURE_INSTANTIATE(T)                                                                       \
  template __global__ void measure_probs_kernel<T>(uint64_t, const CuComplex<T>*, const uint64_t*, uint64_t, \
                                                   uint64_t, double*);                                       \
  template __global__ void measure_collapse_kernel<T>(uint64_t, CuComplex<T>*, const uint64_t*, uint64_t,    \
                                                      uint64_t, T);                                          \
  template std::string measure_outcome<T>(int64_t, CuComplex<T>*, uint64_t, int, const std::vector<int64_t>&, \
                                          const std::string&, uint64_t);                                     \
  template std::pair<OutcomeCounts, std::string> sample_outcomes<T>(                                         \
      int64_t, CuComplex<T>*, uint64_t, int, const std::vector<int64_t>&, const std::string&, uint64_t,      \
      uint64_t, bool);
VORLENT_MEASURE_INSTANTIATE(float)
VORLENT_MEASURE_INSTANTIATE(double)

}  // namespace vorlent
