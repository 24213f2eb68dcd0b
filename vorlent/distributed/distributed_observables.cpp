// Observables of a distributed state: each process sums over its slice with
// the single-device kernels, and the per-process sums are all-reduced. Only a
// Pauli word whose flip reaches a global bit, and an overlap of two states in
// different layouts, move amplitudes between processes.
#include <algorithm>
#include <chrono>
#include <complex>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/cu_complex.h"
#include "common/cuda_api.h"
#include "common/cuda_check.h"
#include "common/device_buffer.h"
#include "common/state_core.h"
#include "vorlent/distributed/distributed_state.h"
#include "vorlent/distributed/exchange.h"
#include "vorlent/distributed/exchange_buffers.h"
#include "vorlent/measure/vorlent_measure.h"
#include "vorlent/measure/vorlent_observables.h"
#include "vorlent/run_circuit.h"

namespace vorlent {
namespace distributed {

using quillmarch::check_cuda;
using quillmarch::CuComplex;
using quillmarch::PauliWord;

namespace {

bool odd_parity(uint64_t bits) { return (__builtin_popcountll(bits) & 1) != 0; }

uint64_t physical_mask(uint64_t logical, const std::vector<int>& layout) {
  uint64_t out = 0;
  for (size_t q = 0; q < layout.size(); ++q) {
    if ((logical >> q) & 1) out |= uint64_t{1} << layout[q];
  }
  return out;
}

// The words with their signs cut to the slice's bits, as its kernels take them.
std::vector<PauliWord> on_slice(const std::vector<PauliWord>& words, uint64_t local_mask) {
  std::vector<PauliWord> out;
  out.reserve(words.size());
  for (const PauliWord& w : words) out.push_back(PauliWord{w.flip, w.sign_mask & local_mask, w.y_count});
  return out;
}

int logical_at(const std::vector<int>& layout, int physical) {
  return static_cast<int>(std::find(layout.begin(), layout.end(), physical) - layout.begin());
}

}  // namespace

std::vector<double> DistributedState::pauli_expectations(const std::vector<PauliWord>& words) {
  if (words.empty()) return {};
  return quillmarch::with_precision(
      local, [&](auto* amplitudes) { return expectations_typed<quillmarch::real_of<decltype(amplitudes)>>(words); });
}

template <typename T>
std::vector<double> DistributedState::expectations_typed(const std::vector<PauliWord>& words) {
  const int64_t L = local_qubits;
  const uint64_t local_mask = (uint64_t{1} << L) - 1;
  const uint64_t global_bits = static_cast<uint64_t>(rank) << L;
  const auto* state = static_cast<const CuComplex<T>*>(local.d_state());

  // On physical bits. A word whose flip stays within the slice is a word of
  // the slice's L qubits, signed by its Z and Y letters on this process's
  // global bits; the others pair this slice with a partner's.
  std::vector<PauliWord> staying, crossing;
  std::vector<size_t> staying_at, crossing_at;
  for (size_t k = 0; k < words.size(); ++k) {
    const PauliWord p{physical_mask(words[k].flip, layout), physical_mask(words[k].sign_mask, layout),
                      words[k].y_count};
    if ((p.flip & ~local_mask) == 0) {
      staying.push_back(p);
      staying_at.push_back(k);
    } else {
      crossing.push_back(p);
      crossing_at.push_back(k);
    }
  }

  std::vector<double> values(words.size(), 0.0);
  std::string error;
  const std::vector<PauliWord> slice_words = on_slice(staying, local_mask);
  try {
    check_cuda(cudaSetDevice(local.device_id));
    if (!staying.empty()) {
      const std::vector<double> sums = vorlent::pauli_expectations<T>(L, state, local.device_id, slice_words);
      for (size_t j = 0; j < staying.size(); ++j)
        values[staying_at[j]] = odd_parity(global_bits & staying[j].sign_mask) ? -sums[j] : sums[j];
    }
  } catch (const std::exception& e) {
    error = e.what();
  }

  if (!crossing.empty()) {
    // Chunks of a power-of-two length, so the sign of index first + i is the
    // sign of first xor the sign of i.
    uint64_t chunk = 1;
    while (chunk < local.num_state && 2 * chunk * sizeof(CuComplex<T>) <= chunk_bytes()) chunk *= 2;
    quillmarch::DeviceBuffer<double> sums;
    if (error.empty()) {
      try {
        sums = quillmarch::DeviceBuffer<double>(crossing.size(), local.device_id);
        check_cuda(cudaMemset(sums.get(), 0, sums.bytes()));
      } catch (const std::exception& e) {
        error = e.what();
      }
    }
    const std::unique_ptr<ExchangeBuffers<T>> buffers = open_buffers<T>(chunk, error);
    const std::vector<PauliWord> kernel_words = on_slice(crossing, local_mask);
    const auto start = std::chrono::steady_clock::now();
    size_t offset = 0;
    for (const quillmarch::PauliPass& pass : quillmarch::plan_pauli_passes(crossing)) {
      const int partner = rank ^ static_cast<int>(pass.flip >> L);
      for (uint64_t first = 0; first < local.num_state; first += chunk) {
        uint32_t base_signs = 0;
        for (size_t k = 0; k < pass.words.size(); ++k) {
          if (odd_parity((global_bits | first) & crossing[pass.words[k]].sign_mask)) base_signs |= uint32_t{1} << k;
        }
        const bool traded = buffers->trade(
            *transport_, static_cast<size_t>(chunk), partner, error,
            [&] { pack_flipped<T>(state, buffers->send.get(), first, chunk, pass.flip & local_mask); },
            [&] {
              pauli_cross_sums<T>(state + first, buffers->recv.get(), chunk, pass, kernel_words, base_signs,
                                  sums.get() + offset);
            });
        if (!traded) break;
        stats.bytes_sent += chunk * sizeof(CuComplex<T>);
      }
      offset += pass.words.size();
    }
    std::vector<double> host(crossing.size());
    if (error.empty()) {
      try {
        quillmarch::download(host.data(), sums.get(), host.size());
      } catch (const std::exception& e) {
        error = e.what();
      }
    }
    stats.exchange_seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    offset = 0;
    for (const quillmarch::PauliPass& pass : quillmarch::plan_pauli_passes(crossing)) {
      for (size_t k = 0; k < pass.words.size(); ++k) {
        const size_t w = pass.words[k];
        values[crossing_at[w]] = quillmarch::pauli_factor(crossing[w]) * host[offset + k];
      }
      offset += pass.words.size();
    }
  }

  settle(*transport_, error);
  transport_->allreduce_sum(values.data(), values.size());
  transport_->bcast(values.data(), values.size() * sizeof(double), 0);
  return values;
}

std::vector<double> DistributedState::probabilities(const std::vector<int64_t>& targets, const std::string& endian) {
  validate_measure(n, uint64_t{1} << n, targets, endian);
  // Measurement puts its first target in the top outcome bit; the reversed
  // list puts targets[j] in bit j.
  const std::vector<int64_t> reversed(targets.rbegin(), targets.rend());
  const OutcomeMap map = outcome_map(reversed, endian == "little");
  return quillmarch::with_precision(local, [&](auto* amplitudes) {
    return outcome_sums<quillmarch::real_of<decltype(amplitudes)>>(map, targets.size());
  });
}

std::complex<double> DistributedState::inner_product(DistributedState& other) {
  const std::vector<int> wanted = layout;
  return quillmarch::with_precision(local, [&](auto* amplitudes) {
    using T = quillmarch::real_of<decltype(amplitudes)>;
    other.align_to<T>(wanted);
    double sums[2] = {0.0, 0.0};
    std::string error;
    try {
      const std::complex<double> mine = vorlent::inner_product<T>(
          local_qubits, amplitudes, static_cast<const CuComplex<T>*>(other.local.d_state()), local.device_id);
      sums[0] = mine.real();
      sums[1] = mine.imag();
    } catch (const std::exception& e) {
      error = e.what();
    }
    settle(*transport_, error);
    transport_->allreduce_sum(sums, 2);
    transport_->bcast(sums, sizeof sums, 0);
    return std::complex<double>(sums[0], sums[1]);
  });
}

template <typename T>
void DistributedState::align_to(const std::vector<int>& wanted) {
  const int64_t L = local_qubits;
  auto* state = static_cast<CuComplex<T>*>(local.d_state());
  std::unique_ptr<ExchangeBuffers<T>> buffers;

  // Qubits on the wrong side of L trade places in one swap step.
  std::vector<size_t> coming, going;
  for (size_t q = 0; q < layout.size(); ++q) {
    if (layout[q] >= L && wanted[q] < L) coming.push_back(q);
    if (layout[q] < L && wanted[q] >= L) going.push_back(q);
  }
  if (!coming.empty()) {
    buffers = open_buffers<T>(local.num_state, "");
    std::vector<SwapPair> pairs;
    pairs.reserve(coming.size());
    for (size_t j = 0; j < coming.size(); ++j) pairs.push_back(SwapPair{layout[coming[j]], layout[going[j]]});
    swap_step<T>(pairs, *buffers);
    for (size_t j = 0; j < coming.size(); ++j) std::swap(layout[coming[j]], layout[going[j]]);
  }

  // Two global bits trade places by whole slices between the processes whose
  // two bits differ.
  for (int p = static_cast<int>(L); p < static_cast<int>(n); ++p) {
    const int q = logical_at(wanted, p);
    const int from = layout[static_cast<size_t>(q)];
    if (from == p) continue;
    const uint64_t a = (static_cast<uint64_t>(rank) >> (p - L)) & 1;
    const uint64_t b = (static_cast<uint64_t>(rank) >> (from - L)) & 1;
    if (!buffers) buffers = open_buffers<T>(local.num_state, "");
    std::string error;
    if (a != b) {
      const auto start = std::chrono::steady_clock::now();
      const int partner = rank ^ (1 << (p - L)) ^ (1 << (from - L));
      trade_block<T>(*buffers, local.num_state, 0, 0, partner, error);
      stats.exchange_seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    settle(*transport_, error);
    std::swap(layout[static_cast<size_t>(q)], layout[static_cast<size_t>(logical_at(layout, p))]);
  }

  // Local bits are swapped on the slice.
  std::vector<GateRecord> swaps;
  for (int p = 0; p < static_cast<int>(L); ++p) {
    const int q = logical_at(wanted, p);
    const int from = layout[static_cast<size_t>(q)];
    if (from == p) continue;
    GateRecord swap;
    swap.id = SWAP;
    swap.name = "swap";
    swap.targets = {p, from};
    swaps.push_back(swap);
    std::swap(layout[static_cast<size_t>(q)], layout[static_cast<size_t>(logical_at(layout, p))]);
  }
  std::string error;
  try {
    if (!swaps.empty())
      run_gates_on_device<T>(static_cast<uint64_t>(L), state, local.num_state, swaps, "little", local.device_id,
                             KernelMode::PairAuto);
  } catch (const std::exception& e) {
    error = e.what();
  }
  settle(*transport_, error);
}

}  // namespace distributed
}  // namespace vorlent
