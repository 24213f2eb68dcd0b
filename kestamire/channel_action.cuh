// Closed-form action of the built-in one-qubit channels on one 2 x 2 block
// [[a, b], [c, d]] of rho, shared by the channel kernel and the fused
// unitary-plus-channel kernel.
#pragma once

#include <type_traits>

#include "common/cu_complex.h"
#include "common/cuda_api.h"
#include "kestamire/density_ops.h"

namespace quillmarch {
namespace kestamire {

template <density::ChannelKind K>
using ChannelKindTag = std::integral_constant<density::ChannelKind, K>;

// The one switch from a run-time channel kind to its compile-time form: calls
// f(ChannelKindTag<K>{}) for the kind K that `kind` names. False, with
// nothing called, for any other value. Host launchers pass host functors, the
// kernels device ones; the execution-space check is left to the caller.
#if defined(__CUDACC__)
#pragma nv_exec_check_disable
#endif
template <typename F>
QM_HD bool with_channel_kind(int kind, F&& f) {
  switch (kind) {
    case density::BitFlip: f(ChannelKindTag<density::BitFlip>{}); return true;
    case density::PhaseFlip: f(ChannelKindTag<density::PhaseFlip>{}); return true;
    case density::Depolarizing: f(ChannelKindTag<density::Depolarizing>{}); return true;
    case density::AmplitudeDamping: f(ChannelKindTag<density::AmplitudeDamping>{}); return true;
    case density::PhaseDamping: f(ChannelKindTag<density::PhaseDamping>{}); return true;
    default: return false;
  }
}

// True for the kinds that only scale the coherences b and c; their kernels
// need not write a and d back.
template <density::ChannelKind K>
constexpr bool kChannelKeepsDiagonal = K == density::PhaseFlip || K == density::PhaseDamping;

template <density::ChannelKind K, typename T>
QM_HD void apply_channel(CuComplex<T>& a, CuComplex<T>& b, CuComplex<T>& c, CuComplex<T>& d, T p) {
  static_assert(K >= density::BitFlip && K <= density::PhaseDamping, "unknown channel kind");
  const T one = T(1);
  if constexpr (K == density::BitFlip) {
    const T q = one - p;
    const CuComplex<T> a0 = a, b0 = b, c0 = c, d0 = d;
    store(a, scale(a0, q) + scale(d0, p));
    store(b, scale(b0, q) + scale(c0, p));
    store(c, scale(c0, q) + scale(b0, p));
    store(d, scale(d0, q) + scale(a0, p));
  } else if constexpr (K == density::PhaseFlip) {
    const T f = one - T(2) * p;
    store(b, scale(b, f));
    store(c, scale(c, f));
  } else if constexpr (K == density::Depolarizing) {
    const T h = p / T(2);
    const T keep = one - h;
    const T f = one - p;
    const CuComplex<T> a0 = a, d0 = d;
    store(a, scale(a0, keep) + scale(d0, h));
    store(d, scale(d0, keep) + scale(a0, h));
    store(b, scale(b, f));
    store(c, scale(c, f));
  } else if constexpr (K == density::AmplitudeDamping) {
    const T f = square_root(one - p);
    store(a, a + scale(d, p));
    store(d, scale(d, one - p));
    store(b, scale(b, f));
    store(c, scale(c, f));
  } else {
    const T f = one - p;
    store(b, scale(b, f));
    store(c, scale(c, f));
  }
}

}  // namespace kestamire
}  // namespace quillmarch
