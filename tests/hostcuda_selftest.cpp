// Self-test of the CPU emulation of the CUDA runtime and cuBLAS (host backend
// only). Each case prints PASS/FAIL; the last line is "N passed, M failed" and
// the exit status is non-zero when any case failed.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/block_runs.h"
#include "common/cuda_api.h"
#include "common/cuda_check.h"
#include "hostcuda/hostcublas.h"

namespace {

int case_failures = 0;

#define CHECK(cond)                                                   \
  do {                                                                \
    if (!(cond)) {                                                    \
      std::printf("  check failed (line %d): %s\n", __LINE__, #cond); \
      ++case_failures;                                                \
    }                                                                 \
  } while (0)

#define CHECK_ERR(expr, expected)                                                                                     \
  do {                                                                                                                \
    cudaError_t got_ = (expr);                                                                                        \
    if (got_ != (expected)) {                                                                                         \
      std::printf("  check failed (line %d): %s returned %s, expected %s\n", __LINE__, #expr, cudaGetErrorName(got_), \
                  cudaGetErrorName(expected));                                                                        \
      ++case_failures;                                                                                                \
    }                                                                                                                 \
  } while (0)

// Sets an emulation switch for one case and restores the previous value.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = std::getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (had_) {
      setenv(name_, old_.c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  bool had_ = false;
  std::string old_;
};

template <typename T>
T* device_alloc(size_t count) {
  T* p = nullptr;
  if (cudaMalloc(&p, count * sizeof(T)) != cudaSuccess) {
    std::printf("  cudaMalloc of %zu bytes failed\n", count * sizeof(T));
    std::abort();
  }
  return p;
}

template <typename T>
std::vector<T> fetch(const T* d, size_t count) {
  std::vector<T> h(count);
  CHECK_ERR(cudaMemcpy(h.data(), d, count * sizeof(T), cudaMemcpyDeviceToHost), cudaSuccess);
  return h;
}

template <typename T>
void put(T* d, const std::vector<T>& h) {
  CHECK_ERR(cudaMemcpy(d, h.data(), h.size() * sizeof(T), cudaMemcpyHostToDevice), cudaSuccess);
}

struct ChildResult {
  int status = 0;
  std::string err;  // everything the child wrote to stderr
};

// Runs `body` in a fork()ed child, so that a case which takes the process
// down fails alone; the child exits with what `body` returns (0: all well).
template <typename Body>
ChildResult run_in_child(Body body) {
  ChildResult result;
  int pipe_fd[2];
  CHECK(pipe(pipe_fd) == 0);
  std::fflush(stdout);
  pid_t child = fork();
  if (child == 0) {
    close(pipe_fd[0]);
    dup2(pipe_fd[1], 2);
    alarm(60);
    _exit(body());
  }
  close(pipe_fd[1]);
  char buf[512];
  ssize_t r;
  while ((r = read(pipe_fd[0], buf, sizeof buf)) > 0) result.err.append(buf, static_cast<size_t>(r));
  close(pipe_fd[0]);
  CHECK(waitpid(child, &result.status, 0) == child);
  return result;
}

// The child exited with status 0; otherwise says how it ended.
bool child_passed(const ChildResult& r) {
  if (WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0) return true;
  const std::string head = r.err.substr(0, 2000);
  if (WIFEXITED(r.status)) {
    std::printf("  child exited with %d, stderr: %s\n", WEXITSTATUS(r.status), head.c_str());
  } else {
    std::printf("  child ended by signal %d, stderr: %s\n", WTERMSIG(r.status), head.c_str());
  }
  return false;
}

size_t count_of(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
  return n;
}

// ---------------------------------------------------------------- kernels

// 256 threads per block, no dynamic shared memory: one partial sum per block.
__global__ void block_sum_kernel(const double* in, double* out) {
  __shared__ double buf[256];
  const unsigned t = threadIdx.x;
  buf[t] = in[blockIdx.x * blockDim.x + t];
  __syncthreads();
  for (unsigned s = blockDim.x / 2; s > 0; s >>= 1) {
    if (t < s) buf[t] += buf[t + s];
    __syncthreads();
  }
  if (t == 0) out[blockIdx.x] = buf[0];
}

// Any block size: each block runs a Walsh-Hadamard transform on its tile of
// 256 integers in dynamic shared memory, its threads striding by blockDim
// over the pairs of every round, one barrier per round.
__global__ void tile_transform_kernel(const long long* in, long long* out) {
  QM_DYNAMIC_SHARED(long long, tile);
  const unsigned size = 256, base = blockIdx.x * size;
  for (unsigned l = threadIdx.x; l < size; l += blockDim.x) tile[l] = in[base + l];
  __syncthreads();
  for (unsigned bit = 1; bit < size; bit <<= 1) {
    for (unsigned i = threadIdx.x; i < size / 2; i += blockDim.x) {
      const unsigned j = ((i & ~(bit - 1)) << 1) | (i & (bit - 1));
      const long long a = tile[j], b = tile[j | bit];
      tile[j] = a + b;
      tile[j | bit] = a - b;
    }
    __syncthreads();
  }
  for (unsigned l = threadIdx.x; l < size; l += blockDim.x) out[base + l] = tile[l];
}

// One block: every thread walks its share of `runs` runs of `length` items,
// counting each visit and noting the visitor, so a test sees which thread
// took which item and whether any item was missed or taken twice.
__global__ void run_share_kernel(unsigned long long* visits, unsigned long long* visitor, unsigned runs,
                                 unsigned length) {
  const quillmarch::RunShare share = quillmarch::share_runs(length, threadIdx.x, blockDim.x);
  if (share.idle) return;
  for (unsigned p = share.first_run; p < runs; p += share.run_step)
    quillmarch::for_each_strided(share.first, length, share.stride, [&](unsigned o) {
      atomicAdd(&visits[p * length + o], 1ull);
      visitor[p * length + o] = threadIdx.x;
    });
}

// 128 threads per block: every read crosses a barrier from another thread's write.
__global__ void rotate_kernel(int* out) {
  __shared__ int sh[128];
  const unsigned t = threadIdx.x, n = blockDim.x;
  sh[t] = static_cast<int>(t * 3 + blockIdx.x);
  __syncthreads();
  int v = sh[(t + 1) % n];
  __syncthreads();
  sh[t] = v;
  __syncthreads();
  out[blockIdx.x * n + t] = sh[(t + 5) % n];
}

// One warp per block: lanes exchange values across a warp barrier.
__global__ void warp_exchange_kernel(int* out) {
  __shared__ int sh[32];
  const unsigned lane = threadIdx.x;
  sh[lane] = static_cast<int>(blockIdx.x * 32 + lane);
  __syncwarp();
  out[blockIdx.x * 32 + lane] = sh[31 - lane];
}

// 64 threads per block. Odd threads leave at once, threads 2 mod 4 after the
// first barrier, thread 0 of every block but block 0 at once; the rest go on
// through more barriers, which must count the exited threads as arrived.
__global__ void partial_exit_kernel(const double* in, double* out) {
  __shared__ double sh[64];
  const unsigned t = threadIdx.x;
  if (t % 2 == 1) return;
  if (t == 0 && blockIdx.x != 0) return;
  sh[t] = in[blockIdx.x * blockDim.x + t];
  __syncthreads();
  if (t % 4 == 2) return;
  __syncthreads();
  __syncthreads();
  if (t == blockDim.x - 4) {
    double s = 0;
    for (unsigned i = (blockIdx.x == 0 ? 0 : 2); i < blockDim.x; i += 2) s += sh[i];
    out[blockIdx.x] = s;
  }
}

__global__ void thread0_exits_kernel(int* out) {
  if (threadIdx.x == 0) return;
  out[threadIdx.x] = static_cast<int>(threadIdx.x);
  __syncthreads();
  out[threadIdx.x] += out[(threadIdx.x % (blockDim.x - 1)) + 1];
}

// Dynamic shared memory of `words_per_thread * blockDim.x` unsigned words.
__global__ void dynamic_shared_kernel(unsigned* out, unsigned long long* misaligned, unsigned words_per_thread) {
  QM_DYNAMIC_SHARED(unsigned, sh);
  const unsigned t = threadIdx.x, n = blockDim.x;
  if (reinterpret_cast<uintptr_t>(sh) % 16 != 0) atomicAdd(misaligned, 1ull);
  for (unsigned w = 0; w < words_per_thread; ++w) sh[w * n + t] = blockIdx.x * 100000u + w * 1000u + t;
  __syncthreads();
  unsigned acc = 0;
  for (unsigned w = 0; w < words_per_thread; ++w) acc += sh[w * n + (n - 1 - t)];
  out[blockIdx.x * n + t] = acc;
}

__global__ void atomic_kernel(double* ones, double* halves, double* olds, float* fsum, unsigned long long* usum) {
  const unsigned long long i = static_cast<unsigned long long>(blockIdx.x) * blockDim.x + threadIdx.x;
  olds[i] = atomicAdd(ones, 1.0);
  atomicAdd(halves, 0.5 * static_cast<double>(i % 7));
  atomicAdd(fsum, 1.0f);
  atomicAdd(usum, i);
}

struct IndexRecord {
  unsigned bx, by, bz, tx, ty, tz, gx, gy, gz, dx, dy, dz;
};

__global__ void index_kernel(IndexRecord* out) {
  const unsigned long long block =
      (static_cast<unsigned long long>(blockIdx.z) * gridDim.y + blockIdx.y) * gridDim.x + blockIdx.x;
  const unsigned thread = (threadIdx.z * blockDim.y + threadIdx.y) * blockDim.x + threadIdx.x;
  const unsigned long long i = block * (blockDim.x * blockDim.y * blockDim.z) + thread;
  out[i] = IndexRecord{blockIdx.x, blockIdx.y, blockIdx.z, threadIdx.x, threadIdx.y, threadIdx.z,
                       gridDim.x,  gridDim.y,  gridDim.z,  blockDim.x,  blockDim.y,  blockDim.z};
}

// Matrix-shaped 2-D launch: one thread per element of a rows x cols matrix.
__global__ void matrix_index_kernel(int* m, unsigned rows, unsigned cols) {
  const unsigned col = blockIdx.x * blockDim.x + threadIdx.x;
  const unsigned row = blockIdx.y * blockDim.y + threadIdx.y;
  if (row < rows && col < cols) m[row * cols + col] = static_cast<int>(row * 1000 + col);
}

__global__ void param_copy_kernel(int base, int* out) {
  base += static_cast<int>(threadIdx.x);
  out[threadIdx.x] = base;
}

__global__ void flag_kernel(int* flag) { *flag = 1; }

std::thread::id launching_thread;

// Blocks run by the launching thread are slow and have no barrier, so the
// barrier probe finds none and every block runs as a plain loop; blocks run
// by a worker count themselves in `on_workers` and reach a barrier.
__global__ void barrier_on_workers_kernel(unsigned long long* on_workers) {
  if (std::this_thread::get_id() == launching_thread) {
    if (threadIdx.x == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return;
  }
  if (threadIdx.x == 0) atomicAdd(on_workers, 1ull);
  __syncthreads();
}

__global__ void fill_kernel(unsigned long long* out, unsigned long long scale, unsigned long long offset) {
  const unsigned long long i = static_cast<unsigned long long>(blockIdx.x) * blockDim.x + threadIdx.x;
  out[i] = i * scale + offset;
}

// Address of a local variable of each emulated thread: threads run as a plain
// loop share the stack of the OS thread running their block, fibers each have
// their own.
__global__ void stack_address_kernel(uintptr_t* out) {
  volatile int local = 0;
  out[blockIdx.x * blockDim.x + threadIdx.x] = reinterpret_cast<uintptr_t>(&local);
}

__global__ void stack_address_barrier_kernel(uintptr_t* out) {
  volatile int local = 0;
  __syncthreads();
  out[blockIdx.x * blockDim.x + threadIdx.x] = reinterpret_cast<uintptr_t>(&local);
}

// Threads past `count`, and those whose indices sum to a multiple of 3, leave
// early; the others write their linear index in the grid.
__global__ void early_return_kernel(unsigned* out, unsigned count) {
  const unsigned per_block = blockDim.x * blockDim.y * blockDim.z;
  const unsigned in_block = (threadIdx.z * blockDim.y + threadIdx.y) * blockDim.x + threadIdx.x;
  const unsigned i = (blockIdx.y * gridDim.x + blockIdx.x) * per_block + in_block;
  if (i >= count) return;
  if ((threadIdx.x + threadIdx.y + threadIdx.z) % 3 == 0) return;
  out[i] = i;
}

// Every thread keeps integer and floating-point state in locals and in the
// frames of a recursion while all threads of its block pass barriers between
// steps, so a fiber switch that lost a register or a frame shows up.
__device__ uint64_t churn_step(uint64_t h, double& a, int depth) {
  if (depth == 0) {
    __syncthreads();
    return h * 6364136223846793005ull + 1442695040888963407ull;
  }
  const double keep = a * 0.75 + static_cast<double>(depth);
  const uint64_t next = churn_step(h ^ static_cast<uint64_t>(depth), a, depth - 1);
  a = a * 1.0000001 + keep / (depth + 1);
  return next + static_cast<uint64_t>(keep);
}

__global__ void locals_survive_barriers_kernel(double* out) {
  const unsigned t = blockIdx.x * blockDim.x + threadIdx.x;
  double a = 0.5 * t;
  uint64_t h = t * 0x9E3779B97F4A7C15ull;
  for (int i = 0; i < 12; ++i) h = churn_step(h, a, i % 5);
  out[t] = a + static_cast<double>(h & 0xffffff);
}

// ---------------------------------------------------------------- cases

void test_barrier_tree_reduction() {
  const unsigned blocks = 64, threads = 256;
  std::vector<double> h(blocks * threads);
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> dist(-1000, 1000);
  for (double& v : h) v = dist(rng);
  double* in = device_alloc<double>(h.size());
  double* out = device_alloc<double>(blocks);
  put(in, h);
  quillmarch::launch<block_sum_kernel>(dim3(blocks), dim3(threads), 0, nullptr, in, out);
  CHECK_ERR(cudaGetLastError(), cudaSuccess);
  std::vector<double> got = fetch(out, blocks);
  for (unsigned b = 0; b < blocks; ++b) {
    double expect = 0;
    for (unsigned t = 0; t < threads; ++t) expect += h[b * threads + t];
    CHECK(got[b] == expect);
  }
  cudaFree(in);
  cudaFree(out);
}

void test_barrier_kernel_at_any_block_size() {
  const unsigned blocks = 24, size = 256;
  std::vector<long long> h(blocks * size);
  std::mt19937 rng(5);
  std::uniform_int_distribution<int> dist(-50, 50);
  for (long long& v : h) v = dist(rng);
  std::vector<long long> expect(h.size());
  for (unsigned b = 0; b < blocks; ++b)
    for (unsigned r = 0; r < size; ++r) {
      long long acc = 0;
      for (unsigned c = 0; c < size; ++c) acc += (__builtin_popcount(r & c) % 2 ? -1 : 1) * h[b * size + c];
      expect[b * size + r] = acc;
    }
  long long* in = device_alloc<long long>(h.size());
  long long* out = device_alloc<long long>(h.size());
  put(in, h);
  for (unsigned threads : {1u, 32u, 128u}) {
    cudaMemset(out, 0, h.size() * sizeof(long long));
    quillmarch::launch<tile_transform_kernel>(dim3(blocks), dim3(threads), size * sizeof(long long), nullptr, in, out);
    CHECK_ERR(cudaDeviceSynchronize(), cudaSuccess);
    CHECK_ERR(cudaGetLastError(), cudaSuccess);
    CHECK(fetch(out, h.size()) == expect);
  }
  cudaFree(in);
  cudaFree(out);
}

// Runs shared by any number of threads: each item once, and for a power-of-two
// block the same thread as handing item i to thread i % blockDim.x.
void test_run_share_covers_each_item_once() {
  const unsigned items = 1024;
  unsigned long long* visits = device_alloc<unsigned long long>(items);
  unsigned long long* visitor = device_alloc<unsigned long long>(items);
  for (unsigned length : {1u, 2u, 4u, 64u, 256u, 1024u})
    for (unsigned threads : {1u, 3u, 32u, 96u, 128u, 256u}) {
      cudaMemset(visits, 0, items * sizeof(unsigned long long));
      quillmarch::launch<run_share_kernel>(dim3(1), dim3(threads), 0, nullptr, visits, visitor, items / length, length);
      CHECK_ERR(cudaDeviceSynchronize(), cudaSuccess);
      const std::vector<unsigned long long> count = fetch(visits, items), who = fetch(visitor, items);
      CHECK(std::count(count.begin(), count.end(), 1ull) == static_cast<long>(items));
      if ((threads & (threads - 1)) == 0) {
        unsigned moved = 0;
        for (unsigned i = 0; i < items; ++i) moved += who[i] != i % threads;
        CHECK(moved == 0);
      }
    }
  cudaFree(visits);
  cudaFree(visitor);
}

void test_barrier_orders_shared_writes() {
  const unsigned blocks = 40, threads = 128;
  int* out = device_alloc<int>(blocks * threads);
  quillmarch::launch<rotate_kernel>(dim3(blocks), dim3(threads), 0, nullptr, out);
  CHECK_ERR(cudaGetLastError(), cudaSuccess);
  std::vector<int> got = fetch(out, blocks * threads);
  int wrong = 0;
  for (unsigned b = 0; b < blocks; ++b)
    for (unsigned t = 0; t < threads; ++t)
      if (got[b * threads + t] != static_cast<int>(((t + 6) % threads) * 3 + b)) ++wrong;
  CHECK(wrong == 0);
  cudaFree(out);

  out = device_alloc<int>(blocks * 32);
  quillmarch::launch<warp_exchange_kernel>(dim3(blocks), dim3(32), 0, nullptr, out);
  CHECK_ERR(cudaGetLastError(), cudaSuccess);
  got = fetch(out, blocks * 32);
  wrong = 0;
  for (unsigned b = 0; b < blocks; ++b)
    for (unsigned lane = 0; lane < 32; ++lane)
      if (got[b * 32 + lane] != static_cast<int>(b * 32 + 31 - lane)) ++wrong;
  CHECK(wrong == 0);
  cudaFree(out);
}

void test_exited_threads_count_as_arrived() {
  const unsigned blocks = 80, threads = 64;
  std::vector<double> h(blocks * threads);
  for (size_t i = 0; i < h.size(); ++i) h[i] = static_cast<double>(i % 97);
  double* in = device_alloc<double>(h.size());
  double* out = device_alloc<double>(blocks);
  put(in, h);
  quillmarch::launch<partial_exit_kernel>(dim3(blocks), dim3(threads), 0, nullptr, in, out);
  CHECK_ERR(cudaGetLastError(), cudaSuccess);
  std::vector<double> got = fetch(out, blocks);
  for (unsigned b = 0; b < blocks; ++b) {
    double expect = 0;
    for (unsigned t = (b == 0 ? 0 : 2); t < threads; t += 2) expect += h[b * threads + t];
    CHECK(got[b] == expect);
  }
  cudaFree(in);
  cudaFree(out);
}

const char kBarrierDiagnostic[] =
    "hostcuda: __syncthreads() reached by a thread other than thread 0 of block 0 in a kernel whose first thread "
    "finished without a barrier; barriers must be reached by every thread\n";

// The sums of block_sum_kernel over `blocks` blocks of 256 known values match
// the host's; 0 when they do.
int block_sums_are_right(unsigned blocks) {
  const unsigned threads = 256;
  std::vector<double> h(blocks * threads);
  for (size_t i = 0; i < h.size(); ++i) h[i] = static_cast<double>((i * 7919) % 1000) - 500.0;
  double* in = nullptr;
  double* out = nullptr;
  if (cudaMalloc(&in, h.size() * sizeof(double)) != cudaSuccess) return 20;
  if (cudaMalloc(&out, blocks * sizeof(double)) != cudaSuccess) return 21;
  cudaMemcpy(in, h.data(), h.size() * sizeof(double), cudaMemcpyHostToDevice);
  quillmarch::launch<block_sum_kernel>(dim3(blocks), dim3(threads), 0, nullptr, in, out);
  if (cudaGetLastError() != cudaSuccess) return 22;
  std::vector<double> got(blocks);
  cudaMemcpy(got.data(), out, blocks * sizeof(double), cudaMemcpyDeviceToHost);
  cudaFree(in);
  cudaFree(out);
  for (unsigned b = 0; b < blocks; ++b) {
    double expect = 0;
    for (unsigned t = 0; t < threads; ++t) expect += h[b * threads + t];
    if (got[b] != expect) return 23;
  }
  return 0;
}

// A barrier the plain-loop path cannot honour (thread 0 of block 0 left
// before it, or only blocks run by workers have one) fails the launch with the
// runtime's launch failure and one diagnostic per launch, instead of ending
// the process; the error is cleared by reading it and the next launches run.
void test_barrier_after_thread0_exit_fails_the_launch() {
  const ChildResult r = run_in_child([] {
    const unsigned threads = 64;
    int* out = nullptr;
    if (cudaMalloc(&out, threads * sizeof(int)) != cudaSuccess) return 3;
    quillmarch::launch<thread0_exits_kernel>(dim3(1), dim3(threads), 0, nullptr, out);
    // Under HOSTCUDA_DEFER the kernel runs, and fails, here; otherwise the
    // error is already set and the call leaves it.
    cudaDeviceSynchronize();
    if (cudaGetLastError() != cudaErrorLaunchFailure) return 4;
    if (cudaGetLastError() != cudaSuccess) return 5;
    // A failure on a worker reaches the launching thread. A launch whose
    // blocks all stayed on the launching thread met no barrier and is retried.
    unsigned long long* on_workers = nullptr;
    if (cudaMalloc(&on_workers, sizeof(unsigned long long)) != cudaSuccess) return 3;
    launching_thread = std::this_thread::get_id();
    int failed_on_workers = 0;
    for (int attempt = 0; attempt < 100 && failed_on_workers < 8; ++attempt) {
      cudaMemset(on_workers, 0, sizeof(unsigned long long));
      quillmarch::launch<barrier_on_workers_kernel>(dim3(64), dim3(256), 0, nullptr, on_workers);
      cudaDeviceSynchronize();
      const cudaError_t peeked = cudaPeekAtLastError();
      const cudaError_t got = cudaGetLastError();
      unsigned long long ran = 0;
      cudaMemcpy(&ran, on_workers, sizeof ran, cudaMemcpyDeviceToHost);
      if (ran == 0) {
        if (got != cudaSuccess) return 6;
        continue;
      }
      if (peeked != cudaErrorLaunchFailure || got != cudaErrorLaunchFailure) return 7;
      ++failed_on_workers;
    }
    if (failed_on_workers < 8) return 8;
    cudaFree(on_workers);
    // Outside any launch the calling thread's own error is set.
    __syncthreads();
    if (cudaGetLastError() != cudaErrorLaunchFailure) return 9;
    if (int bad = block_sums_are_right(3)) return bad;
    if (int bad = block_sums_are_right(64)) return bad + 10;
    return 0;
  });
  CHECK(child_passed(r));
  CHECK(count_of(r.err, kBarrierDiagnostic) == 10);
  CHECK(count_of(r.err, "hostcuda:") == 10);
}

// Bytes of address space the process holds now.
unsigned long long address_space_bytes() {
  std::ifstream statm("/proc/self/statm");
  unsigned long long pages = 0;
  statm >> pages;
  return pages * static_cast<unsigned long long>(sysconf(_SC_PAGESIZE));
}

// With the address space capped, fiber stacks cannot be mapped: the launch
// fails with the runtime's launch failure and one diagnostic per launch, both
// in the barrier probe (nothing may run then) and half way through barrier
// blocks; once the cap is lifted the same thread launches again.
void test_fiber_stack_exhaustion_fails_the_launch() {
  const ChildResult r = run_in_child([] {
    unsigned long long* warm = nullptr;
    if (cudaMalloc(&warm, 64 * 256 * sizeof(unsigned long long)) != cudaSuccess) return 3;
    // Starts the child's worker pool while threads can still be created.
    quillmarch::launch<fill_kernel>(dim3(64), dim3(256), 0, nullptr, warm, 1ull, 0ull);
    if (cudaDeviceSynchronize() != cudaSuccess || cudaGetLastError() != cudaSuccess) return 4;
    int code = 0;
    // A new thread has no pooled fiber stacks.
    std::thread([&code] {
      int* flag = nullptr;
      double* in = nullptr;
      double* out = nullptr;
      if (cudaMalloc(&flag, sizeof(int)) != cudaSuccess || cudaMalloc(&in, 32 * 256 * sizeof(double)) != cudaSuccess ||
          cudaMalloc(&out, 32 * sizeof(double)) != cudaSuccess) {
        code = 5;
        return;
      }
      cudaMemset(flag, 0, sizeof(int));
      cudaMemset(in, 0, 32 * 256 * sizeof(double));
      rlimit saved{};
      if (getrlimit(RLIMIT_AS, &saved) != 0) {
        code = 6;
        return;
      }
      rlimit capped = saved;
      capped.rlim_cur = address_space_bytes();
      if (setrlimit(RLIMIT_AS, &capped) != 0) {
        code = 7;
        return;
      }
      // Two threads: a block of one runs without a fiber.
      quillmarch::launch<flag_kernel>(dim3(1), dim3(2), 0, nullptr, flag);
      // Deferred launches run here, still under the cap.
      cudaDeviceSynchronize();
      const cudaError_t probe = cudaGetLastError();
      // Room for a few dozen stacks; each block of 256 threads wants 256.
      capped.rlim_cur = address_space_bytes() + (8ull << 20);
      setrlimit(RLIMIT_AS, &capped);
      quillmarch::launch<block_sum_kernel>(dim3(32), dim3(256), 0, nullptr, in, out);
      cudaDeviceSynchronize();
      const cudaError_t blocks = cudaGetLastError();
      setrlimit(RLIMIT_AS, &saved);
      int h = -1;
      cudaMemcpy(&h, flag, sizeof(int), cudaMemcpyDeviceToHost);
      if (probe != cudaErrorLaunchFailure) {
        code = 8;
      } else if (h != 0) {
        code = 9;
      } else if (blocks != cudaErrorLaunchFailure) {
        code = 10;
      } else if (cudaGetLastError() != cudaSuccess) {
        code = 11;
      } else {
        quillmarch::launch<flag_kernel>(dim3(1), dim3(1), 0, nullptr, flag);
        cudaMemcpy(&h, flag, sizeof(int), cudaMemcpyDeviceToHost);
        if (cudaGetLastError() != cudaSuccess || h != 1) code = 12;
        if (code == 0) code = block_sums_are_right(32);
      }
    }).join();
    if (code != 0) return code;
    return block_sums_are_right(32);
  });
  CHECK(child_passed(r));
  CHECK(count_of(r.err, "hostcuda: cannot map a fiber stack\n") == 2);
  CHECK(count_of(r.err, "hostcuda:") == 2);
}

void test_dynamic_shared_memory_per_block() {
  const unsigned blocks = 64, threads = 128;
  unsigned* out = device_alloc<unsigned>(blocks * threads);
  unsigned long long* misaligned = device_alloc<unsigned long long>(1);
  CHECK_ERR(cudaMemset(misaligned, 0, sizeof(unsigned long long)), cudaSuccess);
  // A small then a larger size: the per-block area must grow between launches.
  for (unsigned words : {2u, 24u}) {
    const size_t shared = static_cast<size_t>(words) * threads * sizeof(unsigned);
    quillmarch::launch<dynamic_shared_kernel>(dim3(blocks), dim3(threads), shared, nullptr, out, misaligned, words);
    CHECK_ERR(cudaGetLastError(), cudaSuccess);
    std::vector<unsigned> got = fetch(out, blocks * threads);
    int wrong = 0;
    for (unsigned b = 0; b < blocks; ++b) {
      for (unsigned t = 0; t < threads; ++t) {
        unsigned expect = 0;
        for (unsigned w = 0; w < words; ++w) expect += b * 100000u + w * 1000u + (threads - 1 - t);
        if (got[b * threads + t] != expect) ++wrong;
      }
    }
    CHECK(wrong == 0);
  }
  CHECK(fetch(misaligned, 1)[0] == 0);
  cudaFree(out);
  cudaFree(misaligned);
}

void test_parallel_blocks_are_deterministic() {
  const unsigned blocks = 128, threads = 256;
  std::vector<double> h(blocks * threads);
  std::mt19937_64 rng(5);
  std::normal_distribution<double> dist(0.0, 1.0);
  for (double& v : h) v = dist(rng);
  double* in = device_alloc<double>(h.size());
  double* out = device_alloc<double>(blocks);
  put(in, h);
  std::vector<double> first;
  for (int run = 0; run < 6; ++run) {
    CHECK_ERR(cudaMemset(out, 0, blocks * sizeof(double)), cudaSuccess);
    quillmarch::launch<block_sum_kernel>(dim3(blocks), dim3(threads), 0, nullptr, in, out);
    CHECK_ERR(cudaGetLastError(), cudaSuccess);
    std::vector<double> got = fetch(out, blocks);
    if (run == 0) {
      first = got;
      for (unsigned b = 0; b < blocks; ++b) {
        double plain = 0;
        for (unsigned t = 0; t < threads; ++t) plain += h[b * threads + t];
        CHECK(std::abs(got[b] - plain) < 1e-10);
      }
    } else {
      CHECK(std::memcmp(got.data(), first.data(), blocks * sizeof(double)) == 0);
    }
  }
  cudaFree(in);
  cudaFree(out);
}

void test_atomic_add() {
  const unsigned blocks = 128, threads = 256;
  const unsigned long long n = static_cast<unsigned long long>(blocks) * threads;
  double* ones = device_alloc<double>(1);
  double* halves = device_alloc<double>(1);
  double* olds = device_alloc<double>(n);
  float* fsum = device_alloc<float>(1);
  unsigned long long* usum = device_alloc<unsigned long long>(1);
  CHECK_ERR(cudaMemset(ones, 0, sizeof(double)), cudaSuccess);
  CHECK_ERR(cudaMemset(halves, 0, sizeof(double)), cudaSuccess);
  CHECK_ERR(cudaMemset(fsum, 0, sizeof(float)), cudaSuccess);
  CHECK_ERR(cudaMemset(usum, 0, sizeof(unsigned long long)), cudaSuccess);
  quillmarch::launch<atomic_kernel>(dim3(blocks), dim3(threads), 0, nullptr, ones, halves, olds, fsum, usum);
  CHECK_ERR(cudaGetLastError(), cudaSuccess);
  CHECK(fetch(ones, 1)[0] == static_cast<double>(n));
  double expect_halves = 0;
  for (unsigned long long i = 0; i < n; ++i) expect_halves += 0.5 * static_cast<double>(i % 7);
  CHECK(fetch(halves, 1)[0] == expect_halves);
  CHECK(fetch(fsum, 1)[0] == static_cast<float>(n));
  CHECK(fetch(usum, 1)[0] == n * (n - 1) / 2);
  // Each thread saw a distinct old value: the additions did not interleave.
  std::vector<double> seen = fetch(olds, n);
  std::sort(seen.begin(), seen.end());
  bool permutation = true;
  for (unsigned long long i = 0; i < n; ++i) permutation = permutation && seen[i] == static_cast<double>(i);
  CHECK(permutation);
  cudaFree(ones);
  cudaFree(halves);
  cudaFree(olds);
  cudaFree(fsum);
  cudaFree(usum);
}

void test_grid_and_block_indices() {
  const dim3 grid(5, 3, 2), block(4, 3, 2);
  const unsigned per_block = block.x * block.y * block.z;
  const unsigned total = grid.x * grid.y * grid.z * per_block;
  IndexRecord* out = device_alloc<IndexRecord>(total);
  CHECK_ERR(cudaMemset(out, 0xff, total * sizeof(IndexRecord)), cudaSuccess);
  quillmarch::launch<index_kernel>(grid, block, 0, nullptr, out);
  CHECK_ERR(cudaGetLastError(), cudaSuccess);
  std::vector<IndexRecord> got = fetch(out, total);
  int wrong = 0;
  unsigned i = 0;
  for (unsigned bz = 0; bz < grid.z; ++bz)
    for (unsigned by = 0; by < grid.y; ++by)
      for (unsigned bx = 0; bx < grid.x; ++bx)
        for (unsigned tz = 0; tz < block.z; ++tz)
          for (unsigned ty = 0; ty < block.y; ++ty)
            for (unsigned tx = 0; tx < block.x; ++tx, ++i) {
              const IndexRecord& r = got[i];
              if (r.bx != bx || r.by != by || r.bz != bz || r.tx != tx || r.ty != ty || r.tz != tz || r.gx != grid.x ||
                  r.gy != grid.y || r.gz != grid.z || r.dx != block.x || r.dy != block.y || r.dz != block.z)
                ++wrong;
            }
  CHECK(wrong == 0);
  cudaFree(out);

  // A matrix covered by 16x8 tiles, with partial tiles on both edges.
  const unsigned rows = 70, cols = 100;
  int* m = device_alloc<int>(rows * cols);
  CHECK_ERR(cudaMemset(m, 0xff, rows * cols * sizeof(int)), cudaSuccess);
  const dim3 tile(16, 8);
  quillmarch::launch<matrix_index_kernel>(dim3((cols + tile.x - 1) / tile.x, (rows + tile.y - 1) / tile.y), tile, 0,
                                          nullptr, m, rows, cols);
  CHECK_ERR(cudaGetLastError(), cudaSuccess);
  std::vector<int> hm = fetch(m, rows * cols);
  wrong = 0;
  for (unsigned r = 0; r < rows; ++r)
    for (unsigned c = 0; c < cols; ++c)
      if (hm[r * cols + c] != static_cast<int>(r * 1000 + c)) ++wrong;
  CHECK(wrong == 0);
  cudaFree(m);
}

void test_kernel_parameters_are_per_thread_copies() {
  int* out = device_alloc<int>(64);
  quillmarch::launch<param_copy_kernel>(dim3(1), dim3(64), 0, nullptr, 7, out);
  CHECK_ERR(cudaGetLastError(), cudaSuccess);
  std::vector<int> got = fetch(out, 64);
  for (int t = 0; t < 64; ++t) CHECK(got[t] == 7 + t);
  cudaFree(out);
}

void test_invalid_launch_configuration() {
  int* flag = device_alloc<int>(1);
  struct Bad {
    dim3 grid, block;
    size_t shared;
    cudaError_t error;
  };
  const Bad bad[] = {
      {dim3(1), dim3(2048), 0, cudaErrorInvalidConfiguration},
      {dim3(0), dim3(32), 0, cudaErrorInvalidConfiguration},
      {dim3(1, 0), dim3(32), 0, cudaErrorInvalidConfiguration},
      {dim3(1), dim3(32, 32, 2), 0, cudaErrorInvalidConfiguration},
      {dim3(1), dim3(1, 1, 65), 0, cudaErrorInvalidConfiguration},
      {dim3(1, 65536), dim3(32), 0, cudaErrorInvalidConfiguration},
      {dim3(1), dim3(0), 0, cudaErrorInvalidConfiguration},
      {dim3(1), dim3(32), 48 * 1024 + 1, cudaErrorInvalidValue},
      // 2**32 + 4096 blocks: an empty grid from grid_for, not 4096 blocks.
      {dim3(quillmarch::grid_for((uint64_t{1} << 40) + (uint64_t{1} << 20), 256)), dim3(256), 0,
       cudaErrorInvalidConfiguration},
  };
  CHECK(quillmarch::grid_for(uint64_t{0x7fffffff} * 256, 256) == 0x7fffffffu);
  CHECK(quillmarch::grid_for(uint64_t{0x7fffffff} * 256 + 1, 256) == 0);
  CHECK(quillmarch::grid_for(~uint64_t{0}, 256) == 0);
  CHECK(quillmarch::grid_for(257, 256) == 2);
  for (const Bad& b : bad) {
    CHECK_ERR(cudaMemset(flag, 0, sizeof(int)), cudaSuccess);
    quillmarch::launch<flag_kernel>(b.grid, b.block, b.shared, nullptr, flag);
    // Peeking leaves the error pending; reading clears it.
    CHECK_ERR(cudaPeekAtLastError(), b.error);
    CHECK_ERR(cudaPeekAtLastError(), b.error);
    CHECK_ERR(cudaGetLastError(), b.error);
    CHECK_ERR(cudaGetLastError(), cudaSuccess);
    CHECK_ERR(cudaPeekAtLastError(), cudaSuccess);
    CHECK(fetch(flag, 1)[0] == 0);
  }

  // A later successful launch does not clear a pending error.
  quillmarch::launch<flag_kernel>(dim3(1), dim3(2048), 0, nullptr, flag);
  quillmarch::launch<flag_kernel>(dim3(1), dim3(1024), 48 * 1024, nullptr, flag);
  CHECK(fetch(flag, 1)[0] == 1);
  CHECK_ERR(cudaGetLastError(), cudaErrorInvalidConfiguration);
  CHECK_ERR(cudaGetLastError(), cudaSuccess);

  // The largest legal shapes run.
  CHECK_ERR(cudaMemset(flag, 0, sizeof(int)), cudaSuccess);
  quillmarch::launch<flag_kernel>(dim3(1, 1, 1), dim3(1, 1, 64), 0, nullptr, flag);
  CHECK_ERR(cudaGetLastError(), cudaSuccess);
  CHECK(fetch(flag, 1)[0] == 1);
  cudaFree(flag);
}

void test_error_strings_match_runtime() {
  // Texts of the CUDA runtime's cudaGetErrorString / cudaGetErrorName.
  struct Known {
    cudaError_t code;
    const char* text;
    const char* name;
  };
  const Known known[] = {
      {cudaSuccess, "no error", "cudaSuccess"},
      {cudaErrorInvalidValue, "invalid argument", "cudaErrorInvalidValue"},
      {cudaErrorMemoryAllocation, "out of memory", "cudaErrorMemoryAllocation"},
      {cudaErrorInitializationError, "initialization error", "cudaErrorInitializationError"},
      {cudaErrorInvalidConfiguration, "invalid configuration argument", "cudaErrorInvalidConfiguration"},
      {cudaErrorInvalidDevicePointer, "invalid device pointer", "cudaErrorInvalidDevicePointer"},
      {cudaErrorInvalidMemcpyDirection, "invalid copy direction for memcpy", "cudaErrorInvalidMemcpyDirection"},
      {cudaErrorNoDevice, "no CUDA-capable device is detected", "cudaErrorNoDevice"},
      {cudaErrorInvalidDevice, "invalid device ordinal", "cudaErrorInvalidDevice"},
      {cudaErrorInvalidResourceHandle, "invalid resource handle", "cudaErrorInvalidResourceHandle"},
      {cudaErrorIllegalAddress, "an illegal memory access was encountered", "cudaErrorIllegalAddress"},
      {cudaErrorHostMemoryAlreadyRegistered, "part or all of the requested memory range is already mapped",
       "cudaErrorHostMemoryAlreadyRegistered"},
      {cudaErrorHostMemoryNotRegistered, "pointer does not correspond to a registered memory region",
       "cudaErrorHostMemoryNotRegistered"},
      {cudaErrorLaunchFailure, "unspecified launch failure", "cudaErrorLaunchFailure"},
      {cudaErrorUnknown, "unknown error", "cudaErrorUnknown"},
  };
  for (const Known& k : known) {
    if (std::strcmp(cudaGetErrorString(k.code), k.text) != 0 || std::strcmp(cudaGetErrorName(k.code), k.name) != 0)
      std::printf("  code %d: \"%s\" / %s\n", static_cast<int>(k.code), cudaGetErrorString(k.code),
                  cudaGetErrorName(k.code));
    CHECK(std::strcmp(cudaGetErrorString(k.code), k.text) == 0);
    CHECK(std::strcmp(cudaGetErrorName(k.code), k.name) == 0);
  }
  CHECK(std::strcmp(cudaGetErrorString(static_cast<cudaError_t>(12345)), "unrecognized error code") == 0);
}

void test_devices() {
  int count = -1, dev = -1;
  {
    ScopedEnv env("HOSTCUDA_DEVICE_COUNT", nullptr);
    CHECK_ERR(cudaGetDeviceCount(&count), cudaSuccess);
    CHECK(count == 1);
    CHECK_ERR(cudaSetDevice(0), cudaSuccess);
    CHECK_ERR(cudaSetDevice(1), cudaErrorInvalidDevice);
    CHECK_ERR(cudaGetLastError(), cudaErrorInvalidDevice);
    CHECK_ERR(cudaSetDevice(-1), cudaErrorInvalidDevice);
    CHECK_ERR(cudaGetLastError(), cudaErrorInvalidDevice);
    CHECK_ERR(cudaGetDevice(&dev), cudaSuccess);
    CHECK(dev == 0);
  }
  {
    ScopedEnv env("HOSTCUDA_DEVICE_COUNT", "3");
    CHECK_ERR(cudaGetDeviceCount(&count), cudaSuccess);
    CHECK(count == 3);
    CHECK_ERR(cudaSetDevice(2), cudaSuccess);
    CHECK_ERR(cudaGetDevice(&dev), cudaSuccess);
    CHECK(dev == 2);
    CHECK_ERR(cudaSetDevice(3), cudaErrorInvalidDevice);
    CHECK_ERR(cudaGetLastError(), cudaErrorInvalidDevice);
    CHECK_ERR(cudaGetDevice(&dev), cudaSuccess);
    CHECK(dev == 2);
    // The current device is a per-host-thread setting.
    int other = -1;
    std::thread([&] { cudaGetDevice(&other); }).join();
    CHECK(other == 0);
    CHECK_ERR(cudaSetDevice(0), cudaSuccess);
  }
  {
    ScopedEnv env("HOSTCUDA_DEVICE_COUNT", "0");
    CHECK_ERR(cudaGetDeviceCount(&count), cudaErrorNoDevice);
    CHECK_ERR(cudaSetDevice(0), cudaErrorNoDevice);
    CHECK_ERR(cudaGetLastError(), cudaErrorNoDevice);
  }
}

void test_memory_accounting() {
  ScopedEnv limit("HOSTCUDA_MEMORY_BYTES", "4096");
  void* a = nullptr;
  void* b = nullptr;
  void* c = reinterpret_cast<void*>(0x1);
  CHECK_ERR(cudaMalloc(&a, 3000), cudaSuccess);
  CHECK(a != nullptr && reinterpret_cast<uintptr_t>(a) % 256 == 0);
  CHECK_ERR(cudaMalloc(&c, 1097), cudaErrorMemoryAllocation);
  CHECK(c == nullptr);
  CHECK_ERR(cudaGetLastError(), cudaErrorMemoryAllocation);
  CHECK_ERR(cudaGetLastError(), cudaSuccess);
  CHECK_ERR(cudaMalloc(&b, 1096), cudaSuccess);
  CHECK_ERR(cudaMalloc(&c, 1), cudaErrorMemoryAllocation);
  CHECK_ERR(cudaFree(a), cudaSuccess);
  CHECK_ERR(cudaMalloc(&a, 3000), cudaSuccess);
  CHECK_ERR(cudaFree(a), cudaSuccess);
  CHECK_ERR(cudaFree(b), cudaSuccess);
  CHECK_ERR(cudaMalloc(&a, 4096), cudaSuccess);
  CHECK_ERR(cudaFree(a), cudaSuccess);
  CHECK_ERR(cudaMalloc(&a, 4097), cudaErrorMemoryAllocation);
  CHECK_ERR(cudaMalloc(&a, ~size_t{0}), cudaErrorMemoryAllocation);
  CHECK_ERR(cudaGetLastError(), cudaErrorMemoryAllocation);

  // A zero-byte request succeeds without memory; freeing null is a no-op.
  a = reinterpret_cast<void*>(0x1);
  CHECK_ERR(cudaMalloc(&a, 0), cudaSuccess);
  CHECK(a == nullptr);
  CHECK_ERR(cudaFree(nullptr), cudaSuccess);

  // Freeing what was never allocated, or twice, fails.
  int host = 0;
  CHECK_ERR(cudaFree(&host), cudaErrorInvalidValue);
  CHECK_ERR(cudaMalloc(&a, 16), cudaSuccess);
  CHECK_ERR(cudaFree(a), cudaSuccess);
  CHECK_ERR(cudaFree(a), cudaErrorInvalidValue);
  CHECK_ERR(cudaGetLastError(), cudaErrorInvalidValue);

  // Each device has its own budget; a buffer is credited back to the device
  // it came from, whichever device is current when it is freed.
  ScopedEnv devices("HOSTCUDA_DEVICE_COUNT", "2");
  CHECK_ERR(cudaSetDevice(0), cudaSuccess);
  CHECK_ERR(cudaMalloc(&a, 4000), cudaSuccess);
  CHECK_ERR(cudaSetDevice(1), cudaSuccess);
  CHECK_ERR(cudaMalloc(&b, 4000), cudaSuccess);
  CHECK_ERR(cudaFree(a), cudaSuccess);
  CHECK_ERR(cudaMalloc(&c, 1000), cudaErrorMemoryAllocation);
  CHECK_ERR(cudaSetDevice(0), cudaSuccess);
  CHECK_ERR(cudaMalloc(&c, 4000), cudaSuccess);
  CHECK_ERR(cudaFree(c), cudaSuccess);
  CHECK_ERR(cudaFree(b), cudaSuccess);
  CHECK_ERR(cudaGetLastError(), cudaErrorMemoryAllocation);
}

void test_copy_bounds() {
  unsigned char* d = device_alloc<unsigned char>(64);
  std::vector<unsigned char> h(128, 7), back(128, 0);
  CHECK_ERR(cudaMemcpy(d, h.data(), 64, cudaMemcpyHostToDevice), cudaSuccess);
  CHECK_ERR(cudaMemcpy(d, h.data(), 65, cudaMemcpyHostToDevice), cudaErrorInvalidValue);
  CHECK_ERR(cudaGetLastError(), cudaErrorInvalidValue);
  CHECK_ERR(cudaMemcpy(d + 32, h.data(), 33, cudaMemcpyHostToDevice), cudaErrorInvalidValue);
  CHECK_ERR(cudaMemcpy(d + 32, h.data(), 32, cudaMemcpyHostToDevice), cudaSuccess);
  CHECK_ERR(cudaMemcpy(back.data(), d, 65, cudaMemcpyDeviceToHost), cudaErrorInvalidValue);
  CHECK_ERR(cudaMemcpy(back.data(), d + 63, 2, cudaMemcpyDeviceToHost), cudaErrorInvalidValue);
  CHECK_ERR(cudaMemcpy(back.data(), d + 64, 1, cudaMemcpyDeviceToHost), cudaErrorInvalidValue);
  CHECK_ERR(cudaMemcpy(d, d + 32, 33, cudaMemcpyDeviceToDevice), cudaErrorInvalidValue);
  // A host address handed over as the device side is refused.
  CHECK_ERR(cudaMemcpy(h.data(), back.data(), 8, cudaMemcpyHostToDevice), cudaErrorInvalidValue);
  CHECK_ERR(cudaMemcpy(back.data(), h.data(), 8, cudaMemcpyDeviceToHost), cudaErrorInvalidValue);
  CHECK_ERR(cudaMemcpy(back.data(), d, 8, static_cast<cudaMemcpyKind>(7)), cudaErrorInvalidMemcpyDirection);
  CHECK_ERR(cudaMemset(d, 0, 65), cudaErrorInvalidValue);
  CHECK_ERR(cudaMemset(d + 60, 0, 5), cudaErrorInvalidValue);
  CHECK_ERR(cudaGetLastError(), cudaErrorInvalidValue);

  // Copies that stay inside the allocation move the bytes, whatever the kind.
  for (int i = 0; i < 64; ++i) h[i] = static_cast<unsigned char>(i * 5 + 1);
  CHECK_ERR(cudaMemcpy(d, h.data(), 64, cudaMemcpyDefault), cudaSuccess);
  CHECK_ERR(cudaMemcpy(d + 8, d, 16, cudaMemcpyDeviceToDevice), cudaSuccess);
  CHECK_ERR(cudaMemset(d + 60, 0xab, 4), cudaSuccess);
  CHECK_ERR(cudaMemcpy(back.data(), d, 64, cudaMemcpyDefault), cudaSuccess);
  bool same = true;
  for (int i = 0; i < 64; ++i) {
    unsigned char expect = (i >= 8 && i < 24) ? h[i - 8] : (i >= 60 ? 0xab : h[i]);
    same = same && back[i] == expect;
  }
  CHECK(same);
  CHECK_ERR(cudaMemcpy(d, h.data(), 0, cudaMemcpyHostToDevice), cudaSuccess);
  CHECK_ERR(cudaGetLastError(), cudaSuccess);
  cudaFree(d);
}

// HOSTCUDA_FAIL_LAUNCH_AFTER=2: two launches run once the switch is set,
// every later one fails without running; unset, launches run again.
void test_launches_fail_after_the_count() {
  int* out = device_alloc<int>(64);
  {
    ScopedEnv after("HOSTCUDA_FAIL_LAUNCH_AFTER", "2");
    for (int k = 0; k < 4; ++k) {
      put(out, std::vector<int>(64, -1));
      quillmarch::launch<param_copy_kernel>(dim3(1), dim3(64), 0, nullptr, 10 * k, out);
      CHECK_ERR(cudaGetLastError(), k < 2 ? cudaSuccess : cudaErrorLaunchFailure);
      CHECK(fetch(out, 64)[5] == (k < 2 ? 10 * k + 5 : -1));
    }
  }
  quillmarch::launch<param_copy_kernel>(dim3(1), dim3(64), 0, nullptr, 1, out);
  CHECK_ERR(cudaGetLastError(), cudaSuccess);
  // The launch may still be queued (HOSTCUDA_DEFER): freeing under it is a fault.
  CHECK_ERR(cudaDeviceSynchronize(), cudaSuccess);
  CHECK_ERR(cudaFree(out), cudaSuccess);
}

void test_host_register() {
  std::vector<double> buf(1024);
  char* base = reinterpret_cast<char*>(buf.data());
  CHECK_ERR(cudaHostRegister(base, 4096, 0), cudaSuccess);
  CHECK_ERR(cudaHostRegister(base, 4096, 0), cudaErrorHostMemoryAlreadyRegistered);
  CHECK_ERR(cudaGetLastError(), cudaErrorHostMemoryAlreadyRegistered);
  CHECK_ERR(cudaHostRegister(base + 4000, 1000, 0), cudaErrorHostMemoryAlreadyRegistered);
  CHECK_ERR(cudaHostRegister(base + 4096, 4096, 0), cudaSuccess);
  CHECK_ERR(cudaHostUnregister(base + 4096), cudaSuccess);
  CHECK_ERR(cudaHostUnregister(base), cudaSuccess);
  CHECK_ERR(cudaHostUnregister(base), cudaErrorHostMemoryNotRegistered);
  CHECK_ERR(cudaGetLastError(), cudaErrorHostMemoryNotRegistered);
  int unknown = 0;
  CHECK_ERR(cudaHostUnregister(&unknown), cudaErrorHostMemoryNotRegistered);
  CHECK_ERR(cudaHostRegister(base, 4096, 1), cudaErrorInvalidValue);
  CHECK_ERR(cudaHostRegister(base, 0, 0), cudaErrorInvalidValue);
  {
    ScopedEnv fails("HOSTCUDA_HOST_REGISTER_FAILS", "1");
    CHECK_ERR(cudaHostRegister(base, 4096, 0), cudaErrorInvalidValue);
    CHECK_ERR(cudaHostUnregister(base), cudaErrorHostMemoryNotRegistered);
  }
  // Registration again after a clean release.
  CHECK_ERR(cudaHostRegister(base, 8192, 0), cudaSuccess);
  CHECK_ERR(cudaHostUnregister(base), cudaSuccess);
  CHECK_ERR(cudaGetLastError(), cudaErrorHostMemoryNotRegistered);
  CHECK_ERR(cudaGetLastError(), cudaSuccess);
}

// Naive column-major reference: C = alpha op(A) op(B) + beta C.
template <typename R>
std::vector<std::complex<R>> reference_gemm(char ta, char tb, int m, int n, int k, std::complex<R> alpha,
                                            const std::vector<std::complex<R>>& A, int lda,
                                            const std::vector<std::complex<R>>& B, int ldb, std::complex<R> beta,
                                            std::vector<std::complex<R>> C, int ldc) {
  for (int j = 0; j < n; ++j) {
    for (int i = 0; i < m; ++i) {
      std::complex<double> acc = 0;
      for (int p = 0; p < k; ++p) {
        std::complex<double> a = ta == 'N' ? A[i + p * lda] : A[p + i * lda];
        std::complex<double> b = tb == 'N' ? B[p + j * ldb] : B[j + p * ldb];
        if (ta == 'C') a = std::conj(a);
        if (tb == 'C') b = std::conj(b);
        acc += a * b;
      }
      std::complex<double> prior = beta == std::complex<R>(0) ? 0 : std::complex<double>(C[i + j * ldc]);
      C[i + j * ldc] = std::complex<R>(std::complex<double>(alpha) * acc + std::complex<double>(beta) * prior);
    }
  }
  return C;
}

template <typename R, typename V, typename Gemm>
void check_gemm(Gemm gemm, double tol) {
  using Cx = std::complex<R>;
  cublasHandle_t handle = nullptr;
  CHECK(cublasCreate(&handle) == CUBLAS_STATUS_SUCCESS);
  CHECK(cublasSetStream(handle, nullptr) == CUBLAS_STATUS_SUCCESS);
  std::mt19937 rng(2024);
  std::uniform_real_distribution<R> dist(-1, 1);
  auto random = [&](size_t count) {
    std::vector<Cx> v(count);
    for (Cx& x : v) x = Cx(dist(rng), dist(rng));
    return v;
  };
  auto op_of = [](char c) { return c == 'N' ? CUBLAS_OP_N : (c == 'T' ? CUBLAS_OP_T : CUBLAS_OP_C); };
  const int m = 5, n = 4, k = 3;
  for (char ta : {'N', 'T', 'C'}) {
    for (char tb : {'N', 'T', 'C'}) {
      for (bool zero_beta : {false, true}) {
        // Leading dimensions larger than the operands, so padding is skipped.
        const int lda = (ta == 'N' ? m : k) + 2, ldb = (tb == 'N' ? k : n) + 1, ldc = m + 3;
        const int acols = ta == 'N' ? k : m, bcols = tb == 'N' ? n : k;
        std::vector<Cx> A = random(static_cast<size_t>(lda) * acols);
        std::vector<Cx> B = random(static_cast<size_t>(ldb) * bcols);
        std::vector<Cx> C = random(static_cast<size_t>(ldc) * n);
        // beta 0 must ignore whatever C holds, NaN included.
        if (zero_beta) C[0] = Cx(std::numeric_limits<R>::quiet_NaN(), 0);
        const Cx alpha(R(0.75), R(-0.5)), beta = zero_beta ? Cx(0) : Cx(R(-0.25), R(1.5));
        std::vector<Cx> expect = reference_gemm<R>(ta, tb, m, n, k, alpha, A, lda, B, ldb, beta, C, ldc);
        Cx* dA = device_alloc<Cx>(A.size());
        Cx* dB = device_alloc<Cx>(B.size());
        Cx* dC = device_alloc<Cx>(C.size());
        put(dA, A);
        put(dB, B);
        put(dC, C);
        const cublasStatus_t st = gemm(handle, op_of(ta), op_of(tb), m, n, k, reinterpret_cast<const V*>(&alpha),
                                       reinterpret_cast<const V*>(dA), lda, reinterpret_cast<const V*>(dB), ldb,
                                       reinterpret_cast<const V*>(&beta), reinterpret_cast<V*>(dC), ldc);
        CHECK(st == CUBLAS_STATUS_SUCCESS);
        std::vector<Cx> got = fetch(dC, C.size());
        double worst = 0;
        for (size_t i = 0; i < got.size(); ++i) {
          const bool inside = static_cast<int>(i % ldc) < m;
          // Rows past m are padding and must keep their old contents.
          const Cx want = inside ? expect[i] : C[i];
          worst = std::max(worst, static_cast<double>(std::abs(got[i] - want)));
        }
        if (!(worst <= tol)) std::printf("  gemm %c%c beta0=%d: max error %g\n", ta, tb, zero_beta, worst);
        CHECK(worst <= tol);
        cudaFree(dA);
        cudaFree(dB);
        cudaFree(dC);
      }
    }
  }
  // Argument errors are reported as cuBLAS defines them.
  const Cx one(1);
  std::vector<Cx> small(64);
  const V* s = reinterpret_cast<const V*>(small.data());
  V* out = reinterpret_cast<V*>(small.data());
  const V* o = reinterpret_cast<const V*>(&one);
  CHECK(gemm(handle, CUBLAS_OP_N, CUBLAS_OP_N, 4, 4, 4, o, s, 3, s, 4, o, out, 4) == CUBLAS_STATUS_INVALID_VALUE);
  CHECK(gemm(handle, CUBLAS_OP_T, CUBLAS_OP_N, 4, 4, 2, o, s, 1, s, 4, o, out, 4) == CUBLAS_STATUS_INVALID_VALUE);
  CHECK(gemm(handle, CUBLAS_OP_N, CUBLAS_OP_T, 4, 4, 4, o, s, 4, s, 3, o, out, 4) == CUBLAS_STATUS_INVALID_VALUE);
  CHECK(gemm(handle, CUBLAS_OP_N, CUBLAS_OP_N, 4, 4, 4, o, s, 4, s, 4, o, out, 3) == CUBLAS_STATUS_INVALID_VALUE);
  CHECK(gemm(handle, CUBLAS_OP_N, CUBLAS_OP_N, -1, 4, 4, o, s, 4, s, 4, o, out, 4) == CUBLAS_STATUS_INVALID_VALUE);
  CHECK(gemm(nullptr, CUBLAS_OP_N, CUBLAS_OP_N, 4, 4, 4, o, s, 4, s, 4, o, out, 4) == CUBLAS_STATUS_NOT_INITIALIZED);
  CHECK(cublasDestroy(handle) == CUBLAS_STATUS_SUCCESS);
}

void test_cublas_zgemm() { check_gemm<double, cuDoubleComplex>(cublasZgemm, 1e-13); }
void test_cublas_cgemm() { check_gemm<float, cuComplex>(cublasCgemm, 1e-5); }

// Sequential reference: the same steps on the host, no barriers.
uint64_t churn_reference(uint64_t h, double& a, int depth) {
  if (depth == 0) return h * 6364136223846793005ull + 1442695040888963407ull;
  const double keep = a * 0.75 + static_cast<double>(depth);
  const uint64_t next = churn_reference(h ^ static_cast<uint64_t>(depth), a, depth - 1);
  a = a * 1.0000001 + keep / (depth + 1);
  return next + static_cast<uint64_t>(keep);
}

void test_locals_survive_barriers() {
  const unsigned blocks = 6, threads = 96;
  double* out = device_alloc<double>(blocks * threads);
  quillmarch::launch<locals_survive_barriers_kernel>(dim3(blocks), dim3(threads), 0, nullptr, out);
  CHECK_ERR(cudaGetLastError(), cudaSuccess);
  const std::vector<double> got = fetch(out, blocks * threads);
  int wrong = 0;
  for (unsigned t = 0; t < blocks * threads; ++t) {
    double a = 0.5 * t;
    uint64_t h = t * 0x9E3779B97F4A7C15ull;
    for (int i = 0; i < 12; ++i) h = churn_reference(h, a, i % 5);
    if (got[t] != a + static_cast<double>(h & 0xffffff)) ++wrong;
  }
  CHECK(wrong == 0);
  cudaFree(out);
}

// Barrier-free kernels run as plain loops (one stack per block, apart from the
// probed first thread), kernels with barriers as fibers (one stack per thread).
void test_barrier_kernels_run_as_fibers_others_as_loops() {
  const unsigned blocks = 64, threads = 128;
  uintptr_t* out = device_alloc<uintptr_t>(blocks * threads);
  quillmarch::launch<stack_address_kernel>(dim3(blocks), dim3(threads), 0, nullptr, out);
  CHECK_ERR(cudaGetLastError(), cudaSuccess);
  std::vector<uintptr_t> got = fetch(out, blocks * threads);
  int mixed = 0;
  for (unsigned b = 0; b < blocks; ++b) {
    const unsigned first = b == 0 ? 1 : 0;
    for (unsigned t = first + 1; t < threads; ++t)
      if (got[b * threads + t] != got[b * threads + first]) ++mixed;
  }
  CHECK(mixed == 0);
  CHECK(got[0] != got[1]);

  quillmarch::launch<stack_address_barrier_kernel>(dim3(blocks), dim3(threads), 0, nullptr, out);
  CHECK_ERR(cudaGetLastError(), cudaSuccess);
  got = fetch(out, blocks * threads);
  int shared = 0;
  for (unsigned b = 0; b < blocks; ++b) {
    std::vector<uintptr_t> block(got.begin() + b * threads, got.begin() + (b + 1) * threads);
    std::sort(block.begin(), block.end());
    if (std::adjacent_find(block.begin(), block.end()) != block.end()) ++shared;
  }
  CHECK(shared == 0);
  cudaFree(out);
}

// Early returns end only their own thread, in every position of a 3-D block
// and whether the kernel is a template argument or a run-time pointer.
void test_threads_returning_early() {
  const dim3 grid(5, 3), block(8, 4, 2);
  const unsigned total = grid.x * grid.y * block.x * block.y * block.z, count = total - 37;
  unsigned* out = device_alloc<unsigned>(total);
  for (bool static_kernel : {true, false}) {
    CHECK_ERR(cudaMemset(out, 0xff, total * sizeof(unsigned)), cudaSuccess);
    if (static_kernel) {
      quillmarch::launch<early_return_kernel>(grid, block, 0, nullptr, out, count);
    } else {
      quillmarch::launch(early_return_kernel, grid, block, 0, nullptr, out, count);
    }
    CHECK_ERR(cudaGetLastError(), cudaSuccess);
    std::vector<unsigned> got = fetch(out, total);
    int wrong = 0;
    for (unsigned i = 0; i < total; ++i) {
      const unsigned t = i % (block.x * block.y * block.z);
      const bool writes = i < count && (t % block.x + t / block.x % block.y + t / (block.x * block.y)) % 3 != 0;
      if (got[i] != (writes ? i : 0xffffffffu)) ++wrong;
    }
    CHECK(wrong == 0);
  }
  cudaFree(out);
}

// Two host threads launching one kernel at once, as two interpreter threads
// driving different states do, through both launch forms; each must get
// exactly its own results.
void test_concurrent_launches_from_two_host_threads() {
  // Just big enough to be spread over the worker pool, so that many
  // launches of the two threads overlap.
  const unsigned blocks = 32, threads = 128;
  const size_t n = static_cast<size_t>(blocks) * threads;
  int bad[2] = {0, 0};
  auto worker = [&](int id) {
    unsigned long long* out = nullptr;
    if (cudaMalloc(&out, n * sizeof(unsigned long long)) != cudaSuccess) {
      bad[id] = -1;
      return;
    }
    std::vector<unsigned long long> h(n);
    for (unsigned long long round = 0; round < 2000; ++round) {
      const unsigned long long scale = 3 + id, offset = round * 1000003ull + static_cast<unsigned long long>(id);
      if (round % 2 == 0) {
        quillmarch::launch<fill_kernel>(dim3(blocks), dim3(threads), 0, nullptr, out, scale, offset);
      } else {
        quillmarch::launch(fill_kernel, dim3(blocks), dim3(threads), 0, nullptr, out, scale, offset);
      }
      if (cudaGetLastError() != cudaSuccess) ++bad[id];
      cudaMemcpy(h.data(), out, n * sizeof(unsigned long long), cudaMemcpyDeviceToHost);
      for (size_t i = 0; i < n; ++i)
        if (h[i] != i * scale + offset) {
          ++bad[id];
          break;
        }
    }
    cudaFree(out);
  };
  std::thread a(worker, 0), b(worker, 1);
  a.join();
  b.join();
  CHECK(bad[0] == 0);
  CHECK(bad[1] == 0);
}

namespace traced {
// A kernel in a namespace with a template argument, as the project's are.
template <typename T>
__global__ void scale_kernel(T* data, T factor) {
  data[blockIdx.x * blockDim.x + threadIdx.x] *= factor;
}
// Two template arguments demangle with a space after the comma.
template <typename T, int K>
__global__ void shift_kernel(T* data) {
  data[threadIdx.x] += T(K);
}
enum Shape : int { Flat = 1, Tall = 2 };
namespace {
template <typename T, Shape S>
__global__ void shaped_kernel(T* data) {
  data[threadIdx.x] *= T(S);
}
}  // namespace
}  // namespace traced

std::vector<std::string> read_lines(const std::string& path) {
  std::vector<std::string> lines;
  if (FILE* f = std::fopen(path.c_str(), "r")) {
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, f)) lines.emplace_back(buffer, std::strcspn(buffer, "\n"));
    std::fclose(f);
  }
  return lines;
}

// Launches and GEMMs are traced by name while HOSTCUDA_TRACE is set, failed
// configurations are not, and nothing is written once it is unset.
void test_launch_trace() {
  char path[] = "/tmp/hostcuda_trace_XXXXXX";
  const int fd = mkstemp(path);
  CHECK(fd >= 0);
  if (fd < 0) return;
  close(fd);
  float* d = device_alloc<float>(64);
  cublasHandle_t handle = nullptr;
  CHECK(cublasCreate(&handle) == CUBLAS_STATUS_SUCCESS);
  cuComplex* m = device_alloc<cuComplex>(8);
  const cuComplex one = make_float2(1, 0), zero = make_float2(0, 0);
  {
    ScopedEnv trace("HOSTCUDA_TRACE", path);
    quillmarch::launch<traced::scale_kernel<float>>(dim3(2), dim3(32), 16, nullptr, d, 2.0f);
    quillmarch::launch<traced::scale_kernel<float>>(dim3(0), dim3(32), 0, nullptr, d, 2.0f);
    CHECK_ERR(cudaGetLastError(), cudaErrorInvalidConfiguration);
    quillmarch::launch(traced::shift_kernel<float, 2>, dim3(1), dim3(32), 0, nullptr, d);
    CHECK(cublasCgemm(handle, CUBLAS_OP_T, CUBLAS_OP_N, 2, 4, 2, &one, m, 2, m, 2, &zero, m, 2) ==
          CUBLAS_STATUS_SUCCESS);
  }
  quillmarch::launch<traced::scale_kernel<float>>(dim3(1), dim3(64), 0, nullptr, d, 2.0f);
  const std::vector<std::string> lines = read_lines(path);
  CHECK(lines.size() == 3);
  if (lines.size() == 3) {
    CHECK(lines[0] == "scale_kernel<float> grid=2,1,1 block=32,1,1 shared=16 scope=traced");
    CHECK(lines[1] == "shift_kernel<float,2> grid=1,1,1 block=32,1,1 shared=0 scope=traced");
    CHECK(lines[2] == "cublasCgemm m=2 n=4 k=2");
  }
  CHECK(cublasDestroy(handle) == CUBLAS_STATUS_SUCCESS);
  CHECK_ERR(cudaFree(m), cudaSuccess);
  CHECK_ERR(cudaFree(d), cudaSuccess);
  std::remove(path);
}

// Kernels launched as template arguments are named from that argument, so the
// trace names them in a stripped module too (tests/test_hostcuda.py runs this
// case in a stripped copy).
void test_launch_trace_of_template_kernels() {
  char path[] = "/tmp/hostcuda_trace_XXXXXX";
  const int fd = mkstemp(path);
  CHECK(fd >= 0);
  if (fd < 0) return;
  close(fd);
  double* d = device_alloc<double>(32);
  {
    ScopedEnv trace("HOSTCUDA_TRACE", path);
    quillmarch::launch<traced::scale_kernel<double>>(dim3(1), dim3(32), 8, nullptr, d, 2.0);
    quillmarch::launch(quillmarch::kernel_constant<traced::shift_kernel<double, 3>>, dim3(1), dim3(16), 0, nullptr, d);
    quillmarch::launch<traced::shaped_kernel<float, traced::Tall>>(dim3(1), dim3(4), 0, nullptr,
                                                                   reinterpret_cast<float*>(d));
  }
  CHECK_ERR(cudaDeviceSynchronize(), cudaSuccess);
  const std::vector<std::string> lines = read_lines(path);
  CHECK(lines.size() == 3);
  if (lines.size() == 3) {
    CHECK(lines[0] == "scale_kernel<double> grid=1,1,1 block=32,1,1 shared=8 scope=traced");
    CHECK(lines[1] == "shift_kernel<double,3> grid=1,1,1 block=16,1,1 shared=0 scope=traced");
    CHECK(lines[2] == "shaped_kernel<float,traced::Tall> grid=1,1,1 block=4,1,1 shared=0 scope=traced");
  }
  if (case_failures != 0)
    for (const std::string& line : lines) std::printf("  traced: %s\n", line.c_str());
  cudaFree(d);
  std::remove(path);
}

// ---------------------------------------------------------------- HOSTCUDA_DEFER

// Device memory is host memory here, so host code can look at it directly,
// as it could not on a GPU: that is how these cases see what has run.
// Launches, memsets, device-to-device copies and GEMMs wait for a
// synchronising call and then run in issue order; the trace is written at
// issue. Without the switch the same launch is visible at once.
void test_defer_holds_work_until_a_synchronising_call() {
  const size_t n = 64;
  int* a = device_alloc<int>(n);
  int* b = device_alloc<int>(n);
  {
    ScopedEnv immediate("HOSTCUDA_DEFER", nullptr);
    quillmarch::launch<param_copy_kernel>(dim3(1), dim3(64), 0, nullptr, 10, a);
    CHECK(a[5] == 15);
  }
  char path[] = "/tmp/hostcuda_defer_trace_XXXXXX";
  const int fd = mkstemp(path);
  CHECK(fd >= 0);
  if (fd >= 0) close(fd);
  ScopedEnv defer("HOSTCUDA_DEFER", "1");
  put(a, std::vector<int>(n, -1));
  put(b, std::vector<int>(n, -2));
  {
    ScopedEnv trace("HOSTCUDA_TRACE", path);
    quillmarch::launch<param_copy_kernel>(dim3(1), dim3(64), 0, nullptr, 100, a);
    CHECK_ERR(cudaGetLastError(), cudaSuccess);
    CHECK(read_lines(path).size() == 1);
  }
  CHECK(a[5] == -1);
  // The memset comes after the kernel, the copy after both.
  CHECK_ERR(cudaMemsetAsync(a, 0, 4 * sizeof(int)), cudaSuccess);
  CHECK_ERR(cudaMemcpy(b, a, n * sizeof(int), cudaMemcpyDeviceToDevice), cudaSuccess);
  CHECK(a[0] == -1 && a[5] == -1 && b[5] == -2);
  CHECK_ERR(cudaStreamSynchronize(nullptr), cudaSuccess);
  CHECK(a[0] == 0 && a[3] == 0 && a[4] == 104 && a[63] == 163);
  CHECK(b[0] == 0 && b[3] == 0 && b[4] == 104 && b[63] == 163);

  // A blocking copy to host memory waits for the queue.
  quillmarch::launch(param_copy_kernel, dim3(1), dim3(64), 0, nullptr, 200, a);
  CHECK(a[5] == 105);
  CHECK(fetch(a, n)[5] == 205);

  // Async from pageable memory: the source is taken at issue. From
  // page-locked memory: it is read when the copy runs.
  std::vector<int> pageable(n, 7);
  CHECK_ERR(cudaMemcpyAsync(a, pageable.data(), n * sizeof(int), cudaMemcpyHostToDevice), cudaSuccess);
  pageable.assign(n, 8);
  std::vector<int> locked(n, 1);
  CHECK_ERR(cudaHostRegister(locked.data(), n * sizeof(int), 0), cudaSuccess);
  CHECK_ERR(cudaMemcpyAsync(b, locked.data(), n * sizeof(int), cudaMemcpyHostToDevice), cudaSuccess);
  locked.assign(n, 2);
  CHECK(a[0] == 200 && b[0] == 0);
  CHECK_ERR(cudaDeviceSynchronize(), cudaSuccess);
  CHECK(a[0] == 7 && a[63] == 7 && b[0] == 2 && b[63] == 2);
  // Async into page-locked memory waits; into pageable memory it is synchronous.
  quillmarch::launch<param_copy_kernel>(dim3(1), dim3(64), 0, nullptr, 300, a);
  CHECK_ERR(cudaMemcpyAsync(locked.data(), a, n * sizeof(int), cudaMemcpyDeviceToHost), cudaSuccess);
  CHECK(locked[5] == 2);
  CHECK_ERR(cudaMemcpyAsync(pageable.data(), a, n * sizeof(int), cudaMemcpyDeviceToHost), cudaSuccess);
  CHECK(pageable[5] == 305 && locked[5] == 305);
  CHECK_ERR(cudaHostUnregister(locked.data()), cudaSuccess);

  // A GEMM reads its scalars at issue and its matrices when it runs.
  cublasHandle_t handle = nullptr;
  CHECK(cublasCreate(&handle) == CUBLAS_STATUS_SUCCESS);
  cuDoubleComplex* m = device_alloc<cuDoubleComplex>(3);
  put(m, std::vector<cuDoubleComplex>{make_double2(2, 0), make_double2(3, 0), make_double2(0, 0)});
  cuDoubleComplex alpha = make_double2(1, 0), beta = make_double2(0, 0);
  CHECK(cublasZgemm(handle, CUBLAS_OP_N, CUBLAS_OP_N, 1, 1, 1, &alpha, m, 1, m + 1, 1, &beta, m + 2, 1) ==
        CUBLAS_STATUS_SUCCESS);
  alpha = make_double2(100, 0);
  CHECK(m[2].x == 0);
  // Destroying the handle waits for its work.
  CHECK(cublasDestroy(handle) == CUBLAS_STATUS_SUCCESS);
  CHECK(m[2].x == 6 && m[2].y == 0);

  // Work a thread leaves queued runs when that thread exits.
  std::thread([a] { quillmarch::launch<param_copy_kernel>(dim3(1), dim3(64), 0, nullptr, 400, a); }).join();
  CHECK(a[5] == 405);
  CHECK_ERR(cudaGetLastError(), cudaSuccess);
  CHECK_ERR(cudaFree(m), cudaSuccess);
  CHECK_ERR(cudaFree(b), cudaSuccess);
  CHECK_ERR(cudaFree(a), cudaSuccess);
  std::remove(path);
}

// cudaFree of a buffer a queued kernel still uses (through a pointer into its
// middle) is the GPU's illegal address: reported once, naming the kernel, the
// device's queue is dropped and every later call on the device fails with it.
void test_defer_free_under_a_queued_kernel_is_reported() {
  const ChildResult r = run_in_child([] {
    ScopedEnv defer("HOSTCUDA_DEFER", "1");
    int* a = nullptr;
    int* other = nullptr;
    if (cudaMalloc(&a, 256 * sizeof(int)) != cudaSuccess || cudaMalloc(&other, sizeof(int)) != cudaSuccess) return 2;
    int zero = 0;
    if (cudaMemcpy(other, &zero, sizeof zero, cudaMemcpyHostToDevice) != cudaSuccess) return 3;
    quillmarch::launch<flag_kernel>(dim3(1), dim3(1), 0, nullptr, other);
    quillmarch::launch<param_copy_kernel>(dim3(1), dim3(64), 0, nullptr, 1, a + 8);
    if (cudaGetLastError() != cudaSuccess) return 4;
    if (cudaFree(a) != cudaErrorIllegalAddress) return 5;
    if (std::strcmp(cudaGetErrorString(cudaErrorIllegalAddress), "an illegal memory access was encountered") != 0)
      return 6;
    if (cudaGetLastError() != cudaErrorIllegalAddress) return 7;
    // The queue is gone: the earlier kernel never ran.
    if (*other != 0) return 8;
    if (cudaDeviceSynchronize() != cudaErrorIllegalAddress) return 9;
    if (cudaGetLastError() != cudaErrorIllegalAddress) return 10;
    if (cudaStreamSynchronize(nullptr) != cudaErrorIllegalAddress) return 11;
    void* p = nullptr;
    if (cudaMalloc(&p, 16) != cudaErrorIllegalAddress) return 12;
    if (cudaMemset(other, 1, sizeof(int)) != cudaErrorIllegalAddress) return 13;
    int h = -1;
    if (cudaMemcpy(&h, other, sizeof h, cudaMemcpyDeviceToHost) != cudaErrorIllegalAddress) return 14;
    if (cudaMemcpyAsync(other, &h, sizeof h, cudaMemcpyHostToDevice) != cudaErrorIllegalAddress) return 15;
    cudaGetLastError();
    quillmarch::launch<flag_kernel>(dim3(1), dim3(1), 0, nullptr, other);
    if (cudaGetLastError() != cudaErrorIllegalAddress) return 16;
    if (*other != 0 || h != -1) return 17;
    return 0;
  });
  CHECK(child_passed(r));
  CHECK(count_of(r.err, "hostcuda:") == 1);
  CHECK(count_of(r.err, "cudaFree(") == 1);
  CHECK(count_of(r.err, "queued kernel param_copy_kernel") == 1);
}

// Unregistering page-locked memory that a queued copy still reads is the same fault.
void test_defer_unregister_under_a_queued_copy_is_reported() {
  const ChildResult r = run_in_child([] {
    ScopedEnv defer("HOSTCUDA_DEFER", "1");
    std::vector<double> locked(512, 3.0);
    double* d = nullptr;
    if (cudaMalloc(&d, 512 * sizeof(double)) != cudaSuccess) return 2;
    if (cudaHostRegister(locked.data(), locked.size() * sizeof(double), 0) != cudaSuccess) return 3;
    if (cudaMemcpyAsync(d + 16, locked.data() + 16, 64 * sizeof(double), cudaMemcpyHostToDevice) != cudaSuccess)
      return 4;
    if (cudaHostUnregister(locked.data()) != cudaErrorIllegalAddress) return 5;
    if (cudaGetLastError() != cudaErrorIllegalAddress) return 6;
    if (cudaDeviceSynchronize() != cudaErrorIllegalAddress) return 7;
    if (d[16] == 3.0) return 8;
    // The range was released all the same.
    if (cudaHostRegister(locked.data(), 64, 0) != cudaSuccess) return 9;
    return 0;
  });
  CHECK(child_passed(r));
  CHECK(count_of(r.err, "hostcuda:") == 1);
  CHECK(count_of(r.err, "cudaHostUnregister(") == 1);
  CHECK(count_of(r.err, "queued memcpy") == 1);
}

// Freeing what queued work used once a synchronising call has run it is
// fine, and so is freeing, with work queued, a buffer that work does not use.
void test_defer_free_after_synchronize_is_fine() {
  ScopedEnv defer("HOSTCUDA_DEFER", "1");
  int* a = device_alloc<int>(64);
  int* unused = device_alloc<int>(64);
  quillmarch::launch<param_copy_kernel>(dim3(1), dim3(64), 0, nullptr, 5, a);
  CHECK_ERR(cudaFree(unused), cudaSuccess);
  CHECK_ERR(cudaStreamSynchronize(nullptr), cudaSuccess);
  CHECK(a[63] == 68);
  CHECK_ERR(cudaFree(a), cudaSuccess);
  CHECK_ERR(cudaGetLastError(), cudaSuccess);
  // The device took no fault: it still runs work.
  int* c = device_alloc<int>(64);
  quillmarch::launch<param_copy_kernel>(dim3(1), dim3(64), 0, nullptr, 9, c);
  CHECK(fetch(c, 64)[1] == 10);
  CHECK_ERR(cudaFree(c), cudaSuccess);
}

// Under the switch a HOSTCUDA_FAIL_LAUNCH_AFTER failure is still reported at
// issue and queues nothing, while a kernel that fails as it runs (a barrier
// after thread 0 left) reports at the synchronising call.
void test_defer_failing_launches() {
  const ChildResult r = run_in_child([] {
    ScopedEnv defer("HOSTCUDA_DEFER", "1");
    int* out = nullptr;
    if (cudaMalloc(&out, 64 * sizeof(int)) != cudaSuccess) return 2;
    if (cudaMemset(out, 0, 64 * sizeof(int)) != cudaSuccess) return 3;
    {
      ScopedEnv after("HOSTCUDA_FAIL_LAUNCH_AFTER", "1");
      quillmarch::launch<param_copy_kernel>(dim3(1), dim3(64), 0, nullptr, 10, out);
      if (cudaGetLastError() != cudaSuccess) return 4;
      quillmarch::launch<param_copy_kernel>(dim3(1), dim3(64), 0, nullptr, 20, out);
      if (cudaGetLastError() != cudaErrorLaunchFailure) return 5;
    }
    if (cudaDeviceSynchronize() != cudaSuccess) return 6;
    if (out[5] != 15) return 7;
    quillmarch::launch<thread0_exits_kernel>(dim3(1), dim3(64), 0, nullptr, out);
    if (cudaGetLastError() != cudaSuccess) return 8;
    if (cudaDeviceSynchronize() != cudaErrorLaunchFailure) return 9;
    if (cudaGetLastError() != cudaErrorLaunchFailure) return 10;
    // Not sticky here: the next work runs.
    quillmarch::launch<param_copy_kernel>(dim3(1), dim3(64), 0, nullptr, 30, out);
    int h = 0;
    if (cudaMemcpy(&h, out + 5, sizeof h, cudaMemcpyDeviceToHost) != cudaSuccess || h != 35) return 11;
    if (cudaFree(out) != cudaSuccess) return 12;
    return 0;
  });
  CHECK(child_passed(r));
  CHECK(count_of(r.err, kBarrierDiagnostic) == 1);
  CHECK(count_of(r.err, "hostcuda:") == 1);
}

struct Case {
  const char* name;
  void (*run)();
};

const Case cases[] = {
    {"barrier_tree_reduction", test_barrier_tree_reduction},
    {"barrier_orders_shared_writes", test_barrier_orders_shared_writes},
    {"barrier_kernel_at_any_block_size", test_barrier_kernel_at_any_block_size},
    {"run_share_covers_each_item_once", test_run_share_covers_each_item_once},
    {"exited_threads_count_as_arrived", test_exited_threads_count_as_arrived},
    {"barrier_after_thread0_exit_fails_the_launch", test_barrier_after_thread0_exit_fails_the_launch},
    {"fiber_stack_exhaustion_fails_the_launch", test_fiber_stack_exhaustion_fails_the_launch},
    {"dynamic_shared_memory_per_block", test_dynamic_shared_memory_per_block},
    {"parallel_blocks_are_deterministic", test_parallel_blocks_are_deterministic},
    {"atomic_add", test_atomic_add},
    {"grid_and_block_indices", test_grid_and_block_indices},
    {"kernel_parameters_are_per_thread_copies", test_kernel_parameters_are_per_thread_copies},
    {"invalid_launch_configuration", test_invalid_launch_configuration},
    {"error_strings_match_runtime", test_error_strings_match_runtime},
    {"devices", test_devices},
    {"memory_accounting", test_memory_accounting},
    {"copy_bounds", test_copy_bounds},
    {"host_register", test_host_register},
    {"launches_fail_after_the_count", test_launches_fail_after_the_count},
    {"cublas_zgemm", test_cublas_zgemm},
    {"cublas_cgemm", test_cublas_cgemm},
    {"concurrent_launches_from_two_host_threads", test_concurrent_launches_from_two_host_threads},
    {"launch_trace", test_launch_trace},
    {"launch_trace_of_template_kernels", test_launch_trace_of_template_kernels},
    {"barrier_kernels_run_as_fibers_others_as_loops", test_barrier_kernels_run_as_fibers_others_as_loops},
    {"threads_returning_early", test_threads_returning_early},
    {"locals_survive_barriers", test_locals_survive_barriers},
    {"defer_holds_work_until_a_synchronising_call", test_defer_holds_work_until_a_synchronising_call},
    {"defer_free_under_a_queued_kernel_is_reported", test_defer_free_under_a_queued_kernel_is_reported},
    {"defer_unregister_under_a_queued_copy_is_reported", test_defer_unregister_under_a_queued_copy_is_reported},
    {"defer_free_after_synchronize_is_fine", test_defer_free_after_synchronize_is_fine},
    {"defer_failing_launches", test_defer_failing_launches},
};

}  // namespace

int main(int argc, char** argv) {
  // Several workers even on a small machine, so blocks really run in parallel.
  // The pool reads this once, at the first launch.
  setenv("HOSTCUDA_THREADS", "4", 1);
  unsetenv("HOSTCUDA_DEVICE_COUNT");
  unsetenv("HOSTCUDA_MEMORY_BYTES");
  unsetenv("HOSTCUDA_HOST_REGISTER_FAILS");
  unsetenv("HOSTCUDA_FAIL_LAUNCH_AFTER");
  unsetenv("HOSTCUDA_TRACE");
  int passed = 0, failed = 0;
  for (const Case& c : cases) {
    // An optional argument runs only the cases whose name contains it.
    if (argc > 1 && std::strstr(c.name, argv[1]) == nullptr) continue;
    case_failures = 0;
    cudaSetDevice(0);
    c.run();
    // A case must not leave an error behind for the next one.
    const cudaError_t pending = cudaGetLastError();
    if (pending != cudaSuccess) {
      std::printf("  pending error after the case: %s\n", cudaGetErrorName(pending));
      ++case_failures;
    }
    std::printf("%s %s\n", case_failures == 0 ? "PASS" : "FAIL", c.name);
    if (case_failures == 0) {
      ++passed;
    } else {
      ++failed;
    }
  }
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
