// Gate-list parsers: Python gate lists to gate records (binding side).
#pragma once

#include "common/py_guard.h"

#include <vector>

#include "vorlent/gate_record.h"

namespace vorlent {

std::vector<GateRecord> parse_gate_ir(const pybind11::list& gate_ir);
std::vector<GateRecord> parse_gate_objects(const pybind11::iterable& gates);
void load_unitary_matrix(const pybind11::handle& object, GateRecord& record);

// Refuses angles and UNITARY matrix entries that are NaN, infinite, or beyond
// the range of the precision the gates will run in.
void check_gate_values(const std::vector<GateRecord>& records, bool is_double);

}  // namespace vorlent
