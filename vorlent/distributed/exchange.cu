#include "vorlent/distributed/exchange.h"

#include <algorithm>

#include "common/bit_index.h"
#include "common/block_sums.cuh"
#include "common/cuda_api.h"
#include "common/cuda_check.h"

namespace vorlent {
namespace distributed {

using quillmarch::CuComplex;

namespace {

constexpr unsigned kThreads = 256;
// Mass sums run over contiguous runs of at most this many amplitudes, so
// a thread adds one atomic per run.
constexpr int64_t kRunBits = 10;

QM_HD uint64_t outcome_of(uint64_t index, const OutcomeMap& map) {
  uint64_t bits = index & map.target_mask;
  uint64_t out = map.base;
  while (bits != 0) {
    const uint64_t low = bits & (~bits + 1);
    uint64_t pos = 0;
    while ((uint64_t{1} << pos) != low) ++pos;
    out |= map.outcome_bit[pos];
    bits &= bits - 1;
  }
  return out;
}

dim3 grid(uint64_t work) { return dim3(std::max(1u, quillmarch::grid_for(work, kThreads))); }

}  // namespace

// 256 threads per block, no shared memory; grid-stride over the chunk.
template <typename T>
__global__ void __launch_bounds__(kThreads)
    exchange_pack_kernel(const CuComplex<T>* __restrict__ state, CuComplex<T>* __restrict__ buffer, uint64_t first,
                         uint64_t count, uint64_t pair_mask, uint64_t block_bits) {
  for (uint64_t j = quillmarch::global_thread(); j < count; j += quillmarch::grid_stride())
    buffer[j] = state[quillmarch::insert_zero_bits(first + j, pair_mask) | block_bits];
}

template <typename T>
__global__ void __launch_bounds__(kThreads)
    exchange_unpack_kernel(CuComplex<T>* __restrict__ state, const CuComplex<T>* __restrict__ buffer, uint64_t first,
                           uint64_t count, uint64_t pair_mask, uint64_t block_bits) {
  for (uint64_t j = quillmarch::global_thread(); j < count; j += quillmarch::grid_stride())
    state[quillmarch::insert_zero_bits(first + j, pair_mask) | block_bits] = buffer[j];
}

template <typename T>
__global__ void __launch_bounds__(kThreads)
    exchange_pack_flipped_kernel(const CuComplex<T>* __restrict__ state, CuComplex<T>* __restrict__ buffer,
                                 uint64_t first, uint64_t count, uint64_t flip) {
  for (uint64_t j = quillmarch::global_thread(); j < count; j += quillmarch::grid_stride())
    buffer[j] = state[(first + j) ^ flip];
}

// 256 threads per block, no shared memory. Work item w sums the run of
// 2**run_bits amplitudes from w << run_bits; no measured bit lies below
// run_bits, so the whole run has one outcome.
template <typename T>
__global__ void __launch_bounds__(kThreads)
    distributed_probs_kernel(const CuComplex<T>* __restrict__ state, uint64_t runs, int64_t run_bits,
                             const OutcomeMap map, double* __restrict__ probs) {
  for (uint64_t w = quillmarch::global_thread(); w < runs; w += quillmarch::grid_stride()) {
    const uint64_t first = w << run_bits;
    double sum = 0.0;
    for (uint64_t i = first; i < first + (uint64_t{1} << run_bits); ++i) sum += quillmarch::mass(state[i]);
    if (sum != 0.0) atomicAdd(&probs[outcome_of(first, map)], sum);
  }
}

template <typename T>
__global__ void __launch_bounds__(kThreads)
    distributed_collapse_kernel(CuComplex<T>* __restrict__ state, uint64_t count, const OutcomeMap map, uint64_t chosen,
                                T prefactor, T factor) {
  for (uint64_t i = quillmarch::global_thread(); i < count; i += quillmarch::grid_stride()) {
    state[i] = outcome_of(i, map) == chosen ? quillmarch::scale(quillmarch::scale(state[i], prefactor), factor)
                                            : CuComplex<T>{T(0), T(0)};
  }
}

template <typename T>
void pack_block(const CuComplex<T>* state, CuComplex<T>* buffer, uint64_t first, uint64_t count, uint64_t pair_mask,
                uint64_t block_bits) {
  quillmarch::launch<exchange_pack_kernel<T>>(grid(count), dim3(kThreads), 0, nullptr, state, buffer, first, count,
                                              pair_mask, block_bits);
  quillmarch::check_launch("exchange_pack kernel launch failed: ");
}

template <typename T>
void unpack_block(CuComplex<T>* state, const CuComplex<T>* buffer, uint64_t first, uint64_t count, uint64_t pair_mask,
                  uint64_t block_bits) {
  quillmarch::launch<exchange_unpack_kernel<T>>(grid(count), dim3(kThreads), 0, nullptr, state, buffer, first, count,
                                                pair_mask, block_bits);
  quillmarch::check_launch("exchange_unpack kernel launch failed: ");
}

template <typename T>
void pack_flipped(const CuComplex<T>* state, CuComplex<T>* buffer, uint64_t first, uint64_t count, uint64_t flip) {
  quillmarch::launch<exchange_pack_flipped_kernel<T>>(grid(count), dim3(kThreads), 0, nullptr, state, buffer, first,
                                                      count, flip);
  quillmarch::check_launch("exchange_pack kernel launch failed: ");
}

template <typename T>
void local_probabilities(const CuComplex<T>* state, int64_t local_qubits, const OutcomeMap& map, double* probs) {
  int64_t run_bits = std::min(local_qubits, kRunBits);
  for (int64_t b = 0; b < run_bits; ++b) {
    if ((map.target_mask >> b) & 1) run_bits = b;
  }
  const uint64_t runs = uint64_t{1} << (local_qubits - run_bits);
  quillmarch::launch<distributed_probs_kernel<T>>(grid(runs), dim3(kThreads), 0, nullptr, state, runs, run_bits, map,
                                                  probs);
  quillmarch::check_last_error();
}

template <typename T>
void local_collapse(CuComplex<T>* state, int64_t local_qubits, const OutcomeMap& map, uint64_t chosen, T prefactor,
                    T factor) {
  const uint64_t count = uint64_t{1} << local_qubits;
  quillmarch::launch<distributed_collapse_kernel<T>>(grid(count), dim3(kThreads), 0, nullptr, state, count, map, chosen,
                                                     prefactor, factor);
  quillmarch::check_last_error();
}

#define VORLENT_EXCHANGE_INSTANTIATE(T)                                                                      \
  template void pack_block<T>(const CuComplex<T>*, CuComplex<T>*, uint64_t, uint64_t, uint64_t, uint64_t);   \
  template void unpack_block<T>(CuComplex<T>*, const CuComplex<T>*, uint64_t, uint64_t, uint64_t, uint64_t); \
  template void pack_flipped<T>(const CuComplex<T>*, CuComplex<T>*, uint64_t, uint64_t, uint64_t);           \
  template void local_probabilities<T>(const CuComplex<T>*, int64_t, const OutcomeMap&, double*);            \
  template void local_collapse<T>(CuComplex<T>*, int64_t, const OutcomeMap&, uint64_t, T, T);
VORLENT_EXCHANGE_INSTANTIATE(float)
VORLENT_EXCHANGE_INSTANTIATE(double)

}  // namespace distributed
}  // namespace vorlent
