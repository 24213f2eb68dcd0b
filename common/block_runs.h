// How a block's threads share runs of consecutive items (entries of a shared
// tile, say) so that each thread's part of a run is a loop the host compiler
// can vectorize, while on a GPU consecutive threads still take consecutive
// items: the same thread-to-item map as handing item i to thread
// i % blockDim.x, whenever the block size is a power of two.
#pragma once

#include "common/cuda_api.h"

namespace quillmarch {

// The share of thread `thread` of `threads` in `runs` runs of `length`
// items: up to `threads` threads side by side on one run, the others on
// further runs.
struct RunShare {
  unsigned first_run;  // runs first_run, first_run + run_step, ...
  unsigned run_step;
  unsigned first;  // items first, first + stride, ... of each run
  unsigned stride;
  bool idle;  // a thread left over when threads is not a multiple of length
};

QM_HD RunShare share_runs(unsigned length, unsigned thread, unsigned threads) {
  const unsigned side = length < threads ? length : threads;
  const unsigned run_step = threads / side;
  return {thread / side, run_step, thread % side, side, thread >= side * run_step};
}

// Calls op(o) for o = first, first + stride, ... below length. On the host
// the stride-1 loop stands on its own: a block of one thread (the host
// backend's geometry) runs it, and the compiler vectorizes a loop only when
// its step is known. A GPU needs no second copy of the body.
template <typename Op>
QM_HD void for_each_strided(unsigned first, unsigned length, unsigned stride, Op op) {
#if !defined(__CUDA_ARCH__)
  if (stride == 1) {
    // Every caller's items are disjoint, so no iteration feeds another.
#if defined(__GNUC__) && !defined(__clang__) && !defined(__CUDACC__)
#pragma GCC ivdep
#endif
    for (unsigned o = first; o < length; ++o) op(o);
    return;
  }
#endif
  for (unsigned o = first; o < length; o += stride) op(o);
}

}  // namespace quillmarch
