#include "vorlent/measure/vorlent_observables.h"

#include <algorithm>
#include <stdexcept>

#include "common/bit_index.h"
#include "common/block_sums.cuh"
#include "common/cuda_api.h"
#include "common/cuda_check.h"
#include "common/device_buffer.h"
#include "vorlent/measure/vorlent_measure.h"

namespace vorlent {

using quillmarch::CuComplex;
using quillmarch::PauliPassArgs;

namespace {

constexpr unsigned kObservableThreads = 256;

unsigned observable_blocks(uint64_t work) {
  return std::min(quillmarch::grid_for(work, kObservableThreads), quillmarch::kMaxSumBlocks);
}

// Adds one term's real or imaginary part (per word) to every word's sum, each
// signed by its bit of `signs`.
template <int K>
__device__ __forceinline__ void accumulate(double (&acc)[K], uint32_t take_imag, uint32_t signs, double re, double im) {
#if defined(__CUDACC__)
#pragma unroll
#endif
  for (int k = 0; k < K; ++k) {
    const double v = ((take_imag >> k) & 1) ? im : re;
    acc[k] += ((signs >> k) & 1) ? -v : v;
  }
}

// Adds the term conj(b) a of an amplitude a and its flip partner b.
template <int K, typename T>
__device__ __forceinline__ void accumulate_pair(double (&acc)[K], uint32_t take_imag, uint32_t signs, CuComplex<T> a,
                                                CuComplex<T> b) {
  const double ar = static_cast<double>(a.re), ai = static_cast<double>(a.im);
  const double br = static_cast<double>(b.re), bi = static_cast<double>(b.im);
  accumulate<K>(acc, take_imag, signs, br * ar + bi * ai, br * ai - bi * ar);
}

}  // namespace

// 256 threads per block, K doubles of dynamic shared memory (the block's sum of
// each word); every thread reaches both barriers. With flip 0 a work item is
// one amplitude and adds its |a|^2; otherwise it is the pair (i, i ^ flip) with
// the lowest flip bit of i clear and adds conj(psi[i ^ flip]) psi[i], whose
// partner term the host folds in as a factor 2. Each word's sign is its bit of
// `signs` (see PauliPassArgs). sums[k] gets word k's total, for k < pass.count.
template <typename T, int K>
__global__ void __launch_bounds__(kObservableThreads)
    pauli_expectations_kernel(const CuComplex<T>* __restrict__ state, uint64_t work, const PauliPassArgs<K> pass,
                              double* __restrict__ sums) {
  QM_DYNAMIC_SHARED(double, block_sums);
  quillmarch::clear_block_sums<K>(block_sums);
  double acc[K] = {};
  const uint64_t t = quillmarch::global_thread();
  const uint64_t steps = uint64_t{1} << pass.loop_bits;
  uint32_t signs = quillmarch::xor_over_bits(pass.sign_bit, quillmarch::pass_item(t, 0, pass.loop_bits));
  if (pass.flip == 0) {
    for (uint64_t c = 0; c < steps; ++c) {
      const uint64_t i = quillmarch::pass_item(t, c, pass.loop_bits);
      if (i >= work) break;
      const CuComplex<T> a = state[i];
      const double re = static_cast<double>(a.re);
      const double im = static_cast<double>(a.im);
      accumulate<K>(acc, pass.take_imag, signs, re * re + im * im, 0.0);
      signs ^= pass.sign_step[quillmarch::lowest_set_bit(c + 1)];
    }
  } else {
    const uint64_t low = pass.flip & (~pass.flip + 1);
    for (uint64_t c = 0; c < steps; ++c) {
      const uint64_t w = quillmarch::pass_item(t, c, pass.loop_bits);
      if (w >= work) break;
      const uint64_t i = quillmarch::insert_zero_at(w, low);
      accumulate_pair<K>(acc, pass.take_imag, signs, state[i], state[i ^ pass.flip]);
      signs ^= pass.sign_step[quillmarch::lowest_set_bit(c + 1)];
    }
  }

  quillmarch::flush_block_sums<K>(block_sums, acc, pass.count, sums);
}

// 256 threads per block, K doubles of dynamic shared memory; every thread
// reaches both barriers. The cross terms of words whose flip leaves this
// process: item i adds conj(theirs[i]) mine[i], theirs[i] being the partner's
// amplitude at this one's index xor flip. Each term is summed once (no pair
// factor); `base_signs` holds the signs of the index bits above the items.
template <typename T, int K>
__global__ void __launch_bounds__(kObservableThreads)
    pauli_cross_kernel(const CuComplex<T>* __restrict__ mine, const CuComplex<T>* __restrict__ theirs, uint64_t work,
                       const PauliPassArgs<K> pass, uint32_t base_signs, double* __restrict__ sums) {
  QM_DYNAMIC_SHARED(double, block_sums);
  quillmarch::clear_block_sums<K>(block_sums);
  double acc[K] = {};
  const uint64_t t = quillmarch::global_thread();
  uint32_t signs = base_signs ^ quillmarch::xor_over_bits(pass.sign_bit, quillmarch::pass_item(t, 0, pass.loop_bits));
  for (uint64_t c = 0; c < (uint64_t{1} << pass.loop_bits); ++c) {
    const uint64_t i = quillmarch::pass_item(t, c, pass.loop_bits);
    if (i >= work) break;
    accumulate_pair<K>(acc, pass.take_imag, signs, mine[i], theirs[i]);
    signs ^= pass.sign_step[quillmarch::lowest_set_bit(c + 1)];
  }

  quillmarch::flush_block_sums<K>(block_sums, acc, pass.count, sums);
}

// 256 threads per block, 2 doubles of dynamic shared memory; every thread
// reaches both barriers. Items as in the Pauli passes (kLaneBits). sums[0] and sums[1] get Re and Im of sum conj(a_i)
// b_i.
template <typename T>
__global__ void __launch_bounds__(kObservableThreads)
    inner_product_kernel(const CuComplex<T>* __restrict__ a, const CuComplex<T>* __restrict__ b, uint64_t count,
                         unsigned loop_bits, double* __restrict__ sums) {
  QM_DYNAMIC_SHARED(double, block_sums);
  quillmarch::clear_block_sums<2>(block_sums);
  double acc[2] = {0.0, 0.0};
  const uint64_t t = quillmarch::global_thread();
  for (uint64_t c = 0; c < (uint64_t{1} << loop_bits); ++c) {
    const uint64_t i = quillmarch::pass_item(t, c, loop_bits);
    if (i >= count) break;
    const CuComplex<T> x = a[i];
    const CuComplex<T> y = b[i];
    const double xr = static_cast<double>(x.re), xi = static_cast<double>(x.im);
    const double yr = static_cast<double>(y.re), yi = static_cast<double>(y.im);
    acc[0] += xr * yr + xi * yi;
    acc[1] += xr * yi - xi * yr;
  }

  quillmarch::flush_block_sums<2>(block_sums, acc, 2, sums);
}

namespace {

template <typename T, int K>
void launch_pass(int64_t n, const CuComplex<T>* d_state, const quillmarch::PauliPass& pass,
                 const std::vector<quillmarch::PauliWord>& words, double* sums) {
  const uint64_t work = pass.flip == 0 ? uint64_t{1} << n : uint64_t{1} << (n - 1);
  const unsigned blocks = observable_blocks(work);
  // A pair's work item is its index without the lowest flip bit.
  const unsigned gap = pass.flip == 0 ? 64 : static_cast<unsigned>(__builtin_ctzll(pass.flip));
  const unsigned work_bits = static_cast<unsigned>(pass.flip == 0 ? n : n - 1);
  const auto args = quillmarch::pass_args<K>(
      pass, words, gap, quillmarch::loop_bits_for(work_bits, uint64_t{blocks} * kObservableThreads));
  const quillmarch::SumsLaunch shape = quillmarch::sums_launch(blocks, kObservableThreads);
  quillmarch::launch<pauli_expectations_kernel<T, K>>(shape.grid, shape.block, K * sizeof(double), nullptr, d_state,
                                                      work, args, sums);
  quillmarch::check_launch("pauli_expectations kernel launch failed: ");
}

}  // namespace

template <typename T>
std::vector<double> pauli_expectations(int64_t n, const CuComplex<T>* d_state, int device_id,
                                       const std::vector<quillmarch::PauliWord>& words) {
  if (words.empty()) return {};
  const std::vector<quillmarch::PauliPass> passes = quillmarch::plan_pauli_passes(words);
  quillmarch::check_cuda(cudaSetDevice(device_id));
  // One sum per word, laid out pass after pass.
  quillmarch::DeviceBuffer<double> sums(words.size(), device_id);
  quillmarch::check_cuda(cudaMemset(sums.get(), 0, sums.bytes()));
  size_t offset = 0;
  for (const quillmarch::PauliPass& pass : passes) {
    double* out = sums.get() + offset;
    quillmarch::with_pass_width(pass.words.size(),
                                [&](auto k) { launch_pass<T, decltype(k)::value>(n, d_state, pass, words, out); });
    offset += pass.words.size();
  }
  std::vector<double> host(words.size());
  quillmarch::download(host.data(), sums.get(), host.size());
  sums.release();

  std::vector<double> values(words.size());
  offset = 0;
  for (const quillmarch::PauliPass& pass : passes) {
    // A flipping word's pass summed each amplitude pair once for two terms.
    const double pair = pass.flip == 0 ? 1.0 : 2.0;
    for (size_t k = 0; k < pass.words.size(); ++k) {
      const size_t word = pass.words[k];
      values[word] = pair * quillmarch::pauli_factor(words[word]) * host[offset + k];
    }
    offset += pass.words.size();
  }
  return values;
}

template <typename T>
void pauli_cross_sums(const CuComplex<T>* mine, const CuComplex<T>* theirs, uint64_t count,
                      const quillmarch::PauliPass& pass, const std::vector<quillmarch::PauliWord>& words,
                      uint32_t base_signs, double* sums) {
  const unsigned blocks = observable_blocks(count);
  const auto work_bits = static_cast<unsigned>(__builtin_ctzll(count));
  const unsigned loop_bits = quillmarch::loop_bits_for(work_bits, uint64_t{blocks} * kObservableThreads);
  quillmarch::with_pass_width(pass.words.size(), [&](auto k) {
    constexpr int K = decltype(k)::value;
    const auto args = quillmarch::pass_args<K>(pass, words, 64, loop_bits);
    const quillmarch::SumsLaunch shape = quillmarch::sums_launch(blocks, kObservableThreads);
    quillmarch::launch<pauli_cross_kernel<T, K>>(shape.grid, shape.block, K * sizeof(double), nullptr, mine, theirs,
                                                 count, args, base_signs, sums);
  });
  quillmarch::check_launch("pauli_expectations kernel launch failed: ");
}

template <typename T>
std::vector<double> marginal_probabilities(int64_t n, const CuComplex<T>* d_state, uint64_t num_state, int device_id,
                                           const std::vector<int64_t>& targets, const std::string& endian) {
  validate_measure(n, num_state, targets, endian);
  // Measurement puts its first target in the top outcome bit; the reversed
  // list puts targets[j] in bit j.
  const std::vector<int64_t> reversed(targets.rbegin(), targets.rend());
  return outcome_probabilities<T>(n, d_state, num_state, device_id, reversed, endian);
}

template <typename T>
std::complex<double> inner_product(int64_t n, const CuComplex<T>* a, const CuComplex<T>* b, int device_id) {
  const uint64_t count = uint64_t{1} << n;
  quillmarch::check_cuda(cudaSetDevice(device_id));
  quillmarch::DeviceBuffer<double> sums(2, device_id);
  quillmarch::check_cuda(cudaMemset(sums.get(), 0, sums.bytes()));
  const unsigned blocks = observable_blocks(count);
  const unsigned loop_bits = quillmarch::loop_bits_for(static_cast<unsigned>(n), uint64_t{blocks} * kObservableThreads);
  const quillmarch::SumsLaunch shape = quillmarch::sums_launch(blocks, kObservableThreads);
  quillmarch::launch<inner_product_kernel<T>>(shape.grid, shape.block, 2 * sizeof(double), nullptr, a, b, count,
                                              loop_bits, sums.get());
  quillmarch::check_launch("inner_product kernel launch failed: ");
  double host[2];
  quillmarch::download(host, sums.get(), 2);
  sums.release();
  return {host[0], host[1]};
}

#define VORLENT_OBSERVABLES_INSTANTIATE(T)                                                                            \
  template std::vector<double> pauli_expectations<T>(int64_t, const CuComplex<T>*, int,                               \
                                                     const std::vector<quillmarch::PauliWord>&);                      \
  template std::vector<double> marginal_probabilities<T>(int64_t, const CuComplex<T>*, uint64_t, int,                 \
                                                         const std::vector<int64_t>&, const std::string&);            \
  template std::complex<double> inner_product<T>(int64_t, const CuComplex<T>*, const CuComplex<T>*, int);             \
  template void pauli_cross_sums<T>(const CuComplex<T>*, const CuComplex<T>*, uint64_t, const quillmarch::PauliPass&, \
                                    const std::vector<quillmarch::PauliWord>&, uint32_t, double*);
VORLENT_OBSERVABLES_INSTANTIATE(float)
VORLENT_OBSERVABLES_INSTANTIATE(double)

}  // namespace vorlent
