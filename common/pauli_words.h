// Pauli words as bit masks, their validation and their grouping into read
// passes. Shared by the state-vector and density-matrix observables.
//
// For a word P and basis state |i>: P|i> = i^y (-1)^popcount(i & sign_mask)
// |i ^ flip>, where flip holds the X and Y qubits, sign_mask the Z and Y
// qubits and y counts the Y letters. Words with one flip mask need the same
// amplitudes, so they are summed in one pass over the state.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

namespace quillmarch {

struct PauliWord {
  uint64_t flip = 0;
  uint64_t sign_mask = 0;
  unsigned y_count = 0;
};

// One word as the caller wrote it: a string of n letters, character q acting
// on qubit q, or (qubit, letter) pairs. `malformed` marks an item that was
// neither, so its message comes in word order with the other checks.
struct PauliWordText {
  bool is_string = true;
  bool malformed = false;
  std::string letters;
  std::vector<std::pair<int64_t, std::string>> pairs;
};

namespace pauli_detail {

inline std::string word_label(size_t index) { return "pauli word " + std::to_string(index); }

inline void add_letter(PauliWord& word, const std::string& letter, int64_t qubit, size_t index) {
  const uint64_t bit = uint64_t{1} << qubit;
  if (letter == "I") return;
  if (letter == "X") {
    word.flip |= bit;
  } else if (letter == "Y") {
    word.flip |= bit;
    word.sign_mask |= bit;
    ++word.y_count;
  } else if (letter == "Z") {
    word.sign_mask |= bit;
  } else {
    throw std::invalid_argument(word_label(index) + ": unknown letter '" + letter + "' (letters are I, X, Y, Z)");
  }
}

}  // namespace pauli_detail

// Validates every word against n qubits before anything runs; the first bad
// word, in list order, decides the message.
inline std::vector<PauliWord> parse_pauli_words(const std::vector<PauliWordText>& texts, int64_t n) {
  std::vector<PauliWord> words;
  words.reserve(texts.size());
  for (size_t k = 0; k < texts.size(); ++k) {
    const PauliWordText& text = texts[k];
    const std::string label = pauli_detail::word_label(k);
    if (text.malformed)
      throw std::invalid_argument(label + " must be a string of letters or a sequence of (qubit, letter) pairs");
    PauliWord word;
    if (text.is_string) {
      if (static_cast<int64_t>(text.letters.size()) != n)
        throw std::invalid_argument(label + " has " + std::to_string(text.letters.size()) + " letters, expected " +
                                    std::to_string(n) + " (one per qubit)");
      for (size_t q = 0; q < text.letters.size(); ++q)
        pauli_detail::add_letter(word, std::string(1, text.letters[q]), static_cast<int64_t>(q), k);
    } else {
      uint64_t seen = 0;
      for (const auto& pair : text.pairs) {
        const int64_t q = pair.first;
        if (q < 0 || q >= n)
          throw std::invalid_argument(label + ": qubit " + std::to_string(q) + " out of range for " +
                                      std::to_string(n) + " qubits");
        if ((seen >> q) & 1) throw std::invalid_argument(label + ": qubit " + std::to_string(q) + " given twice");
        seen |= uint64_t{1} << q;
        pauli_detail::add_letter(word, pair.second, q, k);
      }
    }
    words.push_back(word);
  }
  return words;
}

// The most words one pass accumulates: one double register per word and thread.
constexpr size_t kMaxPassWords = 32;

// Word indices of one read pass: at most kMaxPassWords words, one flip mask.
struct PauliPass {
  uint64_t flip = 0;
  std::vector<size_t> words;
};

// Groups words by flip mask in order of first appearance, then cuts each group
// into passes of at most kMaxPassWords.
inline std::vector<PauliPass> plan_pauli_passes(const std::vector<PauliWord>& words) {
  std::vector<PauliPass> groups;
  std::unordered_map<uint64_t, size_t> group_of;
  for (size_t k = 0; k < words.size(); ++k) {
    const auto found = group_of.emplace(words[k].flip, groups.size());
    if (found.second) groups.push_back(PauliPass{words[k].flip, {}});
    groups[found.first->second].words.push_back(k);
  }
  std::vector<PauliPass> passes;
  for (const PauliPass& group : groups) {
    for (size_t start = 0; start < group.words.size(); start += kMaxPassWords) {
      const size_t end = std::min(group.words.size(), start + kMaxPassWords);
      passes.push_back(
          PauliPass{group.flip, std::vector<size_t>(group.words.begin() + static_cast<std::ptrdiff_t>(start),
                                                    group.words.begin() + static_cast<std::ptrdiff_t>(end))});
    }
  }
  return passes;
}

// Kernel argument of a pass of `count` <= K words (the padding words up to K
// are summed but never written out). A word's pass sum is the real part (bit k
// of take_imag clear) or the imaginary part of its phased terms; pauli_factor
// turns it into the expectation value.
//
// Work layout of every observable kernel: thread t = block * 256 + lane
// takes the items lane | (c << 8) | (block << (8 + loop_bits)) for its loop
// steps c < 2^loop_bits. A warp reads consecutive amplitudes at each step and
// one thread stays within its block's contiguous range.
constexpr unsigned kLaneBits = 8;

// Signs as bit vectors: bit k of signs(w) is the parity of word k's Z and Y
// qubits in the basis index of work item w. Every kernel maps work items to
// indices by a bit embedding, so signs is linear over xor: a thread starts
// from signs(its step-0 item), xoring sign_bit[b] for each set bit b, and as
// its step c becomes c + 1 the item bits of c ^ (c + 1) << kLaneBits change,
// which is sign_step[ctz(c + 1)].
template <int K>
struct PauliPassArgs {
  uint64_t flip;
  uint32_t count;
  uint32_t take_imag;
  uint32_t loop_bits;
  uint32_t sign_bit[64];
  uint32_t sign_step[64];
};

// `gap`: the index bit left out of the work item (the pair bit), 64 for none.
template <int K>
PauliPassArgs<K> pass_args(const PauliPass& pass, const std::vector<PauliWord>& words, unsigned gap,
                           unsigned loop_bits) {
  PauliPassArgs<K> args{};
  args.flip = pass.flip;
  args.count = static_cast<uint32_t>(pass.words.size());
  args.loop_bits = loop_bits;
  for (size_t k = 0; k < pass.words.size(); ++k) {
    const PauliWord& w = words[pass.words[k]];
    if (w.y_count & 1) args.take_imag |= uint32_t{1} << k;
    for (unsigned b = 0; b < 64; ++b) {
      const unsigned pos = b < gap ? b : b + 1;
      if (pos < 64 && ((w.sign_mask >> pos) & 1)) args.sign_bit[b] |= uint32_t{1} << k;
    }
  }
  uint32_t step = 0;
  for (unsigned c = 0; kLaneBits + c < 64; ++c) {
    step ^= args.sign_bit[kLaneBits + c];
    args.sign_step[c] = step;
  }
  return args;
}

// Loop steps per thread for 2^work_bits items on `threads` threads (powers of
// two): what the threads do not cover at one item each.
inline unsigned loop_bits_for(unsigned work_bits, uint64_t threads) {
  unsigned thread_bits = 0;
  while ((uint64_t{1} << thread_bits) < threads) ++thread_bits;
  return work_bits > thread_bits ? work_bits - thread_bits : 0;
}

// Re(i^y z) is +Re z, -Im z, -Re z, +Im z for y = 0, 1, 2, 3 (mod 4).
inline double pauli_factor(const PauliWord& word) {
  return (word.y_count & 3) == 0 || (word.y_count & 3) == 3 ? 1.0 : -1.0;
}

// The smallest pass width of the instantiated set {1, 2, 4, 8, 16, 32}.
inline int pass_width(size_t count) {
  int k = 1;
  while (static_cast<size_t>(k) < count) k <<= 1;
  return k;
}

// Calls f(std::integral_constant<int, K>{}) with the instantiated width K that
// holds `count` words, so a launcher can pick its kernel at compile time.
template <typename F>
void with_pass_width(size_t count, F&& f) {
  static_assert(kMaxPassWords == 32, "pass widths are instantiated up to 32 words");
  switch (pass_width(count)) {
    case 1: f(std::integral_constant<int, 1>{}); break;
    case 2: f(std::integral_constant<int, 2>{}); break;
    case 4: f(std::integral_constant<int, 4>{}); break;
    case 8: f(std::integral_constant<int, 8>{}); break;
    case 16: f(std::integral_constant<int, 16>{}); break;
    default: f(std::integral_constant<int, 32>{}); break;
  }
}

}  // namespace quillmarch
