// The unitary-plus-channel kernel: U . B . U^dagger and then the channel's
// closed form on each 2 x 2 block of the target, so a gate and the noise that
// follows it cost one pass over rho instead of two.
#include "kestamire/kestamire_unitary_channel.h"

#include <stdexcept>

#include "common/bit_index.h"
#include "common/cuda_api.h"
#include "common/cuda_check.h"
#include "kestamire/channel_action.cuh"
#include "kestamire/unitary_action.cuh"

namespace quillmarch {
namespace kestamire {

namespace {

using density::ChannelKind;

constexpr unsigned kThreads = 256;

// 256 threads, no shared memory; grid-stride over the (dim/2)^2 blocks of the
// single target, one thread per block.
template <typename T, ChannelKind K>
__global__ void __launch_bounds__(kThreads)
    unitary_channel_kernel(CuComplex<T>* rho, long dim, DeviceTargets targets, const CuComplex<T>* matrix, T p) {
  const uint64_t d = static_cast<uint64_t>(dim);
  // Block i: its row half above half_bits, its column half below, each with a
  // zero put in at the target.
  const unsigned half_bits = quillmarch::lowest_set_bit(d) - 1;
  const uint64_t half = uint64_t{1} << half_bits;
  const uint64_t m = pow2(static_cast<unsigned>(targets.targets[0]));
  const CuComplex<T> u[4] = {matrix[0], matrix[1], matrix[2], matrix[3]};
  for (uint64_t i = global_thread(); i < half * half; i += grid_stride()) {
    const uint64_t r0 = quillmarch::insert_zero_at(i >> half_bits, m);
    const uint64_t c0 = quillmarch::insert_zero_at(i & (half - 1), m);
    CuComplex<T>* top = rho + r0 * d;
    CuComplex<T>* bottom = rho + (r0 | m) * d;
    CuComplex<T> a = top[c0], b = top[c0 | m], c = bottom[c0], e = bottom[c0 | m];
    apply_unitary_left(a, b, c, e, u);
    apply_unitary_right(a, b, c, e, u);
    apply_channel<K>(a, b, c, e, p);
    top[c0] = a;
    top[c0 | m] = b;
    bottom[c0] = c;
    bottom[c0 | m] = e;
  }
}

template <typename T, ChannelKind K>
void run_unitary_channel(CuComplex<T>* rho, uint64_t dim, const CuComplex<T>* matrix, T parameter,
                         const DeviceTargets& targets) {
  const uint64_t half = dim / 2;
  launch<unitary_channel_kernel<T, K>>(dim3(grid_for(half * half, kThreads)), dim3(kThreads), 0, nullptr, rho, dim,
                                       targets, matrix, parameter);
}

}  // namespace

template <typename T>
void launch_unitary_channel(CuComplex<T>* rho, uint64_t dim, const CuComplex<T>* matrix, int kind, T parameter,
                            const DeviceTargets& targets) {
  const auto run = [&](auto k) { run_unitary_channel<T, decltype(k)::value>(rho, dim, matrix, parameter, targets); };
  if (!with_channel_kind(kind, run)) throw std::runtime_error("unknown noise channel kind");
  check_launch("unitary_channel kernel launch failed: ");
}

#define KESTAMIRE_UNITARY_CHANNEL_INSTANTIATE(T) \
  template void launch_unitary_channel<T>(CuComplex<T>*, uint64_t, const CuComplex<T>*, int, T, const DeviceTargets&);
KESTAMIRE_UNITARY_CHANNEL_INSTANTIATE(float)
KESTAMIRE_UNITARY_CHANNEL_INSTANTIATE(double)

}  // namespace kestamire
}  // namespace quillmarch
