// The grid executor: a launch's checks, the probe that tells barrier kernels
// from plain ones, and the pool of worker threads that share out the blocks.
#include "hostcuda/hostcuda.h"
#include "hostcuda/internal.h"
#include "hostcuda/trace.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using hostcuda::detail::GridBody;
using hostcuda::internal::defer_enabled;
using hostcuda::internal::enqueue_launch;
using hostcuda::internal::execute_grid;
using hostcuda::internal::fail;
using hostcuda::internal::next_launch_fails;
using hostcuda::internal::run_block_fibers;
using hostcuda::internal::sticky_error;

thread_local std::vector<unsigned char> dynamic_shared;

struct GridJob {
  GridBody body;
  dim3 grid;
  dim3 block;
  size_t shared_bytes;
  bool fibers;
  unsigned long long blocks;
  unsigned long long chunk;  // blocks claimed at a time
  std::atomic<unsigned long long> next{0};
  std::atomic<bool> failed{false};
};

// The job whose blocks the calling OS thread is running, if any.
thread_local GridJob* running_job = nullptr;

unsigned block_threads(const GridJob& job) { return job.block.x * job.block.y * job.block.z; }

// Makes the calling OS thread ready to run blocks of `job`.
void enter_grid(GridJob& job) {
  running_job = &job;
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
    if (job.failed.load(std::memory_order_relaxed)) break;
    const unsigned long long first = job.next.fetch_add(job.chunk, std::memory_order_relaxed);
    if (first >= job.blocks) break;
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
  running_job = nullptr;
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
    const unsigned helpers = static_cast<unsigned>(std::min<unsigned long long>(workers_, left > 0 ? left - 1 : 0));
    job.chunk = left > 0 ? left : 1;
    // One-thread blocks come from kernels with barriers launched at CPU
    // geometry: each walks a whole tile, so it counts as a GPU block's work.
    if (helpers == 0 || job.blocks * (threads == 1 ? 128 : threads) < 4096) {
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
    // From the snapshot, not the environment: the pool may start in a call
    // that runs without the interpreter lock while Python writes os.environ.
    const hostcuda::Settings switches = hostcuda::settings();
    const long long n = std::max(1ll, switches.threads);
    spin_ = switches.spin;
    workers_ = static_cast<unsigned>(n - 1);
    for (unsigned i = 0; i < workers_; ++i) std::thread([this] { loop(); }).detach();
    // Each worker's own set-up (its stack, a sanitizer's per-thread state) is
    // done before the first grid returns, not at some later moment when the
    // caller may have capped its address space.
    std::unique_lock<std::mutex> lock(mutex_);
    done_cv_.wait(lock, [this] { return started_ == workers_; });
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
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++started_;
    }
    done_cv_.notify_all();
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
      if (pending_.fetch_sub(1, std::memory_order_seq_cst) == 1 && launcher_sleeping_.load(std::memory_order_seq_cst)) {
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
  unsigned started_ = 0;  // workers that have begun their loop; under mutex_
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

}  // namespace

void* hostcuda::dynamic_shared_memory() { return dynamic_shared.data(); }

void hostcuda::detail::run_grid(const void* kernel, const char* signature, dim3 grid, dim3 block, size_t shared_bytes,
                                cudaStream_t stream, const GridBody& body) {
  const bool defer = defer_enabled();
  if (defer) {
    // A device whose queue met a fault takes no more work.
    const cudaError_t sticky = sticky_error(hostcuda::internal::current_device());
    if (sticky != cudaSuccess) {
      fail(sticky);
      return;
    }
  }
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
  trace_launch(kernel, signature, grid, block, shared_bytes);
  if (next_launch_fails()) {
    fail(cudaErrorLaunchFailure);
    return;
  }
  if (defer) {
    enqueue_launch(kernel, grid, block, shared_bytes, body);
    return;
  }
  if (!execute_grid(grid, block, shared_bytes, body)) fail(cudaErrorLaunchFailure);
}

bool hostcuda::internal::execute_grid(dim3 grid, dim3 block, size_t shared_bytes, const GridBody& body) {
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
  if (block_threads(job) == 1) {
    // A block of one thread never waits at a barrier: no fibers, no probe.
    job.fibers = false;
    body.threads(body.context, 0);
  } else {
    job.fibers = run_block_fibers(body, block_threads(job), true);
    if (!job.fibers) body.threads(body.context, 1);
  }
  if (!job.failed.load(std::memory_order_relaxed)) WorkerPool::instance().run(job);
  running_job = nullptr;
  // Helpers that ran blocks are done, so their failures are visible here.
  return !job.failed.load(std::memory_order_relaxed);
}

void hostcuda::internal::fail_launch(const char* diagnostic) {
  GridJob* job = running_job;
  if (job == nullptr) {
    std::fprintf(stderr, "%s\n", diagnostic);
    fail(cudaErrorLaunchFailure);
    return;
  }
  if (!job->failed.exchange(true, std::memory_order_relaxed)) std::fprintf(stderr, "%s\n", diagnostic);
}
