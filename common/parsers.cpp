#include "common/parsers.h"

#include <random>
#include <stdexcept>

namespace quillmarch {

std::string show_text(const std::string& text) {
  bool plain = true;
  for (unsigned char c : text) plain = plain && c >= 0x20 && c != 0x7f;
  if (plain) return text;
  static const char hex[] = "0123456789abcdef";
  std::string out = "'";
  for (unsigned char c : text) {
    if (c == '\\' || c == '\'') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0x20 && c != 0x7f) {
      out += static_cast<char>(c);
    } else {
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out + "'";
}

int parse_device(const std::string& text) {
  if (text == "cuda" || text == "gpu") return 0;
  const std::string prefix = "cuda:";
  if (text.compare(0, prefix.size(), prefix) == 0) return std::stoi(text.substr(prefix.size()));
  throw std::invalid_argument("device must be 'cuda', 'gpu', or 'cuda:<id>', got: " + show_text(text));
}

int parse_dtype(const std::string& text) {
  if (text == "complex64") return 0;
  if (text == "complex128") return 1;
  throw std::invalid_argument("dtype must be 'complex64' or 'complex128', got: " + show_text(text));
}

void check_endian(const std::string& text) {
  if (text != "little" && text != "big") throw std::invalid_argument("endian must be 'little' or 'big'");
}

unsigned long long system_seed() {
  std::random_device device("default");
  return static_cast<unsigned long long>(static_cast<uint32_t>(device()));
}

}  // namespace quillmarch
