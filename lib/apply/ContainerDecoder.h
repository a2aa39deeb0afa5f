// A container decoded back to its raw patch, block by block: each block's
// streams are decoded, its yield rebuilt and checked against its CRC-32, and
// only then handed on. Holds one block at a time.
#pragma once

#include <memory>
#include <optional>

#include "apply/SourceCache.h"
#include "format/ContainerFormat.h"
#include "format/Equivalences.h"
#include "format/Prediction.h"
#include "format/RawPatchDecoder.h"
#include "io/InputRanges.h"

namespace varnock::container {

// What a container's blocks chose, as decoded so far.
struct ContainerReport {
  std::uint32_t blocks = 0;
  std::uint32_t predicted_blocks = 0;
  // With a source: the references the prediction re-encoded, and the bytes
  // of predicted literals, of which those it got wrong.
  std::uint64_t references_reencoded = 0;
  std::uint64_t predicted_bytes = 0;
  std::uint64_t corrected_bytes = 0;
};

class ContainerDecoder final : public RawPatchDecoder {
 public:
  // Reads and checks the header of the container `input`; the source, read
  // for literals sent as differences, must be the one the header names (its
  // length and CRC-32 the caller checks first). Without a source (null) the
  // raw patch's structure is rebuilt and checked, but not what depends on the
  // source: literal bytes sent as differences, and so the CRC-32s.
  ContainerDecoder(InputRanges& input, InputRanges* source);

  const Header& header() const noexcept { return header_; }
  const ContainerReport& report() const noexcept { return report_; }
  // The prediction over the source, made at the first predicted block;
  // null before, and without a source.
  const Predictor* predictor() const noexcept { return predictor_.get(); }
  std::uint64_t RawLength() const noexcept override { return header_.raw_size; }
  std::size_t Read(std::span<std::uint8_t> into) override;
  void Restart() override;

 private:
  // Reads, rebuilds and checks the next block, or the end marker.
  void LoadBlock();
  void Rebuild(const Bytes (&streams)[kStreamCount], Transform transform, std::uint32_t yield);
  Predictor& SourcePredictor();
  // Writes `differences` plus the source's bytes from `offset` on (0 past its
  // end) to `out`; returns the end of what it wrote.
  std::uint8_t* AddSource(ByteSpan differences, std::uint64_t offset, std::uint8_t* out);
  void ReadInput(std::uint64_t offset, std::span<std::uint8_t> into);

  InputRanges& input_;
  InputRanges* source_;
  std::optional<SourceCache> source_cache_;
  Header header_;
  Bytes head_;
  std::uint64_t blocks_start_ = 0;  // where the first block header lies
  // Where the decoding stands.
  std::uint64_t next_block_ = 0;  // the container's offset of the next block header
  std::uint64_t produced_ = 0;    // raw bytes handed on
  std::uint64_t rebuilt_ = 0;     // raw bytes rebuilt (the head's included)
  std::uint32_t raw_crc_ = 0;
  std::uint64_t cursor_ = 0;
  std::uint64_t literal_left_ = 0;
  std::uint64_t target_size_ = 0;
  bool stopped_ = false;
  Bytes block_;  // the current block's yield
  std::size_t block_at_ = 0;
  // Where each literal's bytes go in block_, with the cursor and the target
  // offset at its first byte.
  struct LiteralPiece {
    std::size_t at;
    ByteSpan bytes;
    std::uint64_t cursor;
    std::uint64_t target;
  };
  std::vector<LiteralPiece> pieces_;
  // Writes a literal's bytes into block_ as `transform` has them.
  void FillLiteral(const LiteralPiece& piece, Transform transform);
  // A predicting container's stretches, learnt block by block, and the
  // prediction over the source, made at its first predicted block.
  bool learning_ = false;
  StretchCollector stretches_;
  Equivalences learnt_;
  std::unique_ptr<Predictor> predictor_;
  Bytes whole_source_;
  ContainerReport report_;
};

}  // namespace varnock::container
