// Projective measurement of density matrices: outcome probabilities from the
// diagonal on the device, one seeded draw on the host, collapse on the device.
#include "kestamire/kestamire_measure.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <random>
#include <stdexcept>

#include "common/bit_index.h"
#include "common/cuda_api.h"
#include "common/cuda_check.h"
#include "common/device_buffer.h"
#include "common/measure_host.h"
#include "common/parsers.h"

namespace quillmarch {
namespace kestamire {

namespace {

constexpr unsigned kProbThreads = 256;

// Outcome bit m-1-j holds qubit targets[j]; "big" numbers qubits from the top.
__device__ __forceinline__ uint64_t outcome_of(uint64_t index, int64_t n, const int64_t* targets, int64_t m,
                                               bool little) {
  uint64_t outcome = 0;
  for (int64_t j = 0; j < m; ++j) {
    if ((index >> measured_bit(targets[j], n, little)) & 1) outcome |= outcome_bit(j, m);
  }
  return outcome;
}

void validate(uint64_t n, const std::vector<int64_t>& targets, const std::string& endian) {
  if (n < 1 || n > 15) throw std::invalid_argument("num_qubits must be in [1, 15]");
  if (targets.empty()) throw std::invalid_argument("measure targets must not be empty");
  check_endian(endian);
  for (int64_t q : targets)
    if (q < 0 || static_cast<uint64_t>(q) >= n) throw std::invalid_argument("measure target index out of range");
  uint64_t seen = 0;
  for (int64_t q : targets) {
    if (seen & (uint64_t{1} << q)) throw std::invalid_argument("duplicate measure target index");
    seen |= uint64_t{1} << q;
  }
}

// A uniform real in [0, total] from the engine's first output, walked over the
// cumulative probabilities in index order.
uint64_t draw_outcome(const std::vector<double>& probs, uint64_t seed) {
  double total = 0;
  for (double p : probs) total += p;
  if (!(total > 0) || !std::isfinite(total)) throw std::runtime_error("density matrix has zero or invalid trace.");
  std::mt19937_64 engine(seed);
  const double r = uniform_draw(engine) * std::nextafter(total, DBL_MAX);
  double running = 0;
  for (size_t k = 0; k < probs.size(); ++k) {
    running += probs[k];
    if (running >= r) return k;
  }
  return probs.size() - 1;
}

}  // namespace

// 256 threads, no shared memory; grid-stride over the diagonal.
template <typename T>
__global__ void __launch_bounds__(kProbThreads)
    density_measure_probs_kernel(int64_t n, const CuComplex<T>* rho, const int64_t* targets, int64_t m, bool little,
                                 double* probs) {
  const uint64_t dim = uint64_t{1} << n;
  for (uint64_t i = global_thread(); i < dim; i += grid_stride())
    atomicAdd(&probs[outcome_of(i, n, targets, m, little)], static_cast<double>(rho[i * dim + i].re));
}

// Block 32 x 8, x = column, y = row; one thread per entry. Kept entries are
// multiplied by `scale`; with a `prescale` other than 1 (a factor too large
// for the state's precision) by prescale and then scale, in double.
template <typename T>
__global__ void __launch_bounds__(32 * 8)
    density_measure_collapse_kernel(int64_t n, CuComplex<T>* rho, const int64_t* targets, int64_t m, bool little,
                                    uint64_t outcome, double prescale, double scale) {
  const uint64_t dim = uint64_t{1} << n;
  const uint64_t col = global_thread();
  const uint64_t row = global_thread_y();
  if (row >= dim || col >= dim) return;
  CuComplex<T>& entry = rho[row * dim + col];
  if (outcome_of(row, n, targets, m, little) == outcome && outcome_of(col, n, targets, m, little) == outcome) {
    if (prescale == 1.0)
      entry = quillmarch::scale(entry, static_cast<T>(scale));
    else
      entry = CuComplex<T>{static_cast<T>(static_cast<double>(entry.re) * prescale * scale),
                           static_cast<T>(static_cast<double>(entry.im) * prescale * scale)};
  } else
    entry = CuComplex<T>{T(0), T(0)};
}

namespace {

// Sums the diagonal by outcome into device_probs, the kernel putting order[j]
// in outcome bit m-1-j, and returns the sums; device_targets keeps the list
// for a following kernel.
template <typename T>
std::vector<double> outcome_sums(const CuComplex<T>* rho, uint64_t n, const std::vector<int64_t>& order, bool little,
                                 DeviceBuffer<int64_t>& device_targets, DeviceBuffer<double>& device_probs) {
  const auto m = static_cast<int64_t>(order.size());
  const uint64_t outcomes = uint64_t{1} << m;
  upload(device_targets.get(), order.data(), order.size());
  check_cuda(cudaMemset(device_probs.get(), 0, device_probs.bytes()));
  quillmarch::launch<density_measure_probs_kernel<T>>(
      dim3(grid_for(uint64_t{1} << n, kProbThreads)), dim3(kProbThreads), 0, nullptr, static_cast<int64_t>(n), rho,
      static_cast<const int64_t*>(device_targets.get()), m, little, device_probs.get());
  check_last_error();
  std::vector<double> probs(outcomes);
  download(probs.data(), device_probs.get(), outcomes);
  return probs;
}

}  // namespace

template <typename T>
std::string measure_density(CuComplex<T>* rho, uint64_t n, const std::vector<int64_t>& targets,
                            const std::string& endian, int device_id, uint64_t seed) {
  validate(n, targets, endian);
  const bool little = endian == "little";
  const auto m = static_cast<int64_t>(targets.size());
  const uint64_t outcomes = uint64_t{1} << m;
  const uint64_t dim = uint64_t{1} << n;

  check_cuda(cudaSetDevice(device_id));
  DeviceBuffer<int64_t> device_targets(targets.size(), device_id);
  DeviceBuffer<double> device_probs(outcomes, device_id);
  const std::vector<double> probs = outcome_sums(rho, n, targets, little, device_targets, device_probs);

  const uint64_t outcome = draw_outcome(probs, seed);
  if (!(probs[outcome] > 0)) throw std::runtime_error("Selected measurement probability is zero.");

  const CollapseFactors factors = collapse_factors<T>(probs[outcome], Renormalise::kDensity);
  const dim3 block(32, 8);
  const dim3 grid(grid_for(dim, block.x), grid_for(dim, block.y));
  quillmarch::launch<density_measure_collapse_kernel<T>>(grid, block, 0, nullptr, static_cast<int64_t>(n), rho,
                                                         static_cast<const int64_t*>(device_targets.get()), m, little,
                                                         outcome, factors.prescale, factors.scale);
  check_last_error();
  // The collapse reads the target list.
  check_cuda(cudaStreamSynchronize(nullptr));
  device_probs.release();
  device_targets.release();
  return outcome_string(outcome, static_cast<size_t>(m));
}

template <typename T>
std::vector<double> density_probabilities(const CuComplex<T>* rho, uint64_t n, const std::vector<int64_t>& targets,
                                          const std::string& endian, int device_id, bool first_target_low) {
  validate(n, targets, endian);
  // The kernel puts targets[j] in outcome bit m-1-j, so the reversed list
  // puts it in bit j.
  std::vector<int64_t> order(targets);
  if (first_target_low) std::reverse(order.begin(), order.end());
  check_cuda(cudaSetDevice(device_id));
  DeviceBuffer<int64_t> device_targets(order.size(), device_id);
  DeviceBuffer<double> device_probs(uint64_t{1} << order.size(), device_id);
  std::vector<double> probs = outcome_sums(rho, n, order, endian == "little", device_targets, device_probs);
  device_probs.release();
  device_targets.release();
  return probs;
}

#define KESTAMIRE_MEASURE_INSTANTIATE(T)                                                                             \
  template __global__ void density_measure_probs_kernel<T>(int64_t, const CuComplex<T>*, const int64_t*, int64_t,    \
                                                           bool, double*);                                           \
  template __global__ void density_measure_collapse_kernel<T>(int64_t, CuComplex<T>*, const int64_t*, int64_t, bool, \
                                                              uint64_t, double, double);                             \
  template std::string measure_density<T>(CuComplex<T>*, uint64_t, const std::vector<int64_t>&, const std::string&,  \
                                          int, uint64_t);                                                            \
  template std::vector<double> density_probabilities<T>(const CuComplex<T>*, uint64_t, const std::vector<int64_t>&,  \
                                                        const std::string&, int, bool);
KESTAMIRE_MEASURE_INSTANTIATE(float)
KESTAMIRE_MEASURE_INSTANTIATE(double)

}  // namespace kestamire
}  // namespace quillmarch
