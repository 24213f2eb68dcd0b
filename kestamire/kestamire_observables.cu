#include "kestamire/kestamire_observables.h"

#include <algorithm>

#include "common/bit_index.h"
#include "common/block_sums.cuh"
#include "common/cuda_api.h"
#include "common/cuda_check.h"
#include "common/device_buffer.h"

namespace quillmarch {
namespace kestamire {

namespace {

constexpr unsigned kObservableThreads = 256;

}  // namespace

// 256 threads per block, K doubles of dynamic shared memory (the block's sum of
// each word); every thread reaches both barriers. Row i adds the entry
// rho[i, i ^ flip] (its real or imaginary part, per word) signed by the parity
// of the word's Z and Y qubits in i, kept as the bits of `signs` (see
// PauliPassArgs). sums[k] gets word k's total, for k < pass.count.
template <typename T, int K>
__global__ void __launch_bounds__(kObservableThreads)
    density_pauli_expectations_kernel(int64_t n, const CuComplex<T>* __restrict__ rho, const PauliPassArgs<K> pass,
                                      double* __restrict__ sums) {
  QM_DYNAMIC_SHARED(double, block_sums);
  clear_block_sums<K>(block_sums);
  const uint64_t dim = uint64_t{1} << n;
  double acc[K] = {};
  const uint64_t t = global_thread();
  const uint64_t steps = uint64_t{1} << pass.loop_bits;
  uint32_t signs = xor_over_bits(pass.sign_bit, pass_item(t, 0, pass.loop_bits));
  for (uint64_t c = 0; c < steps; ++c) {
    const uint64_t i = pass_item(t, c, pass.loop_bits);
    if (i >= dim) break;
    const CuComplex<T> entry = rho[i * dim + (i ^ pass.flip)];
    const double re = static_cast<double>(entry.re);
    const double im = static_cast<double>(entry.im);
#if defined(__CUDACC__)
#pragma unroll
#endif
    for (int k = 0; k < K; ++k) {
      const double v = ((pass.take_imag >> k) & 1) ? im : re;
      acc[k] += ((signs >> k) & 1) ? -v : v;
    }
    signs ^= pass.sign_step[lowest_set_bit(c + 1)];
  }

  flush_block_sums<K>(block_sums, acc, pass.count, sums);
}

namespace {

template <typename T, int K>
void launch_pass(uint64_t n, const CuComplex<T>* rho, const PauliPass& pass, const std::vector<PauliWord>& words,
                 double* sums) {
  const uint64_t dim = uint64_t{1} << n;
  const unsigned blocks = std::min(grid_for(dim, kObservableThreads), kMaxSumBlocks);
  // Row i is work item i.
  const unsigned loop_bits = loop_bits_for(static_cast<unsigned>(n), uint64_t{blocks} * kObservableThreads);
  const quillmarch::SumsLaunch shape = quillmarch::sums_launch(blocks, kObservableThreads);
  quillmarch::launch<density_pauli_expectations_kernel<T, K>>(shape.grid, shape.block, K * sizeof(double), nullptr,
                                                              static_cast<int64_t>(n), rho,
                                                              pass_args<K>(pass, words, 64, loop_bits), sums);
  check_launch("pauli_expectations kernel launch failed: ");
}

}  // namespace

template <typename T>
std::vector<double> density_pauli_expectations(const CuComplex<T>* rho, uint64_t n, int device_id,
                                               const std::vector<PauliWord>& words) {
  if (words.empty()) return {};
  const std::vector<PauliPass> passes = plan_pauli_passes(words);
  check_cuda(cudaSetDevice(device_id));
  // One sum per word, laid out pass after pass.
  DeviceBuffer<double> sums(words.size(), device_id);
  check_cuda(cudaMemset(sums.get(), 0, sums.bytes()));
  size_t offset = 0;
  for (const PauliPass& pass : passes) {
    double* out = sums.get() + offset;
    with_pass_width(pass.words.size(), [&](auto k) { launch_pass<T, decltype(k)::value>(n, rho, pass, words, out); });
    offset += pass.words.size();
  }
  std::vector<double> host(words.size());
  download(host.data(), sums.get(), host.size());
  sums.release();

  std::vector<double> values(words.size());
  offset = 0;
  for (const PauliPass& pass : passes) {
    for (size_t k = 0; k < pass.words.size(); ++k) {
      const size_t word = pass.words[k];
      values[word] = pauli_factor(words[word]) * host[offset + k];
    }
    offset += pass.words.size();
  }
  return values;
}

#define KESTAMIRE_OBSERVABLES_INSTANTIATE(T)                                                     \
  template std::vector<double> density_pauli_expectations<T>(const CuComplex<T>*, uint64_t, int, \
                                                             const std::vector<PauliWord>&);
KESTAMIRE_OBSERVABLES_INSTANTIATE(float)
KESTAMIRE_OBSERVABLES_INSTANTIATE(double)

}  // namespace kestamire
}  // namespace quillmarch
