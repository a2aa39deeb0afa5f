// One block of a container, from its streams before compression to its
// bytes: the literal form a fast compressor finds smallest, and each stream
// kept the cheapest way. Blocks are encoded alone, so on any thread, and
// the same bytes however many threads encode one.
#pragma once

#include <cstdint>
#include <vector>

#include "format/ContainerStreams.h"
#include "format/Equivalences.h"

namespace varnock::container {

struct BlockStreams {
  std::uint64_t start = 0;  // of its yield in the raw patch
  std::uint32_t yield = 0;
  std::uint32_t crc = 0;  // of its yield
  BlockForms forms;
  // For the predicted form, made once the block's copies are all known: its
  // literals' pieces in order (where the cursor and the target stood, and
  // how many bytes each put in the plain form) and the stretches its copies
  // move.
  struct Piece {
    std::uint64_t cursor;
    std::uint64_t target;
    std::uint32_t count;
  };
  std::vector<Piece> pieces;
  std::vector<Stretch> stretches;
};

// What a container's blocks chose, for the maker's report and the benchmarks.
struct EncodeReport {
  std::uint32_t blocks = 0;
  std::uint32_t difference_blocks = 0;            // blocks whose literals went as differences from the source
  std::uint32_t predicted_blocks = 0;             // blocks whose literals went against a prediction
  std::uint64_t references_predicted = 0;         // references re-encoded in making the predicted forms
  std::uint64_t stream_bytes[kStreamCount] = {};  // each stream's stored bytes, all blocks
};

struct EncodedBlock {
  Bytes bytes;
  Transform transform = Transform::kPlain;
  std::uint64_t stream_bytes[kStreamCount] = {};
};

// `block`'s bytes as the container lays them out, its streams compressed
// on up to `threads` threads; its predicted form is weighed only with
// `predicted`, where it has been made.
EncodedBlock EncodeBlock(const BlockStreams& block, bool predicted, unsigned threads = 1);

// Adds a block's choices to a report.
void Tally(EncodeReport& report, const EncodedBlock& block);

}  // namespace varnock::container
