#include "make/IndexPlan.h"

#include <algorithm>
#include <bit>

#include "make/Pipeline.h"
#include "make/encode/PatchEncoder.h"
#include "make/index/CoveredMatch.h"
#include "make/index/Matcher.h"
#include "make/index/SourceIndex.h"

namespace varnock {

std::uint64_t MakerWorkingMemory(std::uint64_t target_size) {
  const std::uint64_t segment = std::min(target_size, maker::kSegmentSize);
  const std::uint64_t in_flight = std::min(target_size, maker::kSegmentSize * maker::kSegmentsInFlight);
  // The parse's 8 bytes per segment byte; at most two candidates of 12 bytes
  // per target byte in flight; the encoder's buffer.
  return 8 * (segment + 1) + 2 * sizeof(maker::CopyCandidate) * in_flight + kEncoderBuffer;
}

}  // namespace varnock

namespace varnock::maker {
namespace {

IndexPlan Sampled(std::uint64_t source_size, std::uint64_t target_size, std::uint64_t budget) {
  const std::uint64_t memory = SampledIndexMemory(source_size, budget);
  return {IndexKind::kSampled, memory, memory + MakerWorkingMemory(target_size)};
}

IndexPlan Suffix(std::uint64_t source_size, std::uint64_t target_size) {
  return {IndexKind::kSuffix, 0, CoveredMemory(source_size, target_size) + MakerWorkingMemory(target_size)};
}

}  // namespace

IndexPlan PlanOfKind(IndexKind kind, std::uint64_t source_size, std::uint64_t target_size) {
  if (kind == IndexKind::kSuffix) return Suffix(source_size, target_size);
  return Sampled(source_size, target_size, 2 * source_size);
}

IndexPlan DefaultPlan(std::uint64_t source_size, std::uint64_t target_size) {
  return PlanOfKind(source_size < kSampledByDefaultFrom ? IndexKind::kSuffix : IndexKind::kSampled,
                    source_size, target_size);
}

IndexPlan PlanOfLevel(unsigned level, std::uint64_t source_size, std::uint64_t target_size) {
  if (level >= kDefaultMakerLevel) return DefaultPlan(source_size, target_size);
  return Sampled(source_size, target_size, (2 * source_size) >> (kDefaultMakerLevel - 1 - level));
}

IndexPlan PlanWithin(std::uint64_t source_size, std::uint64_t target_size, std::uint64_t limit) {
  const IndexPlan suffix = Suffix(source_size, target_size);
  if (suffix.memory <= limit) return suffix;
  const std::uint64_t working = MakerWorkingMemory(target_size);
  return Sampled(source_size, target_size, limit > working ? limit - working : 0);
}

}  // namespace varnock::maker
