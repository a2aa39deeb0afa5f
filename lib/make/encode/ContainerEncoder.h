// Makes a container from a raw patch and the source it was made for.
#pragma once

#include <cstdint>

#include "format/ContainerFormat.h"

namespace varnock::container {

// What the streams of a container chose, for the maker's report and the benchmarks.
struct EncodeReport {
  std::uint32_t blocks = 0;
  std::uint32_t difference_blocks = 0;            // blocks whose literals went as differences from the source
  std::uint32_t predicted_blocks = 0;             // blocks whose literals went against a prediction
  std::uint64_t references_predicted = 0;         // references re-encoded in making the predicted forms
  std::uint64_t stream_bytes[kStreamCount] = {};  // each stream's stored bytes, all blocks
};

// The container of `raw_patch`, a well-formed patch for `source` (raises
// Exception otherwise), in blocks yielding at most `options.block_limit` bytes,
// compressed on up to `threads` threads (0: one); its bytes never depend on
// the thread count.
inline constexpr std::uint32_t kDefaultBlockLimit = 8 << 20;

struct EncodeOptions {
  std::uint32_t block_limit = kDefaultBlockLimit;
  // Off, the container is the first version's whatever the source: what
  // tests and benchmarks weigh the predicting one against.
  bool predict = true;
};

// Where the source is an executable whose references the container
// predicts, the raw patch it carries may be another than `raw_patch`: the
// copies the prediction makes needless are folded into literals. That patch
// is put in `carried` when given (empty otherwise); it rebuilds the same
// target, which the caller checks.
Bytes EncodeContainer(ByteSpan raw_patch, ByteSpan source, unsigned threads,
                      const EncodeOptions& options = {}, EncodeReport* report = nullptr,
                      Bytes* carried = nullptr);

}  // namespace varnock::container
