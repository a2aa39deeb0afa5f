// The patch maker's core: finds where the target's bytes lie in the source and
// writes the instructions that rebuild the target, in the format the
// applicator reads. It works on byte spans, writes through a sink, and neither
// prints nor exits; failures are raised as exceptions of the Exception family.
#pragma once

#include <cstdint>
#include <functional>

#include "patch/PatchFormat.h"

namespace varnock {

struct MakerOptions {
  // Aim at the smallest patch after a general-purpose compressor rather than
  // the smallest patch as stored.
  bool compressible = false;
  // Threads that find matches; 0 takes one per core. The patch's bytes never
  // depend on it.
  unsigned threads = 0;
  // Bytes the maker may hold besides the inputs; 0 sets no limit. Past it a
  // smaller index is used, and MakerReport says so.
  std::uint64_t memory_limit = 0;
};

// kVerifying is reported by MakePatchFile (maker/PatchFile.h), after MakePatch.
enum class MakerStage { kIndexing, kMatching, kWriting, kVerifying };

// Called on the thread that called MakePatch, often enough for a smooth bar.
// It may throw to cancel: the exception leaves MakePatch as it is.
using MakerProgress = std::function<void(MakerStage stage, std::uint64_t done, std::uint64_t total)>;

// Receives the patch front to back, in pieces.
class PatchSink {
 public:
  virtual ~PatchSink() = default;
  virtual void Write(ByteSpan bytes) = 0;
};

struct MakerReport {
  std::uint64_t patch_size = 0;
  // The memory limit made the maker fall back to the smaller index.
  bool used_small_index = false;
};

// Writes a patch that rebuilds `target` from `source`. Both must be under
// 4 GiB; a larger one raises Exception.
MakerReport MakePatch(ByteSpan source, ByteSpan target, const MakerOptions& options, PatchSink& sink,
                      const MakerProgress& progress = {});

}  // namespace varnock
