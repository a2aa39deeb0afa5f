// Makes a patch in memory and applies it with the applicator's own decoder.
#pragma once

#include "apply/InstructionStream.h"
#include "make/Maker.h"
#include "support/PatchBuilder.h"

namespace varnock::testing {

class MemorySink : public PatchSink {
 public:
  Bytes bytes;
  void Write(ByteSpan piece) override { bytes.insert(bytes.end(), piece.begin(), piece.end()); }
};

inline Bytes MakeInMemory(ByteSpan source, ByteSpan target, const MakerOptions& options = {},
                          const MakerProgress& progress = {}) {
  MemorySink sink;
  const MakerReport report = MakePatch(source, target, options, sink, progress);
  EXPECT_EQ(report.patch_size, sink.bytes.size());
  return std::move(sink.bytes);
}

// The target the patch rebuilds from `source`, checked as `varnock` checks it.
inline Bytes ApplyInMemory(ByteSpan patch, ByteSpan source) {
  const PatchHeader header = ValidatePatch(
      patch, [&] { return Crc32(source); }, "maker.patch");
  MemoryStream target;
  RunInstructionStream(patch, source, header, target);
  EXPECT_EQ(Crc32(target.contents), header.target_crc);
  return std::move(target.contents);
}

}  // namespace varnock::testing
