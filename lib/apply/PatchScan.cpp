#include "apply/PatchScan.h"

#include <algorithm>

#include "format/Instruction.h"

namespace varnock {

StreamCounts ScanStream(PatchWindow& patch, const PatchHeader& header) {
  // Every offset and length is below 2^32: no copy can pass this bound.
  constexpr std::uint64_t kAnySource = ~std::uint64_t{0} >> 1;
  StreamCounts counts;
  const decode::WalkEnd end = decode::ForEachOperation(
      std::uint64_t{header.header_size} + kSignatureSize, patch.Size(), kAnySource,
      [&](std::uint64_t position) { return patch.Head(position); },
      [&](std::uint64_t, std::uint8_t, const decode::Operation& operation) {
        counts.target_size += operation.length;
        if (operation.copies) {
          ++counts.copies;
          counts.bytes_copied += operation.length;
          counts.source_reach = std::max(counts.source_reach, operation.from + operation.length);
        } else {
          ++counts.literals;
          counts.bytes_carried += operation.length;
        }
      });
  if (end.fault != decode::Fault::kNone) decode::Raise(end.fault, end.position);
  const std::uint64_t last = patch.Size() - 1;
  decode::CheckStreamEnd(end.position, last, patch.View(last, 1)[0]);
  return counts;
}

}  // namespace varnock
