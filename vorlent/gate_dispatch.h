// Per-gate dispatch: one gate record to its family's launcher. The runner's
// gate-by-gate path and the single-gate groups of fused execution both call it.
#pragma once

#include <cstdint>

#include "common/cu_complex.h"
#include "vorlent/gate_record.h"

namespace vorlent {

// Checks the record's parameter (or, for SWAP, target) count, launches it in
// `mode` on the default stream and reads the launch error.
template <typename T>
void apply_gate(uint64_t n, quillmarch::CuComplex<T>* d_state, const GateRecord& record, KernelMode mode);

}  // namespace vorlent
