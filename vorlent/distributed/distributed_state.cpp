#include "vorlent/distributed/distributed_state.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <stdexcept>

#include "common/bit_index.h"
#include "common/cu_complex.h"
#include "common/cuda_api.h"
#include "common/cuda_check.h"
#include "common/device_buffer.h"
#include "vorlent/distributed/exchange.h"
#include "vorlent/distributed/exchange_buffers.h"
#include "vorlent/run_circuit.h"

namespace vorlent {
namespace distributed {

using quillmarch::check_cuda;
using quillmarch::CuComplex;

namespace {

// Messages stay well below 2**31 elements of any MPI datatype.
constexpr uint64_t kMaxMessageBytes = uint64_t{1} << 30;
constexpr double kBelowOne = 0.9999999999999999;
constexpr double kTwoToMinus64 = 5.421010862427522e-20;

// Physical index to logical index, a byte of the index at a time.
class IndexPermutation {
 public:
  explicit IndexPermutation(const std::vector<int>& layout) : bytes_((layout.size() + 7) / 8) {
    table_.assign(bytes_ * 256, 0);
    for (size_t q = 0; q < layout.size(); ++q) {
      const int p = layout[q];
      const size_t byte = static_cast<size_t>(p) / 8;
      const unsigned bit = static_cast<unsigned>(p) % 8;
      for (unsigned v = 0; v < 256; ++v) {
        if ((v >> bit) & 1) table_[byte * 256 + v] |= uint64_t{1} << q;
      }
    }
  }
  uint64_t operator()(uint64_t physical) const {
    uint64_t out = 0;
    for (size_t b = 0; b < bytes_; ++b) out |= table_[b * 256 + ((physical >> (8 * b)) & 0xff)];
    return out;
  }

 private:
  size_t bytes_;
  std::vector<uint64_t> table_;
};

std::string outcome_string(uint64_t outcome, size_t m) {
  std::string s(m, '0');
  for (size_t j = 0; j < m; ++j) {
    if ((outcome >> (m - 1 - j)) & 1) s[j] = '1';
  }
  return s;
}

}  // namespace

DistributedState::DistributedState(int64_t n_qubits, int precision_is_double, int device_id, uint64_t buffer,
                                   std::shared_ptr<Transport> transport)
    : n(n_qubits),
      rank(transport->rank()),
      size(transport->size()),
      is_double(precision_is_double),
      buffer_bytes(buffer),
      local(n_qubits - static_cast<int64_t>(__builtin_ctz(static_cast<unsigned>(transport->size()))),
            quillmarch::precision_from_flag(precision_is_double), device_id),
      transport_(std::move(transport)) {
  local_qubits = local.n;
  layout.resize(static_cast<size_t>(n));
  for (int64_t q = 0; q < n; ++q) layout[static_cast<size_t>(q)] = static_cast<int>(q);
}

uint64_t DistributedState::chunk_bytes() const {
  const uint64_t bytes = std::min(buffer_bytes, kMaxMessageBytes);
  return bytes - bytes % local.element_size();
}

bool agree(Transport& transport, uint64_t value) {
  const std::vector<std::string> all = transport.allgather(std::to_string(value));
  return std::all_of(all.begin(), all.end(), [&](const std::string& s) { return s == all.front(); });
}

const char* const kInterrupted = "interrupted (KeyboardInterrupt)";

namespace {

[[noreturn]] void raise_failure(const Transport& transport, size_t failed, const std::string& error) {
  const std::string message = "DistributedState: rank " + std::to_string(failed) + " failed: " + error;
  if (error == kInterrupted && failed == static_cast<size_t>(transport.rank())) throw Interrupted(message);
  throw std::runtime_error(message);
}

}  // namespace

void settle(Transport& transport, const std::string& error) {
  const std::vector<std::string> all = transport.allgather(error);
  for (size_t r = 0; r < all.size(); ++r) {
    if (!all[r].empty()) raise_failure(transport, r, all[r]);
  }
}

void DistributedState::reset_to_zero_state() {
  std::string error;
  try {
    if (rank == 0) {
      local.reset_to_zero_state();
    } else {
      check_cuda(cudaSetDevice(local.device_id));
      check_cuda(cudaMemset(local.d_state(), 0, local.byte_size()));
    }
    for (int64_t q = 0; q < n; ++q) layout[static_cast<size_t>(q)] = static_cast<int>(q);
  } catch (const std::exception& e) {
    error = e.what();
  }
  settle(*transport_, error);
}

void DistributedState::scatter_from(const void* host, int root) {
  const uint64_t slice = local.byte_size();
  const uint64_t chunk = chunk_bytes();
  std::vector<unsigned char> stage(kDeviceIsHost ? 0 : static_cast<size_t>(chunk));
  check_cuda(cudaSetDevice(local.device_id));
  auto* mine = static_cast<unsigned char*>(local.d_state());
  if (rank == root) {
    const auto* all = static_cast<const unsigned char*>(host);
    for (int r = 0; r < size; ++r) {
      const unsigned char* from = all + static_cast<uint64_t>(r) * slice;
      for (uint64_t off = 0; off < slice; off += chunk) {
        const size_t bytes = static_cast<size_t>(std::min(chunk, slice - off));
        if (r == rank) {
          check_cuda(cudaMemcpy(mine + off, from + off, bytes, cudaMemcpyHostToDevice));
        } else {
          transport_->send(from + off, bytes, r);
        }
      }
    }
  } else {
    for (uint64_t off = 0; off < slice; off += chunk) {
      const size_t bytes = static_cast<size_t>(std::min(chunk, slice - off));
      if (kDeviceIsHost) {
        transport_->recv(mine + off, bytes, root);
      } else {
        transport_->recv(stage.data(), bytes, root);
        check_cuda(cudaMemcpy(mine + off, stage.data(), bytes, cudaMemcpyHostToDevice));
      }
    }
  }
  for (int64_t q = 0; q < n; ++q) layout[static_cast<size_t>(q)] = static_cast<int>(q);
}

void DistributedState::gather_to(void* host, int root) const {
  const uint64_t slice = local.byte_size();
  const uint64_t chunk = chunk_bytes();
  const size_t element = local.element_size();
  std::vector<unsigned char> stage(static_cast<size_t>(chunk));
  check_cuda(cudaSetDevice(local.device_id));
  check_cuda(cudaDeviceSynchronize());
  const auto* mine = static_cast<const unsigned char*>(local.d_state());
  if (rank != root) {
    for (uint64_t off = 0; off < slice; off += chunk) {
      const size_t bytes = static_cast<size_t>(std::min(chunk, slice - off));
      if (kDeviceIsHost) {
        transport_->send(mine + off, bytes, root);
      } else {
        check_cuda(cudaMemcpy(stage.data(), mine + off, bytes, cudaMemcpyDeviceToHost));
        transport_->send(stage.data(), bytes, root);
      }
    }
    return;
  }
  const IndexPermutation logical(layout);
  auto* out = static_cast<unsigned char*>(host);
  for (int r = 0; r < size; ++r) {
    for (uint64_t off = 0; off < slice; off += chunk) {
      const size_t bytes = static_cast<size_t>(std::min(chunk, slice - off));
      if (r == rank) {
        check_cuda(cudaMemcpy(stage.data(), mine + off, bytes, cudaMemcpyDeviceToHost));
      } else {
        transport_->recv(stage.data(), bytes, r);
      }
      const uint64_t first = (static_cast<uint64_t>(r) << local_qubits) + off / element;
      for (size_t e = 0; e < bytes / element; ++e)
        std::memcpy(out + logical(first + e) * element, stage.data() + e * element, element);
    }
  }
}

void DistributedState::gather_to_all(void* host) const {
  gather_to(host, 0);
  const uint64_t total = local.byte_size() * static_cast<uint64_t>(size);
  auto* out = static_cast<unsigned char*>(host);
  for (uint64_t off = 0; off < total; off += kMaxMessageBytes)
    transport_->bcast(out + off, static_cast<size_t>(std::min(kMaxMessageBytes, total - off)), 0);
}

void DistributedState::run(const std::vector<GateRecord>& records, KernelMode mode) {
  validate_records(n, records);
  const DistributedPlan plan = plan_distributed(n, local_qubits, layout, records);
  quillmarch::with_precision(
      local, [&](auto* amplitudes) { run_plan<quillmarch::real_of<decltype(amplitudes)>>(plan, mode); });
}

template <typename T>
std::unique_ptr<ExchangeBuffers<T>> DistributedState::open_buffers(uint64_t most, const std::string& error) {
  std::string failure = error;
  std::unique_ptr<ExchangeBuffers<T>> buffers;
  if (failure.empty()) {
    try {
      const uint64_t elements = std::min<uint64_t>(chunk_bytes() / sizeof(CuComplex<T>), most);
      buffers = std::make_unique<ExchangeBuffers<T>>(static_cast<size_t>(elements), local.device_id, cuda_aware);
    } catch (const std::exception& e) {
      failure = e.what();
    }
  }
  settle(*transport_, failure);
  return buffers;
}

template <typename T>
void DistributedState::trade_block(ExchangeBuffers<T>& buffers, uint64_t count, uint64_t pair_mask, uint64_t block_bits,
                                   int partner, std::string& error) {
  auto* state = static_cast<CuComplex<T>*>(local.d_state());
  const uint64_t chunk = buffers.send.size();
  for (uint64_t first = 0; first < count; first += chunk) {
    const uint64_t part = std::min(chunk, count - first);
    const bool traded = buffers.trade(
        *transport_, static_cast<size_t>(part), partner, error,
        [&] { pack_block<T>(state, buffers.send.get(), first, part, pair_mask, block_bits); },
        [&] { unpack_block<T>(state, buffers.recv.get(), first, part, pair_mask, block_bits); });
    if (!traded) break;
    stats.bytes_sent += part * sizeof(CuComplex<T>);
  }
  if (error.empty()) {
    try {
      check_cuda(cudaStreamSynchronize(nullptr));
    } catch (const std::exception& e) {
      error = e.what();
    }
  }
}

template <typename T>
void DistributedState::swap_step(const std::vector<SwapPair>& pairs, ExchangeBuffers<T>& buffers) {
  // Process rank with global bits x sends the block of local amplitudes whose
  // exchanged local bits read z to the partner whose global bits read z, and
  // stores the partner's block (local bits x) in the same place.
  const int64_t L = local_qubits;
  const auto start = std::chrono::steady_clock::now();
  const size_t k = pairs.size();
  uint64_t pair_mask = 0;
  uint64_t x = 0;
  for (size_t j = 0; j < k; ++j) {
    pair_mask |= uint64_t{1} << pairs[j].local_bit;
    x |= ((static_cast<uint64_t>(rank) >> (pairs[j].global_bit - L)) & 1) << j;
  }
  const uint64_t block = local.num_state >> k;
  std::string error;
  for (uint64_t d = 1; d < (uint64_t{1} << k); ++d) {
    const uint64_t z = x ^ d;
    uint64_t block_bits = 0;
    uint64_t partner = static_cast<uint64_t>(rank);
    for (size_t j = 0; j < k; ++j) {
      block_bits |= ((z >> j) & 1) << pairs[j].local_bit;
      partner ^= ((d >> j) & 1) << (pairs[j].global_bit - L);
    }
    trade_block<T>(buffers, block, pair_mask, block_bits, static_cast<int>(partner), error);
  }
  ++stats.swap_steps;
  stats.exchange_seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  settle(*transport_, error);
}

template <typename T>
void DistributedState::run_plan(const DistributedPlan& plan, KernelMode mode) {
  const int64_t L = local_qubits;
  auto* state = static_cast<CuComplex<T>*>(local.d_state());
  std::vector<GateRecord> stretch;
  std::string error;
  const auto flush = [&] {
    if (error.empty() && !stretch.empty()) {
      try {
        run_gates_on_device<T>(static_cast<uint64_t>(L), state, local.num_state, stretch, "little", local.device_id,
                               mode);
      } catch (const std::exception& e) {
        error = e.what();
      }
    }
    stretch.clear();
  };

  std::unique_ptr<ExchangeBuffers<T>> buffers;
  for (const PlanStep& step : plan.steps) {
    if (step.kind == PlanStep::Kind::Gate) {
      GateRecord mine;
      if (localize(step.gate, L, static_cast<uint64_t>(rank), mine)) stretch.push_back(std::move(mine));
      continue;
    }
    flush();
    if (!buffers) buffers = open_buffers<T>(local.num_state / 2, error);
    settle(*transport_, error);
    swap_step<T>(step.pairs, *buffers);
    layout = step.layout;
  }
  flush();
  settle(*transport_, error);
  layout = plan.layout;
}

OutcomeMap DistributedState::outcome_map(const std::vector<int64_t>& targets, bool little) const {
  const int64_t L = local_qubits;
  const size_t m = targets.size();
  OutcomeMap map;
  for (size_t j = 0; j < m; ++j) {
    const int64_t p = layout[static_cast<size_t>(quillmarch::measured_bit(targets[j], n, little))];
    const uint64_t bit = quillmarch::outcome_bit(static_cast<int64_t>(j), static_cast<int64_t>(m));
    if (p < L) {
      map.target_mask |= uint64_t{1} << p;
      map.outcome_bit[p] = bit;
    } else if ((static_cast<uint64_t>(rank) >> (p - L)) & 1) {
      map.base |= bit;
    }
  }
  return map;
}

template <typename T>
std::vector<double> DistributedState::outcome_sums(const OutcomeMap& map, size_t m) {
  const uint64_t outcomes = uint64_t{1} << m;
  std::vector<double> sums;
  std::string error;
  try {
    if (outcomes > std::numeric_limits<size_t>::max() / sizeof(double))
      throw std::runtime_error(quillmarch::cuda_error_message(cudaErrorMemoryAllocation));
    sums.assign(static_cast<size_t>(outcomes), 0.0);
    check_cuda(cudaSetDevice(local.device_id));
    quillmarch::DeviceBuffer<double> probs(static_cast<size_t>(outcomes), local.device_id);
    check_cuda(cudaMemset(probs.get(), 0, probs.bytes()));
    local_probabilities<T>(static_cast<const CuComplex<T>*>(local.d_state()), local_qubits, map, probs.get());
    quillmarch::download(sums.data(), probs.get(), sums.size());
    probs.release();
  } catch (const std::exception& e) {
    error = e.what();
  }
  settle(*transport_, error);
  transport_->allreduce_sum(sums.data(), sums.size());
  // One process's sums decide for all, whatever order the reduction added in.
  transport_->bcast(sums.data(), sums.size() * sizeof(double), 0);
  return sums;
}

std::pair<OutcomeCounts, std::string> DistributedState::sample(const std::vector<int64_t>& targets,
                                                               const std::string& endian, uint64_t shots, uint64_t seed,
                                                               bool collapse_last) {
  validate_measure(n, uint64_t{1} << n, targets, endian);
  if (shots == 0) throw std::invalid_argument("shots must be positive");
  return quillmarch::with_precision(local, [&](auto* amplitudes) {
    return sample_typed<quillmarch::real_of<decltype(amplitudes)>>(targets, endian, shots, seed, collapse_last);
  });
}

template <typename T>
std::pair<OutcomeCounts, std::string> DistributedState::sample_typed(const std::vector<int64_t>& targets,
                                                                     const std::string& endian, uint64_t shots,
                                                                     uint64_t seed, bool collapse_last) {
  const size_t m = targets.size();
  const OutcomeMap map = outcome_map(targets, endian == "little");
  std::vector<double> running = outcome_sums<T>(map, m);
  std::string error;
  double sum = 0.0;
  for (double& c : running) {
    sum += c;
    c = sum;
  }
  const double total = running.back();
  if (!(total > 0.0 && std::fabs(total) <= std::numeric_limits<double>::max()))
    throw std::runtime_error("Quantum state has zero or invalid norm.");

  // Rank 0 draws with the single-device rule; the others receive
  // [last, entries, outcome, count, ...].
  std::vector<uint64_t> drawn;
  bool interrupted = false;
  if (rank == 0) {
    std::mt19937_64 engine(seed);
    std::map<uint64_t, uint64_t> counts;
    uint64_t last = 0;
    for (uint64_t shot = 0; shot < shots; ++shot) {
      double u = static_cast<double>(engine()) * kTwoToMinus64;
      if (u >= 1.0) u = kBelowOne;
      const size_t k =
          static_cast<size_t>(std::upper_bound(running.begin(), running.end(), u * total) - running.begin());
      last = k < running.size() ? k : running.size() - 1;
      ++counts[last];
      if ((shot & 0xfffff) == 0xfffff && transport_->interrupted()) {
        interrupted = true;
        break;
      }
    }
    drawn.push_back(last);
    drawn.push_back(counts.size());
    for (const auto& c : counts) {
      drawn.push_back(c.first);
      drawn.push_back(c.second);
    }
  }
  // Length 0: rank 0 took a Ctrl-C while drawing.
  uint64_t length = interrupted ? 0 : drawn.size();
  transport_->bcast(&length, sizeof length, 0);
  if (length == 0) raise_failure(*transport_, 0, kInterrupted);
  drawn.resize(static_cast<size_t>(length));
  transport_->bcast(drawn.data(), drawn.size() * sizeof(uint64_t), 0);

  const uint64_t last = drawn[0];
  OutcomeCounts counts;
  counts.reserve(static_cast<size_t>(drawn[1]));
  for (size_t e = 0; e < drawn[1]; ++e) counts.emplace(outcome_string(drawn[2 + 2 * e], m), drawn[3 + 2 * e]);

  if (collapse_last) {
    const double p = last == 0 ? running[0] : running[last] - running[last - 1];
    if (!(p > 0.0)) throw std::runtime_error("Selected measurement probability is zero.");
    const double whole = 1.0 / std::sqrt(p);
    T prefactor = 1;
    T factor = static_cast<T>(whole);
    if (!(whole <= static_cast<double>(std::numeric_limits<T>::max()))) {
      int exponent = 0;
      const double mantissa = std::frexp(whole, &exponent);
      prefactor = static_cast<T>(std::ldexp(1.0, exponent / 2));
      factor = static_cast<T>(std::ldexp(mantissa, exponent - exponent / 2));
    }
    try {
      check_cuda(cudaSetDevice(local.device_id));
      local_collapse<T>(static_cast<CuComplex<T>*>(local.d_state()), local_qubits, map, last, prefactor, factor);
      check_cuda(cudaStreamSynchronize(nullptr));
    } catch (const std::exception& e) {
      error = e.what();
    }
    settle(*transport_, error);
  }
  return {std::move(counts), outcome_string(last, m)};
}

// Used by the observables' unit.
#define VORLENT_DISTRIBUTED_INSTANTIATE(T)                                                                      \
  template std::unique_ptr<ExchangeBuffers<T>> DistributedState::open_buffers<T>(uint64_t, const std::string&); \
  template void DistributedState::swap_step<T>(const std::vector<SwapPair>&, ExchangeBuffers<T>&);              \
  template void DistributedState::trade_block<T>(ExchangeBuffers<T>&, uint64_t, uint64_t, uint64_t, int,        \
                                                 std::string&);                                                 \
  template std::vector<double> DistributedState::outcome_sums<T>(const OutcomeMap&, size_t);
VORLENT_DISTRIBUTED_INSTANTIATE(float)
VORLENT_DISTRIBUTED_INSTANTIATE(double)

}  // namespace distributed
}  // namespace vorlent
