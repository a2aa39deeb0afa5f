#include "apply/PatchScan.h"

#include <algorithm>

#include "format/Instruction.h"

namespace varnock {

StreamCounts ScanStream(PatchWindow& patch, const PatchHeader& header) {
  // Every offset and length is below 2^32: no copy can pass this bound.
  constexpr std::uint64_t kAnySource = ~std::uint64_t{0} >> 1;
  const std::uint64_t last = patch.Size() - 1;
  StreamCounts counts;
  std::uint64_t position = std::uint64_t{header.header_size} + kSignatureSize;
  while (position < last) {
    if (!patch.HoldsHead(position)) patch.Refill(position);
    const decode::Operation operation =
        decode::DecodeOperation(patch.At(position), position, patch.Size(), kAnySource);
    if (operation.fault != decode::Fault::kNone) decode::Raise(operation.fault, position);
    counts.target_size += operation.length;
    if (operation.copies) {
      ++counts.copies;
      counts.bytes_copied += operation.length;
      counts.source_reach = std::max(counts.source_reach, operation.from + operation.length);
    } else {
      ++counts.literals;
      counts.bytes_carried += operation.length;
    }
    position = operation.next;
  }
  decode::CheckStreamEnd(position, last, patch.View(last, 1)[0]);
  return counts;
}

}  // namespace varnock
