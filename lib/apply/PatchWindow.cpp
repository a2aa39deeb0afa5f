#include "apply/PatchWindow.h"

#include <algorithm>

#include "format/Instruction.h"

namespace varnock {

PatchWindow::PatchWindow(InputRanges& input, std::size_t capacity)
    : input_(input),
      size_(input.Size()),
      capacity_(std::max<std::size_t>(capacity, 16)),
      bytes_(std::make_unique_for_overwrite<std::uint8_t[]>(capacity_)) {}

void PatchWindow::Refill(std::uint64_t offset) {
  const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(capacity_, size_ - offset));
  // Emptied first: a read that fails leaves no window with the wrong bytes.
  start_ = end_ = heads_end_ = 0;
  input_.Read(offset, {bytes_.get(), count});
  start_ = offset;
  end_ = offset + count;
  // A window shorter than the patch's rest holds at least 16 bytes.
  heads_end_ = end_ == size_ ? end_ : end_ - (decode::kLongestInstructionHead - 1);
}

std::vector<std::uint8_t> ReadPatchHead(InputRanges& patch) {
  std::vector<std::uint8_t> head(
      static_cast<std::size_t>(std::min<std::uint64_t>(patch.Size(), kLongestPatchHead)));
  patch.Read(0, head);
  return head;
}

}  // namespace varnock
