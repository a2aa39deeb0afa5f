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
  //
  // Besides the inputs, for a source of S bytes and a target of T bytes, the
  // maker holds at most
  //   5 S + B + 8 min(T, 512 KiB) + 24 min(T, 1 MiB) + 2 MiB
  // where B is 64 MiB for a source of 64 MiB or more, else 256 KiB, and 5 S
  // is 9 S for a source of 2 GiB or more (the suffix array, 4 or 8 bytes a
  // source byte; a filter of the source's strings, 1 byte a source byte; B
  // for the suffix array's buckets; the parse and the candidates in flight,
  // whose 24 bytes a target byte are a bound seldom neared; buffers), and
  // only the buffer when either input is shorter than 8 bytes. With a limit below
  // that, the suffix index gives way to a sampled hash table of the source
  // that fits in what the limit leaves: it finds only matches of 16 bytes and
  // more, fewer as the limit shrinks. A limit below MakerLeastMemory() is
  // refused (ErrorKind::kBadArgument) before any work.
  std::uint64_t memory_limit = 0;
};

// Matching and writing go together, a segment at a time: kMatching counts the
// target bytes matched and written, kWriting the last step, 0 of 1 then 1 of 1.
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
  // Bytes the source's index took.
  std::uint64_t index_memory = 0;
  // The inputs' CRC-32 as the maker read them, at its start.
  std::uint32_t source_crc = 0;
  std::uint32_t target_crc = 0;
};

// The part of the bound above that does not depend on the source: the
// parse, the candidates in flight and the buffers.
std::uint64_t MakerWorkingMemory(std::uint64_t target_size);

// The least memory limit the maker can work in for inputs of these sizes:
// the above and the smallest sampled index; the buffer alone where there is
// nothing to match.
std::uint64_t MakerLeastMemory(std::uint64_t source_size, std::uint64_t target_size);

// Writes a patch that rebuilds `target` from `source`: by default the fewest
// patch bytes the matches found allow. Both must be under 4 GiB; a larger one
// raises Exception, as does a failure to get memory (EOutOfMemory) and
// whatever the sink or the progress callback raise. The same inputs and
// options give the same bytes on any machine and with any thread count.
MakerReport MakePatch(ByteSpan source, ByteSpan target, const MakerOptions& options, PatchSink& sink,
                      const MakerProgress& progress = {});

}  // namespace varnock
