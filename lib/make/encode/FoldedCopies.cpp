#include "make/encode/FoldedCopies.h"

#include <algorithm>
#include <optional>

namespace varnock::container {

CopyFolder::CopyFolder(ByteSpan source, PatchSink& output, std::uint64_t window)
    : source_(source), output_(output), window_(window), reader_(*this, source.size()), predictor_(source) {}

CopyFolder::~CopyFolder() = default;

void CopyFolder::Head(ByteSpan head) {
  const PatchHeader header = ReadPatchHeader(head, head.size() + 1);
  encoder_ = std::make_unique<PatchEncoder>(output_, header.source_crc, header.target_crc);
}

void CopyFolder::Instruction(std::uint64_t, ByteSpan head, const decode::Operation& operation) {
  // Every operation held is whole here, a literal's bytes included.
  if (window_read_ >= window_) Fold(false);
  window_read_ += head.size() + (operation.copies ? 0 : operation.length);
  if (operation.copies) {
    operations_.push_back({operation.from, operation.length, true});
    collector_.Copy(operation.from, operation.length, read_cursor_, read_target_);
    read_cursor_ = operation.from + operation.length;
  } else {
    operations_.push_back({bytes_.size(), operation.length, false});
    read_cursor_ += operation.length;
  }
  read_target_ += operation.length;
}

void CopyFolder::LiteralBytes(ByteSpan bytes) { bytes_.insert(bytes_.end(), bytes.begin(), bytes.end()); }

void CopyFolder::Stop(std::uint64_t) { Fold(true); }

bool CopyFolder::Explained(const Operation& operation, std::uint64_t at_cursor, std::uint64_t at_target) {
  if (operation.copies) return false;
  predicted_.resize(static_cast<std::size_t>(operation.length));
  predictor_.Predict(at_cursor, at_target, learnt_, predicted_);
  const auto bytes = bytes_.begin() + static_cast<std::ptrdiff_t>(operation.from);
  return std::equal(predicted_.begin(), predicted_.end(), bytes);
}

void CopyFolder::Fold(bool at_end) {
  window_read_ = 0;
  learnt_.Learn(collector_.TakeBlock());
  // Choosing reads the window as one block would.
  predictor_.StartBlock(0xFFFFFFFF);
  const std::size_t count = operations_.size() - (at_end || operations_.empty() ? 0 : 1);
  // Whether the literal after the copy before is explained, where that was asked.
  std::optional<bool> next_explained;
  for (std::size_t i = 0; i < count; ++i) {
    const Operation& operation = operations_[i];
    if (!operation.copies) {
      last_literal_explained_ = next_explained ? *next_explained : Explained(operation, cursor_, target_);
      next_explained.reset();
      const auto bytes = bytes_.begin() + static_cast<std::ptrdiff_t>(operation.from);
      literal_.insert(literal_.end(), bytes, bytes + static_cast<std::ptrdiff_t>(operation.length));
      cursor_ += operation.length;
    } else {
      const ByteSpan bytes = source_.subspan(static_cast<std::size_t>(operation.from),
                                             static_cast<std::size_t>(operation.length));
      // A copy on the cursor's diagonal between literals, beside one that the
      // prediction explains whole.
      bool fold = !literal_.empty() && operation.from == cursor_ && i + 1 < operations_.size() &&
                  !operations_[i + 1].copies &&
                  (last_literal_explained_ ||
                   *(next_explained = Explained(operations_[i + 1], cursor_ + operation.length,
                                                target_ + operation.length)));
      if (fold) {
        predicted_.resize(bytes.size());
        predictor_.Predict(cursor_, target_, learnt_, predicted_);
        fold = std::equal(predicted_.begin(), predicted_.end(), bytes.begin());
      }
      if (fold) {
        literal_.insert(literal_.end(), bytes.begin(), bytes.end());
        folded_ = true;
      } else {
        if (!literal_.empty()) encoder_->Literal(literal_);
        literal_.clear();
        encoder_->Copy(operation.from, operation.length);
      }
      cursor_ = operation.from + operation.length;
    }
    target_ += operation.length;
  }
  // The last operation, and its literal's bytes, wait for the next window.
  std::uint64_t kept_from = bytes_.size();
  if (count < operations_.size()) {
    Operation last = operations_.back();
    if (!last.copies) {
      kept_from = last.from;
      last.from = 0;
    }
    operations_.assign(1, last);
  } else {
    operations_.clear();
  }
  bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(kept_from));
  if (at_end) {
    if (!literal_.empty()) encoder_->Literal(literal_);
    literal_.clear();
    encoder_->Finish();
  }
}

bool CopyFolder::Finish() {
  reader_.Finish();
  return folded_;
}

}  // namespace varnock::container
