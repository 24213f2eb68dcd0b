#include "vorlent/fusion/planner.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "common/fusion_scan.h"
#include "vorlent/gate_table.h"

namespace vorlent {
namespace fusion {

namespace {

using Complex = std::complex<double>;
using quillmarch::fusion_scan::ClusterScan;
using quillmarch::fusion_scan::local_index;
using quillmarch::fusion_scan::make_qubit_set;
using quillmarch::fusion_scan::PendingQueue;
using quillmarch::fusion_scan::ScanItem;

// DenseMM cost coefficients C0, C3, C4, C5, C8 per circuit-size breakpoint
// n = 14, 16, ..., 24 and active count k = 1..7; C1 = C2 = C7 = 0, C6 = 1.
struct CostRow {
  double c0, c3, c4, c5, c8;
};

constexpr int kCostBlocks = 6;
constexpr int kCostMaxK = 7;

const CostRow kDenseMMCostTable[kCostBlocks * kCostMaxK] = {
    {0.2267309915, 0.4663068114, 0.4305625079, 0.4126543972, 19.20419061},  // n 14, k 1
    {0.1936448856, 0.4348312641, 0.363032671, 0.3665311539, 8.573738628},   // n 14, k 2
    {0.1431459377, 0.2813128378, 0.4272427678, 0.3937908037, 6.835113424},  // n 14, k 3
    {0.1294603588, 0.4418767094, 0.4124389028, 0.4355293568, 6.59724339},   // n 14, k 4
    {0.1237039937, 0.4583208321, 0.460926279, 0.3607089269, 9.057600289},   // n 14, k 5
    {0.1134037947, 0.4200237677, 0.4096829191, 0.4169479613, 13.78678282},  // n 14, k 6
    {0.1439097654, 0.423664967, 0.4280879442, 0.4036212946, 37.75365022},   // n 14, k 7
    {0.2499536785, 0.4327765383, 0.4159954925, 0.4257499481, 57.63496777},  // n 16, k 1
    {0.1935236047, 0.4456121759, 0.4125726482, 0.423592569, 25.18019676},   // n 16, k 2
    {0.1449774106, 0.4037705297, 0.378061025, 0.3857775592, 10.86043326},   // n 16, k 3
    {0.1237890392, 0.396066647, 0.3837057141, 0.4006176829, 4.691281225},   // n 16, k 4
    {0.1197688318, 0.4081205374, 0.3712236518, 0.4402610052, 8.26337517},   // n 16, k 5
    {0.1362211732, 0.4317386592, 0.3777549916, 0.4194927532, 16.16928017},  // n 16, k 6
    {0.1649626971, 0.4801643006, 0.4317395824, 0.4289294586, 41.34353963},  // n 16, k 7
    {0.0623577125, 0.4048188074, 0.362952147, 0.3729365845, 49.93091677},   // n 18, k 1
    {0.0703647698, 0.3906147699, 0.3718418944, 0.3307937737, 22.30695604},  // n 18, k 2
    {0.0561787196, 0.4165279412, 0.3796676243, 0.3662542234, 9.174334911},  // n 18, k 3
    {0.0273214964, 0.3805148485, 0.3193008547, 0.4317869357, 4.11320011},   // n 18, k 4
    {0.0502081644, 0.3895374996, 0.3332073686, 0.3686740557, 8.132491486},  // n 18, k 5
    {0.0329637366, 0.4051349311, 0.3835218069, 0.3472308097, 13.85991679},  // n 18, k 6
    {0.0358002777, 0.3943217704, 0.3348748251, 0.3444463187, 38.9741526},   // n 18, k 7
    {0.0822500709, 0.3854695461, 0.3565873327, 0.3588609502, 64.79086346},  // n 20, k 1
    {0.0696640313, 0.3810080609, 0.3436941078, 0.3645507405, 26.229249},    // n 20, k 2
    {0.0313966879, 0.3594153364, 0.3465040022, 0.3722762727, 9.727643163},  // n 20, k 3
    {0.035598456, 0.4557457366, 0.4002886409, 0.3975650198, 5.361101005},   // n 20, k 4
    {0.0355785774, 0.4282642425, 0.3860270158, 0.3886413829, 8.52963323},   // n 20, k 5
    {0.0230712973, 0.4095765687, 0.3638007416, 0.3653354283, 15.04651301},  // n 20, k 6
    {0.0328167196, 0.3981510212, 0.3833523026, 0.3805736397, 40.36741902},  // n 20, k 7
    {0.0386908556, 0.4082006527, 0.3790144781, 0.3682198856, 65.18743873},  // n 22, k 1
    {0.0563003912, 0.3952628431, 0.352385924, 0.3629833039, 27.30378146},   // n 22, k 2
    {0.0396924953, 0.4131644747, 0.3718221339, 0.3810398916, 12.85829939},  // n 22, k 3
    {0.0360903995, 0.3751837202, 0.3803791644, 0.3883155239, 6.149488491},  // n 22, k 4
    {0.0325545535, 0.378395453, 0.3689890005, 0.3590252857, 8.639212137},   // n 22, k 5
    {0.0385665957, 0.4152876809, 0.3843099939, 0.3462436183, 16.37733394},  // n 22, k 6
    {0.0340686411, 0.3788890351, 0.3484452258, 0.3377141553, 48.12687581},  // n 22, k 7
    {0.0646315801, 0.3935932135, 0.3650757826, 0.3625834006, 69.72973701},  // n 24, k 1
    {0.0412030846, 0.3904604122, 0.3810597341, 0.3726857492, 28.45549612},  // n 24, k 2
    {0.041750792, 0.3345039189, 0.3369325833, 0.3451052982, 12.70231345},   // n 24, k 3
    {0.0271617336, 0.3967623538, 0.3566315969, 0.3739319939, 5.550459886},  // n 24, k 4
    {0.0542495392, 0.32280267, 0.3501258331, 0.3638225633, 10.23290912},    // n 24, k 5
    {0.030737535, 0.4368380848, 0.3659103299, 0.3699950918, 16.11271489},   // n 24, k 6
    {0.039171289, 0.4005399489, 0.3511638542, 0.3670682421, 45.13681553},   // n 24, k 7
};

CostRow cost_row(int64_t n, int64_t k) {
  const int64_t kk = std::min<int64_t>(std::max<int64_t>(k, 1), kCostMaxK);
  auto at = [&](int block) { return kDenseMMCostTable[block * kCostMaxK + (kk - 1)]; };
  if (n <= 14) return at(0);
  if (n >= 24) return at(kCostBlocks - 1);
  const int lo = static_cast<int>((n - 15) / 2);  // b_lo < n <= b_hi
  const double f = static_cast<double>(n - (14 + 2 * lo)) / 2.0;
  const CostRow a = at(lo), b = at(lo + 1);
  auto mix = [f](double x, double y) { return x + f * (y - x); };
  return {mix(a.c0, b.c0), mix(a.c3, b.c3), mix(a.c4, b.c4), mix(a.c5, b.c5), mix(a.c8, b.c8)};
}

// Cost of one gate relative to a general 2x2 gate, from the gate table's
// column of the cost row; X, Y and SWAP cost only the per-gate overhead.
double gate_cost(const CostRow& row, GateId id) {
  const GateInfo* gate = find_gate(id);
  switch (gate != nullptr ? gate->cost_column : 6) {
    case 3: return row.c3;
    case 4: return row.c4;
    case 5: return row.c5;
    case 6: return 1.0;
    default: return 0.0;  // columns 1, 2 and 7
  }
}

MatrixKind matrix_kind(GateId id) {
  const GateInfo* gate = find_gate(id);
  return gate != nullptr ? gate->fused_kind : General;
}

// Whether a gate may join a fused group. Control lists that the per-gate path
// refuses (a state other than 0/1, a repeated control, a control on a target)
// are not fusable either, so every mode rejects them the same way instead of
// a fused group applying them with some silent meaning.
bool fusable(const GateRecord& g, const FusionOptions& options) {
  if (g.controls.size() != g.control_state.size()) return false;
  for (int64_t s : g.control_state)
    if (s != 0 && s != 1) return false;
  std::vector<int64_t> qubits(g.controls);
  if (g.id == SWAP) {
    if (!options.fuse_swap || g.targets.size() != 2 || g.targets[0] == g.targets[1]) return false;
  } else {
    std::array<Complex, 4> m;
    if (!single_qubit_matrix(g, m)) return false;
  }
  qubits.insert(qubits.end(), g.targets.begin(), g.targets.end());
  std::sort(qubits.begin(), qubits.end());
  return std::adjacent_find(qubits.begin(), qubits.end()) == qubits.end();
}

FusionMatrixRecord make_record(const GateRecord& g, const std::vector<int64_t>& active) {
  FusionMatrixRecord r;
  if (g.id == SWAP) {
    if (g.controls.size() != g.control_state.size() || g.targets.size() != 2 || g.targets[0] == g.targets[1])
      throw std::invalid_argument("unsupported fused SWAP gate");
    r.kind = Swap;
    r.target = static_cast<int32_t>(local_index(active, g.targets[0]));
    r.target2 = static_cast<int32_t>(local_index(active, g.targets[1]));
    r.matrix = {Complex(1, 0), Complex(0, 0), Complex(0, 0), Complex(1, 0)};
  } else {
    if (!single_qubit_matrix(g, r.matrix)) throw std::invalid_argument("unsupported SparseShareMem gate");
    r.kind = matrix_kind(g.id);
    r.target = static_cast<int32_t>(local_index(active, g.targets[0]));
    r.target2 = -1;
  }
  for (size_t j = 0; j < g.controls.size(); ++j) {
    const int32_t bit = int32_t{1} << local_index(active, g.controls[j]);
    r.control_mask |= bit;
    if (g.control_state[j] == 1) r.control_value |= bit;
  }
  return r;
}

// U = G_L ... G_1 in the local basis, each record acting on rows of U.
std::vector<Complex> dense_product(const std::vector<FusionMatrixRecord>& records, size_t k) {
  const size_t d = size_t{1} << k;
  std::vector<Complex> u(d * d, Complex(0, 0));
  for (size_t i = 0; i < d; ++i) u[i * d + i] = Complex(1, 0);
  for (const FusionMatrixRecord& r : records) {
    const size_t t = size_t{1} << r.target;
    const size_t mask = static_cast<uint32_t>(r.control_mask), value = static_cast<uint32_t>(r.control_value);
    if (r.kind == Swap) {
      const size_t t2 = size_t{1} << r.target2;
      for (size_t j = 0; j < d; ++j) {
        if ((j & t) || !(j & t2) || (j & mask) != value) continue;
        std::swap_ranges(u.begin() + j * d, u.begin() + (j + 1) * d, u.begin() + ((j | t) & ~t2) * d);
      }
      continue;
    }
    const auto& m = r.matrix;
    for (size_t j = 0; j < d; ++j) {
      if ((j & t) || (j & mask) != value) continue;
      Complex* row0 = &u[j * d];
      Complex* row1 = &u[(j | t) * d];
      for (size_t c = 0; c < d; ++c) {
        const Complex a = row0[c], b = row1[c];
        row0[c] = m[0] * a + m[1] * b;
        row1[c] = m[2] * a + m[3] * b;
      }
    }
  }
  return u;
}

// Options whose DenseMM matrices could not be held are refused up front.
void check_options(int64_t n, const FusionOptions& o) {
  const int64_t largest = std::min<int64_t>({o.densemm_max_qubits, o.sparsesharemem_qubits, n - 1});
  if (largest > kMaxDenseQubits && o.densemm_min_qubits <= largest)
    throw std::invalid_argument("DenseMM groups are limited to " + std::to_string(kMaxDenseQubits) +
                                " active qubits: lower densemm_max_qubits or sparsesharemem_qubits to at most " +
                                std::to_string(kMaxDenseQubits));
}

// Cuts the gate list into groups, one at a time from the front of the
// pending gates: scan and select (common/fusion_scan.h) pick the group's
// gates, finish gives it its active qubits, kind, records and matrix, and
// offsets finally place every group's records and matrix in the chunk-wide
// arrays the executor uploads.
class Planner {
 public:
  Planner(int64_t n, const std::vector<GateRecord>& gates, const FusionOptions& options,
          const std::function<void()>& check_interrupt)
      : n_(n),
        gates_(gates),
        o_(options),
        check_interrupt_(check_interrupt),
        window_(options.max_gates_per_group > 0 ? std::min<size_t>(options.max_gates_per_group, gates.size()) : 0),
        clusters_(n, window_, options.sparsesharemem_qubits),
        pending_(gates.size()) {
    touched_start_.reserve(gates.size() + 1);
    fusable_.reserve(gates.size());
    for (const GateRecord& g : gates) {
      touched_start_.push_back(touched_.size());
      const std::vector<int64_t> q = touched_qubits(g);
      touched_.insert(touched_.end(), q.begin(), q.end());
      fusable_.push_back(fusable(g, o_));
    }
    touched_start_.push_back(touched_.size());
  }

  FusionPlan run() {
    FusionPlan plan;
    while (!pending_.empty()) {
      poll(1);
      scan();
      FusedGroup group;
      group.gate_indices = clusters_.select();
      pending_.take(group.gate_indices, clusters_.visited());
      finish(group);
      plan.groups.push_back(std::move(group));
    }
    assign_offsets(plan);
    return plan;
  }

 private:
  ScanItem item(int64_t g) const {
    return {fusable_[g] != 0, touched_.data() + touched_start_[g], touched_.data() + touched_start_[g + 1]};
  }

  void scan() {
    clusters_.scan(
        pending_.begin(), std::min(window_, pending_.size()), [this](int64_t g) { return item(g); },
        [this] { poll(1); });
  }

  // Active qubits, kind (one gate: AutoPair; else DenseMM where it is allowed
  // and its cost score is positive, SparseShareMem otherwise, padded when
  // asked), then one record per gate and, for DenseMM, the product matrix.
  void finish(FusedGroup& group) {
    for (int64_t g : group.gate_indices) {
      const ScanItem it = item(g);
      group.active_qubits.insert(group.active_qubits.end(), it.qubits_begin, it.qubits_end);
    }
    make_qubit_set(group.active_qubits);
    if (group.gate_indices.size() == 1) {
      group.kind = GroupKind::AutoPair;
      return;
    }
    const auto k = static_cast<int64_t>(group.active_qubits.size());
    group.kind = GroupKind::SparseShareMem;
    if (k >= o_.densemm_min_qubits && k <= o_.densemm_max_qubits && k < n_) {
      std::vector<const GateRecord*> members;
      for (int64_t g : group.gate_indices) members.push_back(&gates_[g]);
      if (densemm_score(n_, k, members, o_.densemm_gate_threshold_scale) > 0) group.kind = GroupKind::DenseMM;
    }
    if (group.kind == GroupKind::SparseShareMem && o_.pad_sparsesharemem) {
      std::vector<int64_t>& a = group.active_qubits;
      for (int64_t q = 0; q < n_ && static_cast<int64_t>(a.size()) < o_.sparsesharemem_qubits; ++q)
        if (!std::binary_search(a.begin(), a.begin() + k, q)) a.push_back(q);
      std::sort(a.begin(), a.end());
    }
    for (int64_t g : group.gate_indices) group.records.push_back(make_record(gates_[g], group.active_qubits));
    if (group.kind == GroupKind::DenseMM) group.dense_matrix = dense_product(group.records, static_cast<size_t>(k));
  }

  // Records and matrices are laid out in group order.
  static void assign_offsets(FusionPlan& plan) {
    for (FusedGroup& group : plan.groups) {
      if (group.kind == GroupKind::SparseShareMem) {
        group.record_offset = plan.sparse_record_count;
        plan.sparse_record_count += static_cast<int64_t>(group.records.size());
      } else if (group.kind == GroupKind::DenseMM) {
        group.matrix_offset = plan.dense_entry_count;
        plan.dense_entry_count += static_cast<int64_t>(group.dense_matrix.size());
      }
    }
  }

  // Polls the interrupt check after about 2^16 units of work.
  void poll(size_t work) {
    work_ += work;
    if (work_ < (size_t{1} << 16)) return;
    work_ = 0;
    if (check_interrupt_) check_interrupt_();
  }

  int64_t n_;
  const std::vector<GateRecord>& gates_;
  const FusionOptions& o_;
  const std::function<void()>& check_interrupt_;
  size_t window_;  // gates one scan may visit
  ClusterScan clusters_;
  PendingQueue pending_;
  std::vector<size_t> touched_start_;
  std::vector<int64_t> touched_;
  std::vector<char> fusable_;
  size_t work_ = 0;
};

}  // namespace

double densemm_score(int64_t n, int64_t k, const std::vector<const GateRecord*>& gates, double threshold_scale) {
  const CostRow row = cost_row(n, k);
  double score = -threshold_scale * row.c8;
  for (const GateRecord* g : gates)
    score += row.c0 + std::ldexp(1.0, -static_cast<int>(g->controls.size())) * gate_cost(row, g->id);
  return score;
}

FusionPlan plan_fusion_chunk(int64_t n, const std::vector<GateRecord>& gates, const FusionOptions& options,
                             const std::function<void()>& check_interrupt) {
  check_options(n, options);
  return Planner(n, gates, options, check_interrupt).run();
}

}  // namespace fusion
}  // namespace vorlent
