// Placeholder until the channel and Kraus kernels are built.
#include "kestamire/kestamire_kraus.h"

#include <stdexcept>

namespace quillmarch {
namespace kestamire {

bool recognize_channel(const DensityOperation&, int&, double&) {
  throw std::runtime_error("noise channels are not available yet in this build");
}

template <typename T>
void launch_channel(CuComplex<T>*, uint64_t, uint64_t, int, T) {
  throw std::runtime_error("noise channels are not available yet in this build");
}

template <typename T>
void launch_kraus(CuComplex<T>*, uint64_t, const CuComplex<T>*, int64_t, const DeviceTargets&) {
  throw std::runtime_error("Kraus operators are not available yet in this build");
}

#define KESTAMIRE_KRAUS_INSTANTIATE(T)                                                                         \
  template void launch_channel<T>(CuComplex<T>*, uint64_t, uint64_t, int, T);                                  \
  template void launch_kraus<T>(CuComplex<T>*, uint64_t, const CuComplex<T>*, int64_t, const DeviceTargets&);
KESTAMIRE_KRAUS_INSTANTIATE(float)
KESTAMIRE_KRAUS_INSTANTIATE(double)

}  // namespace kestamire
}  // namespace quillmarch
