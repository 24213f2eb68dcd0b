// Built-in noise channels (closed-form 2 x 2 block updates) and the general
// Kraus sum rho -> sum_j K_j rho K_j^dagger on one to three targets.
#include "kestamire/kestamire_kraus.h"

#include <stdexcept>
#include <string>

#include "common/bit_index.h"
#include "common/cuda_api.h"
#include "common/cuda_check.h"
#include "kestamire/channel_action.cuh"

namespace quillmarch {
namespace kestamire {

namespace {

using density::ChannelKind;

// How each built-in channel is named and where its parameter sits in K1.
struct ChannelRule {
  const char* name;
  ChannelKind kind;
  int64_t kraus_count;
  int entry;      // row-major index of the parameter entry inside K1
  double factor;  // parameter = factor * Re(entry)^2
};

constexpr ChannelRule kChannelRules[] = {
    {"bit_flip", density::BitFlip, 2, 1, 1.0},           {"phase_flip", density::PhaseFlip, 2, 0, 1.0},
    {"depolarizing", density::Depolarizing, 4, 1, 4.0},  {"amplitude_damping", density::AmplitudeDamping, 2, 1, 1.0},
    {"phase_damping", density::PhaseDamping, 3, 0, 1.0},
};

constexpr unsigned kKrausThreads = 256;
constexpr int kMaxKrausTargets = 3;

// Block 32 x 8, x = column, y = row; one thread per entry. Only threads whose
// row and column have the target bit clear own a block; the rest exit.
template <typename T, ChannelKind K>
__global__ void __launch_bounds__(32 * 8) channel_kernel(CuComplex<T>* rho, int64_t dim, uint64_t target_mask, T p) {
  const uint64_t width = static_cast<uint64_t>(dim);
  const uint64_t col = global_thread();
  const uint64_t row = global_thread_y();
  if (row >= width || col >= width || (row & target_mask) != 0 || (col & target_mask) != 0) return;
  CuComplex<T>* top = rho + row * width + col;
  CuComplex<T>* bottom = top + target_mask * width;
  CuComplex<T> a = top[0];
  CuComplex<T> b = top[target_mask];
  CuComplex<T> c = bottom[0];
  CuComplex<T> d = bottom[target_mask];
  apply_channel<K>(a, b, c, d, p);
  top[target_mask] = b;
  bottom[0] = c;
  if constexpr (!kChannelKeepsDiagonal<K>) {
    top[0] = a;
    bottom[target_mask] = d;
  }
}

// 256 threads, no shared memory; grid-stride over the (dim / 2^K)^2 blocks of
// the targets. Each thread reads its block once, then accumulates the sum.
template <typename T, int K>
__global__ void __launch_bounds__(kKrausThreads) kraus_kernel(CuComplex<T>* rho, int64_t dim, DeviceTargets targets,
                                                              int64_t kraus_count, const CuComplex<T>* matrices) {
  constexpr int B = 1 << K;
  const uint64_t d = static_cast<uint64_t>(dim);
  const unsigned base_bits = lowest_set_bit(d) - K;
  const uint64_t bases = uint64_t{1} << base_bits;
  const uint64_t blocks = bases * bases;

  const uint64_t target_mask = mask_of_bits(targets.targets, K);
  uint64_t offset[B];
  for (int s = 0; s < B; ++s) offset[s] = map_target_bits(static_cast<uint64_t>(s), targets.targets, K);

  for (uint64_t i = global_thread(); i < blocks; i += grid_stride()) {
    const uint64_t r0 = insert_zero_bits(i >> base_bits, target_mask);
    const uint64_t c0 = insert_zero_bits(i & (bases - 1), target_mask);

    CuComplex<T> block[B][B];
    for (int s = 0; s < B; ++s) {
      const CuComplex<T>* row = rho + (r0 | offset[s]) * d + c0;
      for (int t = 0; t < B; ++t) block[s][t] = row[offset[t]];
    }

    // Row s of the result only needs the loaded block, so it is finished and
    // stored before the next row; that keeps one row of sums live, not B.
    for (int s = 0; s < B; ++s) {
      CuComplex<T> sum[B];
      for (int t = 0; t < B; ++t) sum[t] = CuComplex<T>{T(0), T(0)};
      for (int64_t j = 0; j < kraus_count; ++j) {
        const CuComplex<T>* k = matrices + j * B * B;
        // Row s of K_j . block, then its product with K_j^dagger.
        CuComplex<T> left[B];
        for (int t = 0; t < B; ++t) {
          CuComplex<T> acc{T(0), T(0)};
          for (int l = 0; l < B; ++l) acc = acc + k[s * B + l] * block[l][t];
          left[t] = acc;
        }
        for (int t = 0; t < B; ++t) {
          CuComplex<T> acc = sum[t];
          for (int l = 0; l < B; ++l) acc = acc + mul_conj(left[l], k[t * B + l]);
          sum[t] = acc;
        }
      }
      CuComplex<T>* row = rho + (r0 | offset[s]) * d + c0;
      for (int t = 0; t < B; ++t) row[offset[t]] = sum[t];
    }
  }
}

template <typename T, ChannelKind K>
void run_channel(CuComplex<T>* rho, uint64_t dim, uint64_t target_mask, T parameter) {
  const dim3 block(32, 8);
  const dim3 grid(grid_for(dim, block.x), grid_for(dim, block.y));
  quillmarch::launch<channel_kernel<T, K>>(grid, block, 0, nullptr, rho, static_cast<int64_t>(dim), target_mask,
                                           parameter);
}

template <typename T, int K>
void run_kraus(CuComplex<T>* rho, uint64_t dim, const CuComplex<T>* matrices, int64_t kraus_count,
               const DeviceTargets& targets) {
  static_assert(K >= 1 && K <= kMaxKrausTargets, "Kraus kernels exist for 1 to 3 targets");
  const uint64_t bases = dim >> K;
  quillmarch::launch<kraus_kernel<T, K>>(dim3(grid_for(bases * bases, kKrausThreads)), dim3(kKrausThreads), 0, nullptr,
                                         rho, static_cast<int64_t>(dim), targets, kraus_count, matrices);
}

}  // namespace

bool recognize_channel(const DensityOperation& operation, int& kind, double& parameter) {
  if (operation.channel_name.empty() || operation.targets.size() != 1 || operation.kraus_dimension != 2) return false;
  for (const ChannelRule& rule : kChannelRules) {
    if (operation.channel_name != rule.name) continue;
    // The entry must exist even if an unvalidated record reaches us.
    if (operation.kraus_count != rule.kraus_count ||
        operation.kraus_matrices.size() != static_cast<size_t>(4 * rule.kraus_count))
      return false;
    const double re = operation.kraus_matrices[4 + rule.entry].real();
    kind = rule.kind;
    parameter = rule.factor * re * re;
    return true;
  }
  return false;
}

template <typename T>
void launch_channel(CuComplex<T>* rho, uint64_t dim, uint64_t target_mask, int kind, T parameter) {
  if (!with_channel_kind(kind, [&](auto k) { run_channel<T, decltype(k)::value>(rho, dim, target_mask, parameter); }))
    throw std::runtime_error("unknown noise channel kind");
  check_launch("channel kernel launch failed: ");
}

template <typename T>
void launch_kraus(CuComplex<T>* rho, uint64_t dim, const CuComplex<T>* matrices, int64_t kraus_count,
                  const DeviceTargets& targets) {
  switch (targets.count) {
    case 1: run_kraus<T, 1>(rho, dim, matrices, kraus_count, targets); break;
    case 2: run_kraus<T, 2>(rho, dim, matrices, kraus_count, targets); break;
    case 3: run_kraus<T, 3>(rho, dim, matrices, kraus_count, targets); break;
    default: throw std::runtime_error("GPU density Kraus supports at most 3 targets");
  }
  check_launch("kraus_kernel launch failed: ");
}

#define KESTAMIRE_KRAUS_INSTANTIATE(T)                                        \
  template void launch_channel<T>(CuComplex<T>*, uint64_t, uint64_t, int, T); \
  template void launch_kraus<T>(CuComplex<T>*, uint64_t, const CuComplex<T>*, int64_t, const DeviceTargets&);
KESTAMIRE_KRAUS_INSTANTIATE(float)
KESTAMIRE_KRAUS_INSTANTIATE(double)

}  // namespace kestamire
}  // namespace quillmarch
