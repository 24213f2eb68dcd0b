// Emulated threads of a block with barriers: each runs on a fiber of its own,
// switched by hand on x86-64, and the block's scheduler releases a barrier once
// every live fiber has reached it.
#include "hostcuda/hostcuda.h"
#include "hostcuda/internal.h"

#include <sys/mman.h>
#include <ucontext.h>

#include <cstdint>
#include <memory>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define HOSTCUDA_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HOSTCUDA_ASAN 1
#endif
#endif

#ifdef HOSTCUDA_ASAN
extern "C" {
void __sanitizer_start_switch_fiber(void** fake_stack_save, const void* bottom, size_t size);
void __sanitizer_finish_switch_fiber(void* fake_stack_save, const void** bottom_old, size_t* size_old);
}
#endif

namespace {

using hostcuda::detail::GridBody;
using hostcuda::internal::fail_launch;

constexpr size_t kFiberStack = 256 * 1024;

void fiber_entry();

// Barrier kernels switch fibers twice per thread per barrier. swapcontext
// saves and restores the signal mask, a system call each time; on x86-64 a
// switch saves just the callee-saved registers, the SSE and x87 control words
// and the stack pointer. Builds with shadow stacks keep swapcontext, which
// knows about them.
#if defined(__x86_64__) && !(defined(__CET__) && (__CET__ & 2))
#define HOSTCUDA_FAST_SWITCH 1
#endif

#ifdef HOSTCUDA_FAST_SWITCH
extern "C" __attribute__((visibility("hidden"))) void hostcuda_switch_context(void** save_sp, void* load_sp);
asm(R"(
  .text
  .p2align 4
  .globl hostcuda_switch_context
  .hidden hostcuda_switch_context
  .type hostcuda_switch_context, @function
hostcuda_switch_context:
  pushq %rbp
  pushq %rbx
  pushq %r12
  pushq %r13
  pushq %r14
  pushq %r15
  subq $8, %rsp
  stmxcsr (%rsp)
  fnstcw 4(%rsp)
  movq %rsp, (%rdi)
  movq %rsi, %rsp
  ldmxcsr (%rsp)
  fldcw 4(%rsp)
  addq $8, %rsp
  popq %r15
  popq %r14
  popq %r13
  popq %r12
  popq %rbx
  popq %rbp
  ret
  .size hostcuda_switch_context, .-hostcuda_switch_context
)");

struct Context {
  void* sp = nullptr;
};

// The new stack holds what hostcuda_switch_context pops: the control words,
// six zeroed registers and fiber_entry as the return address, above which
// sits the slot of fiber_entry's own return address, so that it starts with
// the stack alignment of a called function.
void make_context(Context& c, void* stack, size_t size) {
  auto* top = reinterpret_cast<uint64_t*>((reinterpret_cast<uintptr_t>(stack) + size) & ~uintptr_t{15});
  top[-1] = 0;
  top[-2] = reinterpret_cast<uint64_t>(&fiber_entry);
  for (int i = 3; i <= 8; ++i) top[-i] = 0;
  uint32_t mxcsr = 0;
  uint16_t fpucw = 0;
  asm volatile("stmxcsr %0" : "=m"(mxcsr));
  asm volatile("fnstcw %0" : "=m"(fpucw));
  top[-9] = mxcsr | (uint64_t{fpucw} << 32);
  c.sp = &top[-9];
}

void switch_context(Context& from, Context& to) { hostcuda_switch_context(&from.sp, to.sp); }
#else
struct Context {
  ucontext_t uc;
};

void make_context(Context& c, void* stack, size_t size) {
  getcontext(&c.uc);
  c.uc.uc_stack.ss_sp = stack;
  c.uc.uc_stack.ss_size = size;
  c.uc.uc_link = nullptr;
  makecontext(&c.uc, fiber_entry, 0);
}

void switch_context(Context& from, Context& to) { swapcontext(&from.uc, &to.uc); }
#endif

struct Fiber {
  Context context;
  void* stack = nullptr;
  uint3 index{0, 0, 0};
  bool finished = false;
  bool waiting = false;
#ifdef HOSTCUDA_ASAN
  void* fake_stack = nullptr;
#endif
};

struct BlockScheduler {
  Context context;
  const GridBody* body = nullptr;
  Fiber* fibers = nullptr;
  unsigned running = 0;
  const void* stack_bottom = nullptr;
  size_t stack_size = 0;
#ifdef HOSTCUDA_ASAN
  void* fake_stack = nullptr;
#endif
};

thread_local BlockScheduler* active_scheduler = nullptr;
thread_local std::vector<void*> stack_pool;

void* take_stack() {
  if (!stack_pool.empty()) {
    void* s = stack_pool.back();
    stack_pool.pop_back();
    return s;
  }
  void* s = mmap(nullptr, kFiberStack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (s == MAP_FAILED) {
    fail_launch("hostcuda: cannot map a fiber stack");
    return nullptr;
  }
  return s;
}

uint3 thread_index(unsigned linear) {
  return {linear % blockDim.x, (linear / blockDim.x) % blockDim.y, linear / (blockDim.x * blockDim.y)};
}

void switch_to_scheduler(Fiber& self, bool finishing) {
  BlockScheduler* s = active_scheduler;
#ifdef HOSTCUDA_ASAN
  __sanitizer_start_switch_fiber(finishing ? nullptr : &self.fake_stack, s->stack_bottom, s->stack_size);
#else
  (void)finishing;
#endif
  switch_context(self.context, s->context);
#ifdef HOSTCUDA_ASAN
  __sanitizer_finish_switch_fiber(self.fake_stack, &s->stack_bottom, &s->stack_size);
#endif
}

void fiber_entry() {
  BlockScheduler* s = active_scheduler;
  Fiber& self = s->fibers[s->running];
#ifdef HOSTCUDA_ASAN
  __sanitizer_finish_switch_fiber(nullptr, &s->stack_bottom, &s->stack_size);
#endif
  s->body->thread(s->body->context);
  self.finished = true;
  switch_to_scheduler(self, true);
  // The scheduler resumes no finished fiber. Were one resumed, returning would
  // run off the top of its stack: it fails the launch and goes back instead.
  for (;;) {
    fail_launch("hostcuda: a finished fiber was resumed");
    switch_to_scheduler(self, true);
  }
}

void resume(BlockScheduler& s, unsigned t) {
  Fiber& f = s.fibers[t];
  s.running = t;
  threadIdx = f.index;
#ifdef HOSTCUDA_ASAN
  __sanitizer_start_switch_fiber(&s.fake_stack, f.stack, kFiberStack);
#endif
  switch_context(s.context, f.context);
#ifdef HOSTCUDA_ASAN
  __sanitizer_finish_switch_fiber(s.fake_stack, nullptr, nullptr);
#endif
}

}  // namespace

namespace hostcuda::internal {

// A barrier parks the calling fiber; once every live fiber is parked or
// finished, all parked ones are released.
bool run_block_fibers(const GridBody& body, unsigned threads, bool probe_only) {
  // Not a vector: a suspended context points into itself and must not move.
  std::unique_ptr<Fiber[]> fibers(new Fiber[threads]);
  BlockScheduler s;
  s.body = &body;
  s.fibers = fibers.get();
  BlockScheduler* outer = active_scheduler;
  active_scheduler = &s;
  // Out of stacks, the launch has failed; threads not started count as
  // exited, so the started ones still run to their end and free their stacks.
  bool out_of_stacks = false;
  auto start = [&](unsigned t) {
    Fiber& f = fibers[t];
    if (!out_of_stacks) f.stack = take_stack();
    if (f.stack == nullptr) {
      out_of_stacks = true;
      f.finished = true;
      return;
    }
    f.index = thread_index(t);
    make_context(f.context, f.stack, kFiberStack);
    resume(s, t);
  };
  auto release_finished = [&](unsigned t) {
    if (fibers[t].finished && fibers[t].stack != nullptr) {
      stack_pool.push_back(fibers[t].stack);
      fibers[t].stack = nullptr;
    }
  };
  start(0);
  release_finished(0);
  if (probe_only && fibers[0].finished && !out_of_stacks) {
    active_scheduler = outer;
    return false;
  }
  for (unsigned t = 1; t < threads; ++t) {
    start(t);
    release_finished(t);
  }
  for (;;) {
    bool any = false;
    for (unsigned t = 0; t < threads; ++t) {
      if (!fibers[t].finished) {
        fibers[t].waiting = false;
        any = true;
      }
    }
    if (!any) break;
    for (unsigned t = 0; t < threads; ++t) {
      if (fibers[t].finished) continue;
      resume(s, t);
      release_finished(t);
    }
  }
  active_scheduler = outer;
  return true;
}

}  // namespace hostcuda::internal

void __syncthreads() {
  // A block of one thread has nobody to wait for.
  if (blockDim.x * blockDim.y * blockDim.z == 1) return;
  BlockScheduler* s = active_scheduler;
  if (s == nullptr) {
    // A block run as a plain loop cannot park a thread: the launch fails.
    fail_launch(
        "hostcuda: __syncthreads() reached by a thread other than thread 0 of block 0 in a kernel "
        "whose first thread finished without a barrier; barriers must be reached by every thread");
    return;
  }
  Fiber& self = s->fibers[s->running];
  self.waiting = true;
  switch_to_scheduler(self, false);
}
