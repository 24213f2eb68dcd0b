// CPU implementation of the emulated CUDA runtime: devices, memory, copies,
// error state and the grid executor with barrier-capable fibers.
#include "hostcuda/hostcuda.h"
#include "hostcuda/trace.h"

#include <pthread.h>
#include <ucontext.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
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

// ---------------------------------------------------------------- settings

long long env_ll(const char* name, long long fallback) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == '\0') return fallback;
  char* end = nullptr;
  long long r = std::strtoll(v, &end, 10);
  return (end == v) ? fallback : r;
}

// The snapshot behind hostcuda::settings(). Never destroyed: a thread still in
// a runtime call while the process exits may read it.
struct SettingsStore {
  std::mutex mutex;
  hostcuda::Settings values;
  bool refreshed_by_caller = false;
};

SettingsStore& settings_store() {
  static SettingsStore* store = new SettingsStore();
  return *store;
}

hostcuda::Settings read_environment() {
  hostcuda::Settings s;
  s.device_count = static_cast<int>(env_ll("HOSTCUDA_DEVICE_COUNT", 1));
  s.memory_bytes = env_ll("HOSTCUDA_MEMORY_BYTES", -1);
  s.host_register_fails = env_ll("HOSTCUDA_HOST_REGISTER_FAILS", 0) != 0;
  const char* trace = std::getenv("HOSTCUDA_TRACE");
  if (trace != nullptr) s.trace_path = trace;
  return s;
}

int device_count() { return hostcuda::settings().device_count; }

unsigned long long memory_limit() {
  long long v = hostcuda::settings().memory_bytes;
  if (v >= 0) return static_cast<unsigned long long>(v);
  long pages = sysconf(_SC_PHYS_PAGES);
  long page = sysconf(_SC_PAGESIZE);
  return static_cast<unsigned long long>(pages) * static_cast<unsigned long long>(page);
}

// ---------------------------------------------------------------- error state

thread_local cudaError_t last_error = cudaSuccess;
thread_local int current_device = 0;

cudaError_t fail(cudaError_t e) {
  if (e != cudaSuccess) last_error = e;
  return e;
}

// ---------------------------------------------------------------- memory

struct Allocation {
  size_t bytes;
  int device;
};

// Never destroyed: a daemon thread may still be inside a runtime call while
// the process exits and runs the destructors of globals.
std::mutex& memory_mutex = *new std::mutex;
std::map<uintptr_t, Allocation>& allocations = *new std::map<uintptr_t, Allocation>;  // keyed by start address
std::map<int, unsigned long long>& used_bytes = *new std::map<int, unsigned long long>;
std::map<uintptr_t, size_t>& registered = *new std::map<uintptr_t, size_t>;

// The allocation holding [p, p + bytes), if any; caller holds memory_mutex.
const Allocation* find_device_range(const void* p, size_t bytes) {
  uintptr_t a = reinterpret_cast<uintptr_t>(p);
  auto it = allocations.upper_bound(a);
  if (it == allocations.begin()) return nullptr;
  --it;
  if (a < it->first || a - it->first > it->second.bytes || bytes > it->second.bytes - (a - it->first)) return nullptr;
  return &it->second;
}

bool is_device_pointer(const void* p) {
  std::lock_guard<std::mutex> lock(memory_mutex);
  return find_device_range(p, 0) != nullptr;
}

// ---------------------------------------------------------------- fibers

using hostcuda::detail::GridBody;

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
thread_local std::vector<unsigned char> dynamic_shared;

void* take_stack() {
  if (!stack_pool.empty()) {
    void* s = stack_pool.back();
    stack_pool.pop_back();
    return s;
  }
  void* s = mmap(nullptr, kFiberStack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (s == MAP_FAILED) {
    std::fprintf(stderr, "hostcuda: cannot map a fiber stack\n");
    std::abort();
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
  std::abort();  // a finished fiber is never resumed
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

// Runs all threads of one block as fibers. A barrier parks the calling fiber;
// once every live fiber is parked or finished, all parked ones are released.
// If `probe_only`, only thread 0 is started first: returns false when it ran
// to completion without a barrier (the caller may then run the remaining
// threads as a plain loop), true when the whole block has been run as fibers.
bool run_block_fibers(const GridBody& body, unsigned threads, bool probe_only) {
  // Not a vector: a suspended context points into itself and must not move.
  std::unique_ptr<Fiber[]> fibers(new Fiber[threads]);
  BlockScheduler s;
  s.body = &body;
  s.fibers = fibers.get();
  BlockScheduler* outer = active_scheduler;
  active_scheduler = &s;
  auto start = [&](unsigned t) {
    Fiber& f = fibers[t];
    f.stack = take_stack();
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
  if (probe_only && fibers[0].finished) {
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

// ---------------------------------------------------------------- grid executor

struct GridJob {
  GridBody body;
  dim3 grid;
  dim3 block;
  size_t shared_bytes;
  bool fibers;
  unsigned long long blocks;
  unsigned long long chunk;  // blocks claimed at a time
  std::atomic<unsigned long long> next{0};
};

unsigned block_threads(const GridJob& job) { return job.block.x * job.block.y * job.block.z; }

// Makes the calling OS thread ready to run blocks of `job`.
void enter_grid(const GridJob& job) {
  blockDim = {job.block.x, job.block.y, job.block.z};
  gridDim = {job.grid.x, job.grid.y, job.grid.z};
  if (dynamic_shared.size() < job.shared_bytes) dynamic_shared.resize(job.shared_bytes);
}

void set_block_index(const GridJob& job, unsigned long long b) {
  if (job.grid.y == 1 && job.grid.z == 1) {
    blockIdx = {static_cast<unsigned>(b), 0, 0};
    return;
  }
  blockIdx.x = static_cast<unsigned>(b % job.grid.x);
  blockIdx.y = static_cast<unsigned>((b / job.grid.x) % job.grid.y);
  blockIdx.z = static_cast<unsigned>(b / (static_cast<unsigned long long>(job.grid.x) * job.grid.y));
}

// Claims chunks of blocks until none is left. Blocks are independent, so which
// OS thread runs which block never changes a result.
void run_blocks(GridJob& job) {
  enter_grid(job);
  const unsigned threads = block_threads(job);
  for (;;) {
    const unsigned long long first = job.next.fetch_add(job.chunk, std::memory_order_relaxed);
    if (first >= job.blocks) return;
    const unsigned long long last = std::min(job.blocks, first + job.chunk);
    for (unsigned long long b = first; b < last; ++b) {
      set_block_index(job, b);
      if (job.fibers) {
        run_block_fibers(job.body, threads, false);
      } else {
        job.body.threads(job.body.context, 0);
      }
    }
  }
}

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// How long a worker looks for the next grid, and a launcher for its helpers,
// before sleeping: launches of one circuit come microseconds apart.
constexpr auto kSpin = std::chrono::microseconds(200);

// True once `ready()` holds; false if it still does not after the spin time.
template <typename Ready>
bool spin_until(bool spin, Ready ready) {
  if (ready()) return true;
  if (!spin) return false;
  const auto until = std::chrono::steady_clock::now() + kSpin;
  for (;;) {
    for (int i = 0; i < 64; ++i) {
      cpu_relax();
      if (ready()) return true;
    }
    if (std::chrono::steady_clock::now() >= until) return false;
  }
}

class WorkerPool {
 public:
  // Never destroyed: its workers wait for grids until the process ends, and
  // destroying it under them would block exit. A fork()ed child gets a new
  // one, as the parent's workers do not exist there.
  static WorkerPool& instance() {
    WorkerPool* pool = current_.load(std::memory_order_acquire);
    if (pool != nullptr) return *pool;
    std::lock_guard<std::mutex> lock(create_mutex_);
    pool = current_.load(std::memory_order_relaxed);
    if (pool == nullptr) {
      static const bool fork_handlers = pthread_atfork(&before_fork, &after_fork_parent, &after_fork_child) == 0;
      (void)fork_handlers;
      pool = new WorkerPool();
      current_.store(pool, std::memory_order_release);
    }
    return *pool;
  }

  void run(GridJob& job) {
    const unsigned long long left = job.blocks - job.next.load(std::memory_order_relaxed);
    const unsigned threads = block_threads(job);
    const unsigned helpers = static_cast<unsigned>(
        std::min<unsigned long long>(workers_, left > 0 ? left - 1 : 0));
    job.chunk = left > 0 ? left : 1;
    if (helpers == 0 || job.blocks * threads < 4096) {
      run_blocks(job);
      return;
    }
    // The pool serves one grid at a time; a launch from another host thread
    // while it is busy runs its blocks on its own thread.
    std::unique_lock<std::mutex> busy(busy_mutex_, std::try_to_lock);
    if (!busy.owns_lock()) {
      run_blocks(job);
      return;
    }
    // Several chunks per participant balance the load; one chunk holds at most
    // about 8K emulated threads, so a worker that loses its core mid-grid
    // holds back little work and a late one still finds some.
    const unsigned long long per_thread = left / (8ull * (helpers + 1));
    job.chunk = std::max<unsigned long long>(1, std::min<unsigned long long>(per_thread, 8192 / threads));
    job_.store(&job, std::memory_order_relaxed);
    pending_.store(helpers, std::memory_order_relaxed);
    wanted_.store(helpers, std::memory_order_release);
    generation_.fetch_add(1, std::memory_order_seq_cst);
    if (sleepers_.load(std::memory_order_seq_cst) > 0) {
      std::lock_guard<std::mutex> lock(mutex_);
      cv_.notify_all();
    }
    run_blocks(job);
    // Every block is claimed: helpers that have not joined yet are not waited for.
    const unsigned unjoined = wanted_.exchange(0, std::memory_order_acq_rel);
    if (unjoined > 0) pending_.fetch_sub(unjoined, std::memory_order_acq_rel);
    auto done = [this] { return pending_.load(std::memory_order_seq_cst) == 0; };
    if (!spin_until(spin_, done)) {
      std::unique_lock<std::mutex> lock(mutex_);
      launcher_sleeping_.store(true, std::memory_order_seq_cst);
      done_cv_.wait(lock, done);
      launcher_sleeping_.store(false, std::memory_order_relaxed);
    }
  }

 private:
  WorkerPool() {
    long long n = env_ll("HOSTCUDA_THREADS", static_cast<long long>(std::thread::hardware_concurrency()));
    if (n < 1) n = 1;
    spin_ = env_ll("HOSTCUDA_SPIN", 1) != 0;
    workers_ = static_cast<unsigned>(n - 1);
    for (unsigned i = 0; i < workers_; ++i) std::thread([this] { loop(); }).detach();
  }

  // Takes one of the helper places of the published grid, if any is left.
  bool join() {
    unsigned wanted = wanted_.load(std::memory_order_acquire);
    while (wanted > 0) {
      if (wanted_.compare_exchange_weak(wanted, wanted - 1, std::memory_order_acq_rel)) return true;
    }
    return false;
  }

  void loop() {
    unsigned long long seen = 0;
    auto published = [&] { return generation_.load(std::memory_order_seq_cst) != seen; };
    for (;;) {
      if (!spin_until(spin_, published)) {
        std::unique_lock<std::mutex> lock(mutex_);
        sleepers_.fetch_add(1, std::memory_order_seq_cst);
        cv_.wait(lock, published);
        sleepers_.fetch_sub(1, std::memory_order_relaxed);
      }
      seen = generation_.load(std::memory_order_acquire);
      if (!join()) continue;
      // The launcher publishes no other grid before this helper is done.
      run_blocks(*job_.load(std::memory_order_relaxed));
      if (pending_.fetch_sub(1, std::memory_order_seq_cst) == 1 &&
          launcher_sleeping_.load(std::memory_order_seq_cst)) {
        std::lock_guard<std::mutex> lock(mutex_);
        done_cv_.notify_all();
      }
    }
  }

  static void before_fork() { create_mutex_.lock(); }
  static void after_fork_parent() { create_mutex_.unlock(); }
  static void after_fork_child() {
    // Left behind, not destroyed: its mutexes may have been held at the fork.
    current_.store(nullptr, std::memory_order_relaxed);
    create_mutex_.unlock();
  }

  static inline std::atomic<WorkerPool*> current_{nullptr};
  static inline std::mutex create_mutex_;

  unsigned workers_ = 0;
  bool spin_ = true;
  std::mutex busy_mutex_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::condition_variable done_cv_;
  std::atomic<GridJob*> job_{nullptr};
  std::atomic<unsigned long long> generation_{0};
  std::atomic<unsigned> wanted_{0};   // helper places not yet taken
  std::atomic<unsigned> pending_{0};  // helper places not yet finished
  std::atomic<unsigned> sleepers_{0};
  std::atomic<bool> launcher_sleeping_{false};
};

bool valid_configuration(dim3 grid, dim3 block) {
  if (grid.x == 0 || grid.y == 0 || grid.z == 0 || block.x == 0 || block.y == 0 || block.z == 0) return false;
  if (grid.x > 2147483647u || grid.y > 65535u || grid.z > 65535u) return false;
  if (block.x > 1024u || block.y > 1024u || block.z > 64u) return false;
  return static_cast<unsigned long long>(block.x) * block.y * block.z <= 1024u;
}

const char* error_string(cudaError_t e) {
  switch (e) {
    case cudaSuccess: return "no error";
    case cudaErrorInvalidValue: return "invalid argument";
    case cudaErrorMemoryAllocation: return "out of memory";
    case cudaErrorInitializationError: return "initialization error";
    case cudaErrorInvalidConfiguration: return "invalid configuration argument";
    case cudaErrorInvalidDevicePointer: return "invalid device pointer";
    case cudaErrorInvalidMemcpyDirection: return "invalid copy direction for memcpy";
    case cudaErrorNoDevice: return "no CUDA-capable device is detected";
    case cudaErrorInvalidDevice: return "invalid device ordinal";
    case cudaErrorInvalidResourceHandle: return "invalid resource handle";
    case cudaErrorIllegalAddress: return "an illegal memory access was encountered";
    case cudaErrorHostMemoryAlreadyRegistered: return "part or all of the requested memory range is already mapped";
    case cudaErrorHostMemoryNotRegistered: return "pointer does not correspond to a registered memory region";
    case cudaErrorLaunchFailure: return "unspecified launch failure";
    case cudaErrorUnknown: return "unknown error";
  }
  return "unrecognized error code";
}

const char* error_name(cudaError_t e) {
  switch (e) {
    case cudaSuccess: return "cudaSuccess";
    case cudaErrorInvalidValue: return "cudaErrorInvalidValue";
    case cudaErrorMemoryAllocation: return "cudaErrorMemoryAllocation";
    case cudaErrorInitializationError: return "cudaErrorInitializationError";
    case cudaErrorInvalidConfiguration: return "cudaErrorInvalidConfiguration";
    case cudaErrorInvalidDevicePointer: return "cudaErrorInvalidDevicePointer";
    case cudaErrorInvalidMemcpyDirection: return "cudaErrorInvalidMemcpyDirection";
    case cudaErrorNoDevice: return "cudaErrorNoDevice";
    case cudaErrorInvalidDevice: return "cudaErrorInvalidDevice";
    case cudaErrorInvalidResourceHandle: return "cudaErrorInvalidResourceHandle";
    case cudaErrorIllegalAddress: return "cudaErrorIllegalAddress";
    case cudaErrorHostMemoryAlreadyRegistered: return "cudaErrorHostMemoryAlreadyRegistered";
    case cudaErrorHostMemoryNotRegistered: return "cudaErrorHostMemoryNotRegistered";
    case cudaErrorLaunchFailure: return "cudaErrorLaunchFailure";
    case cudaErrorUnknown: return "cudaErrorUnknown";
  }
  return "unrecognized error code";
}

}  // namespace

// ---------------------------------------------------------------- device code support

void __syncthreads() {
  BlockScheduler* s = active_scheduler;
  if (s == nullptr) {
    std::fprintf(stderr,
                 "hostcuda: __syncthreads() reached by a thread other than thread 0 of block 0 in a kernel "
                 "whose first thread finished without a barrier; barriers must be reached by every thread\n");
    std::abort();
  }
  Fiber& self = s->fibers[s->running];
  self.waiting = true;
  switch_to_scheduler(self, false);
}

double atomicAdd(double* address, double value) {
  auto* word = reinterpret_cast<unsigned long long*>(address);
  unsigned long long expected = __atomic_load_n(word, __ATOMIC_RELAXED);
  for (;;) {
    double current;
    std::memcpy(&current, &expected, sizeof current);
    double next = current + value;
    unsigned long long desired;
    std::memcpy(&desired, &next, sizeof desired);
    if (__atomic_compare_exchange_n(word, &expected, desired, true, __ATOMIC_ACQ_REL, __ATOMIC_RELAXED))
      return current;
  }
}

float atomicAdd(float* address, float value) {
  auto* word = reinterpret_cast<unsigned int*>(address);
  unsigned int expected = __atomic_load_n(word, __ATOMIC_RELAXED);
  for (;;) {
    float current;
    std::memcpy(&current, &expected, sizeof current);
    float next = current + value;
    unsigned int desired;
    std::memcpy(&desired, &next, sizeof desired);
    if (__atomic_compare_exchange_n(word, &expected, desired, true, __ATOMIC_ACQ_REL, __ATOMIC_RELAXED))
      return current;
  }
}

unsigned long long atomicAdd(unsigned long long* address, unsigned long long value) {
  return __atomic_fetch_add(address, value, __ATOMIC_ACQ_REL);
}

void* hostcuda::dynamic_shared_memory() { return dynamic_shared.data(); }

void hostcuda::detail::run_grid(const void* kernel, dim3 grid, dim3 block, size_t shared_bytes,
                                cudaStream_t stream, const GridBody& body) {
  if (stream != nullptr) {
    fail(cudaErrorInvalidResourceHandle);
    return;
  }
  if (!valid_configuration(grid, block)) {
    fail(cudaErrorInvalidConfiguration);
    return;
  }
  if (shared_bytes > 48 * 1024) {
    fail(cudaErrorInvalidValue);
    return;
  }
  trace_launch(kernel, grid, block, shared_bytes);
  GridJob job;
  job.body = body;
  job.grid = grid;
  job.block = block;
  job.shared_bytes = shared_bytes;
  job.blocks = static_cast<unsigned long long>(grid.x) * grid.y * grid.z;
  // Probe: thread 0 of block 0 runs on a fiber. If it finishes without a
  // barrier the kernel is taken to have none and runs as plain loops.
  job.next = 1;
  enter_grid(job);
  set_block_index(job, 0);
  job.fibers = run_block_fibers(body, block_threads(job), true);
  if (!job.fibers) body.threads(body.context, 1);
  WorkerPool::instance().run(job);
}

// ---------------------------------------------------------------- settings

void hostcuda::refresh_settings() {
  Settings fresh = read_environment();
  SettingsStore& store = settings_store();
  std::lock_guard<std::mutex> lock(store.mutex);
  store.values = std::move(fresh);
  store.refreshed_by_caller = true;
}

hostcuda::Settings hostcuda::settings() {
  SettingsStore& store = settings_store();
  std::lock_guard<std::mutex> lock(store.mutex);
  // Programs without a caller that refreshes (the self-test) see the
  // environment as it is now.
  if (!store.refreshed_by_caller) store.values = read_environment();
  return store.values;
}

// ---------------------------------------------------------------- runtime API

cudaError_t cudaGetDeviceCount(int* count) {
  if (count == nullptr) return fail(cudaErrorInvalidValue);
  int n = device_count();
  if (n < 1) {
    *count = 0;
    return fail(cudaErrorNoDevice);
  }
  *count = n;
  return cudaSuccess;
}

cudaError_t cudaSetDevice(int device) {
  int n = device_count();
  if (n < 1) return fail(cudaErrorNoDevice);
  if (device < 0 || device >= n) return fail(cudaErrorInvalidDevice);
  current_device = device;
  return cudaSuccess;
}

cudaError_t cudaGetDevice(int* device) {
  if (device == nullptr) return fail(cudaErrorInvalidValue);
  *device = current_device;
  return cudaSuccess;
}

cudaError_t cudaMalloc(void** ptr, size_t bytes) {
  if (ptr == nullptr) return fail(cudaErrorInvalidValue);
  *ptr = nullptr;
  if (bytes == 0) return cudaSuccess;
  std::lock_guard<std::mutex> lock(memory_mutex);
  unsigned long long& used = used_bytes[current_device];
  unsigned long long limit = memory_limit();
  if (bytes > limit || used > limit - bytes) return fail(cudaErrorMemoryAllocation);
  size_t rounded = (bytes + 255) & ~static_cast<size_t>(255);
  if (rounded < bytes) return fail(cudaErrorMemoryAllocation);
  void* p = std::aligned_alloc(256, rounded);
  if (p == nullptr) return fail(cudaErrorMemoryAllocation);
  allocations[reinterpret_cast<uintptr_t>(p)] = Allocation{bytes, current_device};
  used += bytes;
  *ptr = p;
  return cudaSuccess;
}

cudaError_t cudaFree(void* ptr) {
  if (ptr == nullptr) return cudaSuccess;
  std::lock_guard<std::mutex> lock(memory_mutex);
  auto it = allocations.find(reinterpret_cast<uintptr_t>(ptr));
  if (it == allocations.end()) return fail(cudaErrorInvalidValue);
  used_bytes[it->second.device] -= it->second.bytes;
  allocations.erase(it);
  std::free(ptr);
  return cudaSuccess;
}

cudaError_t cudaMemset(void* ptr, int value, size_t bytes) {
  {
    std::lock_guard<std::mutex> lock(memory_mutex);
    if (bytes > 0 && find_device_range(ptr, bytes) == nullptr) return fail(cudaErrorInvalidValue);
  }
  if (bytes > 0) std::memset(ptr, value, bytes);
  return cudaSuccess;
}

cudaError_t cudaMemsetAsync(void* ptr, int value, size_t bytes, cudaStream_t stream) {
  if (stream != nullptr) return fail(cudaErrorInvalidResourceHandle);
  return cudaMemset(ptr, value, bytes);
}

cudaError_t cudaMemcpy(void* dst, const void* src, size_t bytes, cudaMemcpyKind kind) {
  if (kind == cudaMemcpyDefault) {
    bool d = is_device_pointer(dst), s = is_device_pointer(src);
    kind = d ? (s ? cudaMemcpyDeviceToDevice : cudaMemcpyHostToDevice)
             : (s ? cudaMemcpyDeviceToHost : cudaMemcpyHostToHost);
  }
  if (kind < cudaMemcpyHostToHost || kind > cudaMemcpyDeviceToDevice) return fail(cudaErrorInvalidMemcpyDirection);
  if (bytes == 0) return cudaSuccess;
  if (dst == nullptr || src == nullptr) return fail(cudaErrorInvalidValue);
  {
    std::lock_guard<std::mutex> lock(memory_mutex);
    bool dst_dev = kind == cudaMemcpyHostToDevice || kind == cudaMemcpyDeviceToDevice;
    bool src_dev = kind == cudaMemcpyDeviceToHost || kind == cudaMemcpyDeviceToDevice;
    if (dst_dev && find_device_range(dst, bytes) == nullptr) return fail(cudaErrorInvalidValue);
    if (src_dev && find_device_range(src, bytes) == nullptr) return fail(cudaErrorInvalidValue);
  }
  std::memmove(dst, src, bytes);
  return cudaSuccess;
}

cudaError_t cudaMemcpyAsync(void* dst, const void* src, size_t bytes, cudaMemcpyKind kind, cudaStream_t stream) {
  if (stream != nullptr) return fail(cudaErrorInvalidResourceHandle);
  return cudaMemcpy(dst, src, bytes, kind);
}

cudaError_t cudaHostRegister(void* ptr, size_t bytes, unsigned int flags) {
  if (ptr == nullptr || bytes == 0 || flags != 0) return fail(cudaErrorInvalidValue);
  // Lets tests exercise callers' handling of memory that cannot be page-locked.
  if (hostcuda::settings().host_register_fails) return fail(cudaErrorInvalidValue);
  std::lock_guard<std::mutex> lock(memory_mutex);
  uintptr_t a = reinterpret_cast<uintptr_t>(ptr);
  for (const auto& r : registered) {
    if (a < r.first + r.second && r.first < a + bytes) return fail(cudaErrorHostMemoryAlreadyRegistered);
  }
  registered[a] = bytes;
  return cudaSuccess;
}

cudaError_t cudaHostUnregister(void* ptr) {
  std::lock_guard<std::mutex> lock(memory_mutex);
  auto it = registered.find(reinterpret_cast<uintptr_t>(ptr));
  if (it == registered.end()) return fail(cudaErrorHostMemoryNotRegistered);
  registered.erase(it);
  return cudaSuccess;
}

cudaError_t cudaStreamSynchronize(cudaStream_t stream) {
  if (stream != nullptr) return fail(cudaErrorInvalidResourceHandle);
  return cudaSuccess;
}

cudaError_t cudaDeviceSynchronize() { return cudaSuccess; }

cudaError_t cudaGetLastError() {
  cudaError_t e = last_error;
  last_error = cudaSuccess;
  return e;
}

cudaError_t cudaPeekAtLastError() { return last_error; }

const char* cudaGetErrorString(cudaError_t error) { return error_string(error); }
const char* cudaGetErrorName(cudaError_t error) { return error_name(error); }
