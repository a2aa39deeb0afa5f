// Makes a container from a raw patch and the source it was made for.
#pragma once

#include <cstdint>

#include "format/ContainerFormat.h"

namespace varnock::container {

// What the streams of a container chose, for the maker's report and the benchmarks.
struct EncodeReport {
  std::uint32_t blocks = 0;
  std::uint32_t difference_blocks = 0;            // blocks whose literals went as differences
  std::uint64_t stream_bytes[kStreamCount] = {};  // each stream's stored bytes, all blocks
};

// The container of `raw_patch`, a well-formed patch for `source` (raises
// Exception otherwise), in blocks yielding at most `block_limit` bytes,
// compressed on up to `threads` threads (0: one); its bytes never depend on
// the thread count.
Bytes EncodeContainer(ByteSpan raw_patch, ByteSpan source, unsigned threads,
                      std::uint32_t block_limit = 8 << 20, EncodeReport* report = nullptr);

}  // namespace varnock::container
