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
  // `source` must outlive the predictor. Parses it as an executable; where
  // it is none the prediction is the source's bytes alone.
  explicit Predictor(std::span<const std::uint8_t> source);
  ~Predictor();
  Predictor(const Predictor&) = delete;
  Predictor& operator=(const Predictor&) = delete;

  // Whether the source is an executable whose references are known.
  bool Knows() const noexcept { return finder_ != nullptr; }

  // Starts a block of `yield` bytes: nothing is held, and the block may have
  // the references of at most ChunkBudget(yield) chunks found (4 KiB of the
  // source each); its literals past that are predicted as the source's
  // bytes. So a hostile container costs at most about 16 times its yield in
  // scanning, and maker and decoder, asking alike block by block, find alike.
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
  // Chunks the block may still have scanned; unbounded until StartBlock.
  std::uint64_t budget_ = ~std::uint64_t{0};
  std::uint64_t predicted_ = 0;
};

}  // namespace varnock::container
