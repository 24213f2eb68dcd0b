// The circuit runner: applies gate records to a device state in list order,
// gate by gate through the per-gate dispatch or in fused groups.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/cu_complex.h"
#include "vorlent/gate_record.h"

namespace vorlent {

template <typename T>
void run_gates_on_device(uint64_t n, quillmarch::CuComplex<T>* d_state, uint64_t num_state,
                         const std::vector<GateRecord>& records, const std::string& endian, int device_id,
                         KernelMode mode);

template <typename T>
void run_gate_list(uint64_t n, quillmarch::CuComplex<T>* d_state, const std::vector<GateRecord>& records,
                   KernelMode mode);

}  // namespace vorlent
