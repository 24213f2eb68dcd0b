#include "vorlent/fusion/fusion.h"

#include <stdexcept>
#include <utility>

namespace vorlent {

struct FusionPlan {};

PreparedFusionChunk::PreparedFusionChunk(int64_t n, std::vector<GateRecord> records)
    : n_(n), records_(std::move(records)) {}

PreparedFusionChunk::~PreparedFusionChunk() = default;

void PreparedFusionChunk::plan(const FusionOptions&) {
  throw std::runtime_error("gate fusion planning is not available yet in this build");
}

template <typename T>
void execute_prepared_fusion_chunk(const PreparedFusionChunk&, quillmarch::CuComplex<T>*, int) {
  throw std::runtime_error("fused chunk execution is not available yet in this build");
}

template void execute_prepared_fusion_chunk<float>(const PreparedFusionChunk&, quillmarch::CuComplex<float>*, int);
template void execute_prepared_fusion_chunk<double>(const PreparedFusionChunk&, quillmarch::CuComplex<double>*,
                                                    int);

}  // namespace vorlent
