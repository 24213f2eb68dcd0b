#include "common/parsers.h"

#include <random>
#include <stdexcept>

namespace quillmarch {

int parse_device(const std::string& text) {
  if (text == "cuda" || text == "gpu") return 0;
  const std::string prefix = "cuda:";
  if (text.compare(0, prefix.size(), prefix) == 0) return std::stoi(text.substr(prefix.size()));
  throw std::invalid_argument("device must be 'cuda', 'gpu', or 'cuda:<id>', got: " + text);
}

int parse_dtype(const std::string& text) {
  if (text == "complex64") return 0;
  if (text == "complex128") return 1;
  throw std::invalid_argument("dtype must be 'complex64' or 'complex128', got: " + text);
}

void check_endian(const std::string& text) {
  if (text != "little" && text != "big") throw std::invalid_argument("endian must be 'little' or 'big'");
}

unsigned long long system_seed() {
  std::random_device device("default");
  return static_cast<unsigned long long>(static_cast<uint32_t>(device()));
}

}  // namespace quillmarch
