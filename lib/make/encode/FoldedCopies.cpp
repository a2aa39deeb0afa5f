#include "make/encode/FoldedCopies.h"

#include <algorithm>
#include <optional>

#include "format/Instruction.h"
#include "make/encode/ContainerOutput.h"
#include "make/encode/PatchEncoder.h"

namespace varnock::container {
namespace {

struct Operation {
  bool copies;
  std::uint64_t from;  // a copy's source offset, a literal's offset in the patch
  std::uint64_t length;
};

}  // namespace

std::vector<std::uint8_t> FoldPredictedCopies(ByteSpan raw_patch, ByteSpan source, Predictor& predictor) {
  const PatchHeader header = ReadPatchHeader(raw_patch, raw_patch.size());
  const std::uint64_t head_size = std::uint64_t{header.header_size} + kSignatureSize;
  if (header.header_size != kMinimumHeaderSize) return {};
  std::vector<Operation> operations;
  StretchCollector collector;
  Equivalences learnt;
  std::uint64_t cursor = 0;
  std::uint64_t target = 0;
  const decode::WalkEnd end = decode::ForEachOperation(
      head_size, raw_patch.size(), source.size(),
      [&](std::uint64_t position) { return raw_patch.data() + position; },
      [&](std::uint64_t, std::uint8_t, const decode::Operation& operation) {
        operations.push_back({operation.copies, operation.from, operation.length});
        if (operation.copies) {
          collector.Copy(operation.from, operation.length, cursor, target);
          cursor = operation.from + operation.length;
        } else {
          cursor += operation.length;
        }
        target += operation.length;
      });
  if (end.fault != decode::Fault::kNone) decode::Raise(end.fault, end.position);
  learnt.Learn(collector.TakeBlock());

  // Choosing what to fold reads the whole patch as one block would.
  predictor.StartBlock(0xFFFFFFFF);
  RawPatchCollector sink;
  PatchEncoder encoder(sink, header.source_crc, header.target_crc);
  std::vector<std::uint8_t> literal;
  std::vector<std::uint8_t> predicted;
  bool folded = false;
  cursor = 0;
  target = 0;
  auto flush = [&] {
    encoder.Literal(literal);
    literal.clear();
  };
  // Whether a literal is all the prediction says it is: a stretch of such
  // literals and the copies between them folds into zeros.
  auto explained = [&](const Operation& operation, std::uint64_t at_cursor, std::uint64_t at_target) {
    if (operation.copies) return false;
    predicted.resize(static_cast<std::size_t>(operation.length));
    predictor.Predict(at_cursor, at_target, learnt, predicted);
    const ByteSpan bytes = raw_patch.subspan(static_cast<std::size_t>(operation.from), predicted.size());
    return std::equal(predicted.begin(), predicted.end(), bytes.begin());
  };
  bool last_literal_explained = false;
  // Whether the literal after the copy before is explained, where that was asked.
  std::optional<bool> next_explained;
  for (std::size_t i = 0; i < operations.size(); ++i) {
    const Operation& operation = operations[i];
    if (!operation.copies) {
      last_literal_explained = next_explained ? *next_explained : explained(operation, cursor, target);
      next_explained.reset();
      const ByteSpan bytes = raw_patch.subspan(static_cast<std::size_t>(operation.from),
                                               static_cast<std::size_t>(operation.length));
      literal.insert(literal.end(), bytes.begin(), bytes.end());
      cursor += operation.length;
    } else {
      const ByteSpan bytes = source.subspan(static_cast<std::size_t>(operation.from),
                                            static_cast<std::size_t>(operation.length));
      // A copy on the cursor's diagonal between literals, beside one that the
      // prediction explains whole.
      bool fold = !literal.empty() && operation.from == cursor && i + 1 < operations.size() &&
                  !operations[i + 1].copies &&
                  (last_literal_explained ||
                   *(next_explained =
                         explained(operations[i + 1], cursor + operation.length, target + operation.length)));
      if (fold) {
        predicted.resize(bytes.size());
        predictor.Predict(cursor, target, learnt, predicted);
        fold = std::equal(predicted.begin(), predicted.end(), bytes.begin());
      }
      if (fold) {
        literal.insert(literal.end(), bytes.begin(), bytes.end());
        folded = true;
      } else {
        if (!literal.empty()) flush();
        encoder.Copy(operation.from, operation.length);
      }
      cursor = operation.from + operation.length;
    }
    target += operation.length;
  }
  if (!literal.empty()) flush();
  encoder.Finish();
  if (!folded) return {};
  return sink.Release();
}

}  // namespace varnock::container
