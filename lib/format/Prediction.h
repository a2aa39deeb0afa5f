// The bytes a literal of a predicted block is taken against: the source's
// on the cursor's diagonal, as the difference transform has them, with every
// reference among them (a call's displacement, a relocated pointer ...)
// re-encoded for where its own location and its target went. A reference
// whose code moved along with what it names then costs nothing; only what
// the prediction gets wrong is carried, as non-zero differences.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "exe/Reference.h"
#include "exe/ReferenceFinder.h"
#include "format/Equivalences.h"

namespace varnock::container {

class Predictor {
 public:
  // What the predictor keeps of the references it found, beyond the table
  // of the chunks about the literals being predicted. The maker predicts the
  // same source several times over (the fold, two encodings) and keeps every
  // chunk's, about 2 bytes a reference (16 MiB at most); the
  // decoder predicts once and keeps the table's alone.
  enum class Keep : std::uint8_t { kTable, kEveryChunk };

  // `source` must outlive the predictor. Parses it as an executable; where
  // it is none the prediction is the source's bytes alone.
  explicit Predictor(std::span<const std::uint8_t> source, Keep keep = Keep::kEveryChunk);
  ~Predictor();
  Predictor(const Predictor&) = delete;
  Predictor& operator=(const Predictor&) = delete;

  // Whether the source is an executable whose references are known.
  bool Knows() const noexcept { return finder_ != nullptr; }

  // Starts a block of `yield` bytes: its table of chunks starts empty, and
  // the block may have the references of at most ChunkBudget(yield) chunks
  // its table does not hold found (4 KiB of the source each); its literals
  // past that are predicted as the source's bytes. So a hostile container
  // costs at most about 16 times its yield in scanning, and maker and
  // decoder, asking alike block by block, find alike. What was kept from
  // before spares a chunk's scanning, never the block's count of it.
  void StartBlock(std::uint32_t yield);
  static constexpr std::uint64_t ChunkBudget(std::uint32_t yield) { return yield / 256 + 1024; }

  // Writes to `out` the prediction of a literal whose first byte lands at
  // target offset `target` with the cursor at `cursor`: s[cursor + k] (0
  // past the source's end), references re-encoded where `learnt` maps
  // their targets.
  void Predict(std::uint64_t cursor, std::uint64_t target, const Equivalences& learnt,
               std::span<std::uint8_t> out);

  // References re-encoded so far, for reports.
  std::uint64_t predicted() const noexcept { return predicted_; }
  // What the source is, for reports: "ELF x86-64", "PE x86" ..., or empty
  // where it is no executable known.
  std::string Kind() const;
  // The references found in the whole source; reads all of it.
  std::uint64_t CountReferences() const;

 private:
  // The references whose location lies in chunk `chunk`, held for the next
  // literals, which mostly lie near.
  const std::vector<exe::Reference>& Chunk(std::uint64_t chunk);

  // Puts the references of `chunk` in `out`, kept from before, or returns
  // false where they were not.
  bool Recall(std::uint64_t chunk, std::vector<exe::Reference>& out) const;
  void Remember(std::uint64_t chunk, const std::vector<exe::Reference>& references);

  static constexpr std::uint64_t kNoChunk = ~std::uint64_t{0};
  std::span<const std::uint8_t> source_;
  std::unique_ptr<exe::Image> image_;
  std::unique_ptr<exe::ReferenceFinder> finder_;
  exe::ReferenceFinder::Carry carry_;
  struct HeldChunk {
    std::uint64_t index = kNoChunk;
    std::vector<exe::Reference> references;
  };
  // Direct-mapped by chunk: 4 MiB of the source's references about the
  // literals being predicted, a few MiB of memory.
  static constexpr std::size_t kHeldChunks = 1024;
  // The table as a block counts it: the chunk each slot was last given in
  // this block. What the slots hold outlives the block: a chunk found again
  // is the same, and only what the block may scan is the rule's.
  std::vector<std::uint64_t> tags_;
  std::vector<HeldChunk> held_;
  // Every chunk's references found so far (Keep::kEveryChunk), as words:
  // each reference one, its offset in the chunk * 16 + its kind, its target
  // decoded again from its bytes; where they do not give it (an AArch64
  // page and its pairs), the kind kStated, then the kind and the target in
  // four words. The words lie in pages that are never moved, so that
  // keeping costs what is kept and no more; past kMostKeptWords, chunks are
  // found each time again.
  Keep keep_;
  struct Kept {
    static constexpr std::uint32_t kNone = ~std::uint32_t{0};
    std::uint32_t page = kNone;
    std::uint16_t start = 0;
    std::uint16_t words = 0;  // at most 6 * 1,024
  };
  std::vector<Kept> kept_;  // by chunk, made at the first chunk kept
  static constexpr std::size_t kPageWords = std::size_t{1} << 15;
  std::vector<std::unique_ptr<std::uint16_t[]>> pages_;
  std::size_t page_used_ = 0;  // words of the last page
  std::vector<std::uint16_t> scratch_;
  static constexpr std::uint16_t kStated = 15;
  static constexpr std::size_t kMostKeptWords = std::size_t{8} << 20;
  // Chunks the block may still have scanned; unbounded until StartBlock.
  std::uint64_t budget_ = ~std::uint64_t{0};
  std::uint64_t predicted_ = 0;
};

// Writes `differences` plus `predicted`, byte by byte, to `out` (a predicted
// literal as the decoder rebuilds it) and returns how many differences are
// not 0: the bytes the prediction got wrong. `out` may be either of them.
std::uint64_t AddPrediction(std::span<const std::uint8_t> differences, const std::uint8_t* predicted,
                            std::uint8_t* out);

}  // namespace varnock::container
