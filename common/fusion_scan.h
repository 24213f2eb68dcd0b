// The scan and selection both fusion planners share (state vectors and density
// matrices): which pending items form the next group.
//
// The rule: a group is a set of pending items that together touch at most
// `limit` qubits, and no item in it runs ahead of an earlier item outside it
// that shares a qubit with it. The scan walks the pending items in order and
// grows, per qubit, the cluster of admitted items that reach that qubit
// through shared qubits; an item that names a qubit outside the register, a
// qubit a refused item holds, or that would grow its cluster past the limit is
// refused and holds its qubits for the rest of the scan. An item that may not
// be grouped at all ends the scan. The selection then takes whole clusters,
// largest first (lowest qubit on ties), while their union stays in the limit,
// together with every cluster that the union already covers.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quillmarch {
namespace fusion_scan {

inline int popcount(uint64_t x) { return __builtin_popcountll(x); }

// The pending items of a plan, in order; groups leave from its front part.
class PendingQueue {
 public:
  explicit PendingQueue(size_t count) : items_(count) {
    for (size_t i = 0; i < count; ++i) items_[i] = static_cast<int64_t>(i);
  }

  bool empty() const { return head_ == items_.size(); }
  size_t size() const { return items_.size() - head_; }
  const int64_t* begin() const { return items_.data() + head_; }

  // Removes a group's items, all among the first `visited` pending ones; an
  // empty group becomes the first pending item alone.
  void take(std::vector<int64_t>& group, size_t visited) {
    if (group.empty()) {
      group.push_back(items_[head_++]);
      return;
    }
    size_t write = head_ + visited, g = group.size();
    for (size_t r = head_ + visited; r-- > head_;) {
      if (g > 0 && group[g - 1] == items_[r]) {
        --g;
        continue;
      }
      items_[--write] = items_[r];
    }
    head_ = write;
  }

 private:
  std::vector<int64_t> items_;
  size_t head_ = 0;
};

// An item as the scan sees it: whether it may be grouped, and its qubits,
// ascending and distinct.
struct ScanItem {
  bool fusable = false;
  const int64_t* qubits_begin = nullptr;
  const int64_t* qubits_end = nullptr;
};

// Per-qubit cluster masks and item sets of one scan. Sets are bit sets over
// the scan's visiting order, which is ascending item order.
class ClusterScan {
 public:
  ClusterScan(int64_t n, size_t window, int32_t limit)
      : n_(n),
        limit_(limit),
        words_((window + 63) / 64),
        sets_(static_cast<size_t>(n) * words_, 0),
        masks_(static_cast<size_t>(n), 0),
        merged_(words_),
        chosen_(words_) {
    visited_.reserve(window);
  }

  // Visits up to `count` items from `pending` (ascending); `item(i)` describes
  // item i, `poll()` is called once per examined item.
  template <typename Item, typename Poll>
  void scan(const int64_t* pending, size_t count, Item&& item, Poll&& poll) {
    std::fill(masks_.begin(), masks_.end(), 0);
    // Only the words the previous scan reached can be non-zero.
    for (int64_t q = 0; q < n_; ++q) std::fill(row(q), row(q) + used_, 0);
    blocked_ = 0;
    visited_.clear();
    used_ = 0;
    for (size_t v = 0; v < count; ++v) {
      const int64_t g = pending[v];
      visited_.push_back(g);
      used_ = v / 64 + 1;
      const ScanItem it = item(g);
      if (!it.fusable) break;
      poll();
      uint64_t m = 0;
      if (!try_join(it, m)) {
        block(it);
        continue;
      }
      admit(it, m, v);
    }
  }

  // The selected items, ascending; empty when no cluster holds an item.
  std::vector<int64_t> select() {
    std::fill(chosen_.begin(), chosen_.end(), 0);
    uint64_t taken = 0, active_mask = 0;
    for (;;) {
      const int64_t pick = largest_fitting(taken, active_mask);
      if (pick < 0) break;
      const uint64_t* picked = row(pick);
      add_to(chosen_, picked);
      active_mask |= masks_[pick];
      taken |= uint64_t{1} << pick;
      for (int64_t q = 0; q < n_; ++q) {
        if (taken >> q & 1) continue;
        uint64_t* s = row(q);
        if ((active_mask | masks_[q]) == active_mask) {
          add_to(chosen_, s);
          taken |= uint64_t{1} << q;
        } else {
          for (size_t w = 0; w < used_; ++w) s[w] &= ~picked[w];
        }
      }
    }
    std::vector<int64_t> out;
    for (size_t v = 0; v < visited_.size(); ++v)
      if (chosen_[v / 64] >> (v % 64) & 1) out.push_back(visited_[v]);
    return out;
  }

  // Items the last scan visited, the one that ended it included.
  size_t visited() const { return visited_.size(); }

 private:
  uint64_t* row(int64_t q) { return sets_.data() + static_cast<size_t>(q) * words_; }

  void add_to(std::vector<uint64_t>& out, const uint64_t* set) const {
    for (size_t w = 0; w < used_; ++w) out[w] |= set[w];
  }

  // The item's cluster mask if it joins: false when a qubit lies outside the
  // register or is held by a refused item, or the cluster would exceed the limit.
  bool try_join(const ScanItem& it, uint64_t& m) const {
    for (const int64_t* q = it.qubits_begin; q != it.qubits_end; ++q) {
      if (*q < 0 || *q >= n_ || (blocked_ >> *q & 1)) return false;
      m |= masks_[*q] | uint64_t{1} << *q;
    }
    return popcount(m) <= limit_;
  }

  // Later items on these qubits may not jump ahead of the refused one.
  void block(const ScanItem& it) {
    for (const int64_t* q = it.qubits_begin; q != it.qubits_end; ++q)
      if (*q >= 0 && *q < n_) blocked_ |= uint64_t{1} << *q;
  }

  // Merges the clusters of the item's qubits, the item itself included.
  void admit(const ScanItem& it, uint64_t m, size_t v) {
    std::fill(merged_.begin(), merged_.begin() + used_, 0);
    for (const int64_t* q = it.qubits_begin; q != it.qubits_end; ++q) add_to(merged_, row(*q));
    merged_[v / 64] |= uint64_t{1} << (v % 64);
    for (const int64_t* q = it.qubits_begin; q != it.qubits_end; ++q) {
      masks_[*q] = m;
      std::copy(merged_.begin(), merged_.begin() + used_, row(*q));
    }
  }

  size_t count_bits(const uint64_t* set) const {
    size_t c = 0;
    for (size_t w = 0; w < used_; ++w) c += popcount(set[w]);
    return c;
  }

  // The untaken qubit with the largest non-empty set whose cluster still fits
  // beside `active_mask`; the lowest such qubit on ties, -1 when none.
  int64_t largest_fitting(uint64_t taken, uint64_t active_mask) {
    int64_t pick = -1;
    size_t best = 0;
    for (int64_t q = 0; q < n_; ++q) {
      if (taken >> q & 1) continue;
      const size_t size = count_bits(row(q));
      if (size > best && popcount(active_mask | masks_[q]) <= limit_) {
        best = size;
        pick = q;
      }
    }
    return pick;
  }

  int64_t n_;
  int32_t limit_;
  size_t words_;
  std::vector<uint64_t> sets_;
  std::vector<uint64_t> masks_;
  std::vector<uint64_t> merged_, chosen_;
  std::vector<int64_t> visited_;
  uint64_t blocked_ = 0;
  size_t used_ = 0;  // words of the scan's sets that can be non-zero
};

// Sorts a qubit list and drops repeats: the active set of a group.
inline void make_qubit_set(std::vector<int64_t>& qubits) {
  std::sort(qubits.begin(), qubits.end());
  qubits.erase(std::unique(qubits.begin(), qubits.end()), qubits.end());
}

// Position of `qubit` in a group's ascending active list.
inline int64_t local_index(const std::vector<int64_t>& active, int64_t qubit) {
  return std::lower_bound(active.begin(), active.end(), qubit) - active.begin();
}

}  // namespace fusion_scan
}  // namespace quillmarch
