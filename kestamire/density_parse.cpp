#include "kestamire/density_parse.h"

#include <stdexcept>

namespace quillmarch {
namespace kestamire {

std::vector<DensityOperation> parse_density_operations(const pybind11::iterable& operations) {
  std::vector<DensityOperation> out;
  for (pybind11::handle item : operations) {
    (void)item;
    throw std::runtime_error("density operations are not available yet in this build");
  }
  return out;
}

}  // namespace kestamire
}  // namespace quillmarch
