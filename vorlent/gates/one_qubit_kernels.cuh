// Kernel bodies and launch dispatch shared by every one-qubit gate family.
//
// A gate supplies a pair operation: a functor with
//   static constexpr bool kOnlyOne;   // true: only the |1> amplitude changes
//   void operator()(CuComplex<T>& a0, CuComplex<T>& a1) const;   (kOnlyOne false)
//   void operator()(CuComplex<T>& a1) const;                      (kOnlyOne true)
// and its kernels hand that functor to the bodies below. Every kernel is
// launched with 256 threads per block and no dynamic shared memory.
#pragma once

#include <cstdint>
#include <tuple>
#include <type_traits>

#include "common/bit_index.h"
#include "common/cu_complex.h"
#include "common/cuda_api.h"
#include "common/cuda_check.h"
#include "vorlent/gates/gate_common.h"

#define QM_DEVICE __device__ __forceinline__

namespace vorlent {
namespace gates {

using quillmarch::CuComplex;

constexpr unsigned kThreads = 256;

// 1/sqrt(2) rounded to the precision of the state.
template <typename T>
QM_HD T inv_sqrt2();
template <>
QM_HD float inv_sqrt2<float>() {
  return 0.70710677f;
}
template <>
QM_HD double inv_sqrt2<double>() {
  return 0.7071067811865476;
}

using quillmarch::global_thread;
using quillmarch::grid_stride;

template <typename T, typename Op>
QM_DEVICE void update_pair(CuComplex<T>* state, uint64_t i0, uint64_t i1, const Op& op) {
  if constexpr (Op::kOnlyOne) {
    CuComplex<T> a1 = state[i1];
    op(a1);
    state[i1] = a1;
  } else {
    CuComplex<T> a0 = state[i0];
    CuComplex<T> a1 = state[i1];
    op(a0, a1);
    state[i0] = a0;
    state[i1] = a1;
  }
}

// The pair (p[0], p[1]) as one 16-byte access for float, two for double.
QM_DEVICE void load_pair(const CuComplex<float>* p, CuComplex<float>& a0, CuComplex<float>& a1) {
  const float4 v = *reinterpret_cast<const float4*>(p);
  a0 = {v.x, v.y};
  a1 = {v.z, v.w};
}
QM_DEVICE void store_pair(CuComplex<float>* p, CuComplex<float> a0, CuComplex<float> a1) {
  *reinterpret_cast<float4*>(p) = make_float4(a0.re, a0.im, a1.re, a1.im);
}
QM_DEVICE void load_pair(const CuComplex<double>* p, CuComplex<double>& a0, CuComplex<double>& a1) {
  const double2 v0 = reinterpret_cast<const double2*>(p)[0];
  const double2 v1 = reinterpret_cast<const double2*>(p)[1];
  a0 = {v0.x, v0.y};
  a1 = {v1.x, v1.y};
}
QM_DEVICE void store_pair(CuComplex<double>* p, CuComplex<double> a0, CuComplex<double> a1) {
  reinterpret_cast<double2*>(p)[0] = make_double2(a0.re, a0.im);
  reinterpret_cast<double2*>(p)[1] = make_double2(a1.re, a1.im);
}

// Neighbouring amplitudes (p[0], p[1]) of a target-0 pair.
template <typename T, typename Op>
QM_DEVICE void update_adjacent_pair(CuComplex<T>* p, const Op& op) {
  if constexpr (Op::kOnlyOne) {
    CuComplex<T> a1 = p[1];
    op(a1);
    p[1] = a1;
  } else {
    CuComplex<T> a0, a1;
    load_pair(p, a0, a1);
    op(a0, a1);
    store_pair(p, a0, a1);
  }
}

// One logical thread per amplitude; indices with the target bit clear and the
// controls satisfied act on their pair.
template <typename T, typename Op>
QM_DEVICE void all_state_body(int64_t n, CuComplex<T>* state, int target, uint64_t ctrl_mask, uint64_t ctrl_value,
                              const Op& op) {
  const uint64_t t = uint64_t{1} << target;
  for (uint64_t i = global_thread(); (i >> n) == 0; i += grid_stride()) {
    if ((i & t) == 0 && quillmarch::controls_hold(i, ctrl_mask, ctrl_value)) update_pair(state, i, i | t, op);
  }
}

// One logical thread per amplitude pair.
template <typename T, typename Op>
QM_DEVICE void pair_body(int64_t n, CuComplex<T>* state, int target, uint64_t ctrl_mask, uint64_t ctrl_value,
                         const Op& op) {
  const uint64_t t = uint64_t{1} << target;
  for (uint64_t j = global_thread(); (j >> (n - 1)) == 0; j += grid_stride()) {
    const uint64_t i0 = quillmarch::insert_zero_bit(j, static_cast<unsigned>(target));
    if (quillmarch::controls_hold(i0, ctrl_mask, ctrl_value)) update_pair(state, i0, i0 | t, op);
  }
}

// AutoPair bodies: exactly one pair per thread, no grid-stride loop.
template <typename T, typename Op>
QM_DEVICE void target0_no_control_body(uint64_t count, CuComplex<T>* state, const Op& op) {
  const uint64_t j = global_thread();
  if (j < count) update_adjacent_pair(state + 2 * j, op);
}

template <typename T, typename Op>
QM_DEVICE void no_control_body(uint64_t count, CuComplex<T>* state, uint64_t t, const Op& op) {
  const uint64_t j = global_thread();
  if (j >= count) return;
  const uint64_t i0 = quillmarch::insert_zero_at(j, t);
  update_pair(state, i0, i0 | t, op);
}

template <typename T, typename Op>
QM_DEVICE void target0_compact_body(uint64_t count, CuComplex<T>* state, uint64_t insert_mask, uint64_t base_value,
                                    const Op& op) {
  const uint64_t j = global_thread();
  if (j < count) update_adjacent_pair(state + (quillmarch::insert_zero_bits(j, insert_mask) | base_value), op);
}

template <typename T, typename Op>
QM_DEVICE void compact_body(uint64_t count, CuComplex<T>* state, uint64_t insert_mask, uint64_t base_value, uint64_t t,
                            const Op& op) {
  const uint64_t j = global_thread();
  if (j >= count) return;
  const uint64_t i0 = quillmarch::insert_zero_bits(j, insert_mask) | base_value;
  update_pair(state, i0, i0 | t, op);
}

// The kernels of one family, as compile-time constants so each launch can
// name its kernel statically: all-state and pair kernels take the raw angles,
// AutoPair kernels the constants the launcher evaluated on the host. A family
// without one of the AutoPair kernels passes nullptr, and never plans that shape.
template <auto AllState, auto Pair>
struct PairKernels {
  static constexpr auto all_state = quillmarch::kernel_constant<AllState>;
  static constexpr auto pair = quillmarch::kernel_constant<Pair>;
};

template <auto Target0NoControl, auto NoControl, auto Target0Compact, auto Compact>
struct AutoPairKernels {
  static constexpr auto target0_no_control = quillmarch::kernel_constant<Target0NoControl>;
  static constexpr auto no_control = quillmarch::kernel_constant<NoControl>;
  static constexpr auto target0_compact = quillmarch::kernel_constant<Target0Compact>;
  static constexpr auto compact = quillmarch::kernel_constant<Compact>;
};

// Enqueues the kernel `plan` names and reports a launch failure as
// prefix + error string. Pushing a bad configuration enqueues nothing and is
// reported the same way.
template <typename T, typename Pair, typename AutoPair, typename... Angle, typename... Const>
void launch_one_qubit(const char* prefix, const OneQubitLaunch& plan, uint64_t n, CuComplex<T>* state, int target,
                      const ControlMasks& masks, cudaStream_t stream, Pair, std::tuple<Angle...> angles, AutoPair,
                      std::tuple<Const...> constants) {
  const dim3 grid(quillmarch::grid_for(plan.work, kThreads));
  const dim3 block(kThreads);
  const auto n64 = static_cast<int64_t>(n);
  auto with_angles = [&](auto kernel) {
    std::apply(
        [&](auto... a) {
          quillmarch::launch(kernel, grid, block, 0, stream, n64, state, target, masks.mask, masks.value, a...);
        },
        angles);
  };
  auto with_constants = [&](auto kernel, auto... lead) {
    if constexpr (!std::is_same<typename decltype(kernel)::value_type, std::nullptr_t>::value) {
      std::apply(
          [&](auto... c) { quillmarch::launch(kernel, grid, block, 0, stream, plan.work, state, lead..., c...); },
          constants);
    }
  };
  switch (plan.shape) {
    case OneQubitShape::AllState: with_angles(Pair::all_state); break;
    case OneQubitShape::Pair: with_angles(Pair::pair); break;
    case OneQubitShape::Target0NoControl: with_constants(AutoPair::target0_no_control); break;
    case OneQubitShape::NoControl: with_constants(AutoPair::no_control, plan.t); break;
    case OneQubitShape::Target0Compact:
      with_constants(AutoPair::target0_compact, plan.insert_mask, plan.base_value);
      break;
    case OneQubitShape::Compact: with_constants(AutoPair::compact, plan.insert_mask, plan.base_value, plan.t); break;
  }
  quillmarch::check_launch(prefix);
}

}  // namespace gates
}  // namespace vorlent
