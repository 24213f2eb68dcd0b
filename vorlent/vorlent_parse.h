// Gate-list parsers: Python gate lists to gate records (binding side).
#pragma once

#include <pybind11/pybind11.h>

#include <vector>

#include "vorlent/gate_record.h"

namespace vorlent {

std::vector<GateRecord> parse_gate_ir(const pybind11::list& gate_ir);
std::vector<GateRecord> parse_gate_objects(const pybind11::iterable& gates);
void load_unitary_matrix(const pybind11::handle& object, GateRecord& record);

}  // namespace vorlent
