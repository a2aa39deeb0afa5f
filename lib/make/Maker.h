// The patch maker's core: finds where the target's bytes lie in the source and
// writes the instructions that rebuild the target, in the format the
// applicator reads. It works on byte spans, writes through a sink, and neither
// prints nor exits; failures are raised as exceptions of the Exception family.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "common/Progress.h"
#include "format/PatchFormat.h"
#include "make/IndexPlan.h"
#include "make/encode/PatchSink.h"

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
  // The default index depends on the inputs' sizes alone. Below a source of
  // 1 GiB the long stretches shared with the source are found by blocks and
  // written as they are, and the rest is searched in at most the suffix
  // array of the source, which finds every match of 8 bytes and more that
  // starts outside those stretches; the maker holds at most
  //   4.375 S + B + T + 8 min(T, 512 KiB) + 24 min(T, 1 MiB) + 2 MiB
  // besides the inputs, for a source of S bytes and a target of T bytes,
  // where B is the largest power of two no more than S / 16 within 256 KiB
  // to 64 MiB (the suffix array, 4 bytes a source byte; a filter of the
  // source's strings, 3 bits a source byte; B for the suffix array's
  // buckets; the stretches found by blocks, a byte a target byte at most;
  // the parse and the
  // candidates in flight, whose 24 bytes a target byte are a bound seldom
  // neared; buffers), and only the buffer when either input is shorter than 8
  // bytes. From 1 GiB on it is a hash table of the source's 16-byte strings
  // at every step-th position, of at most 2 S bytes (step 4 to 8), which finds
  // every match of 16 + step - 1 bytes and more. With a limit, the suffix
  // index where it fits (4.375 S is 8.375 S from a source of 2 GiB on), else the
  // sampled one of what the limit leaves (at least 64 KiB): it finds fewer
  // matches as the limit shrinks. A limit below MakerLeastMemory() is
  // refused (ErrorKind::kBadArgument) before any work.
  std::uint64_t memory_limit = 0;
  // From 1 to 9: below 9, the default, a sampled index of 2 S bytes at 8,
  // halved at each level down (S / 64 at 1), whatever the sizes: faster and
  // smaller, it finds fewer matches. A limit still caps it. Outside 1 to 9:
  // ErrorKind::kBadArgument before any work.
  unsigned level = kDefaultMakerLevel;
  // Without a limit, what the machine can give before the run: the default
  // index where it fits in that, else the index a limit of that size would
  // get (MakerReport says so), or EOutOfMemory when not even the smallest
  // fits. Unset, the OS is asked (platform::AvailableMemory); tests set it.
  std::optional<std::uint64_t> available_memory;
  // Forces an index, the sampled one at its default size, whatever the
  // sizes and the limit; for tests and measurements.
  enum class Index { kChosen, kSuffix, kSampled } index = Index::kChosen;
  // The inputs are read-only views of files (platform::MapReadOnlyView): the
  // pages of both are handed back to the OS behind the passes that read them
  // (maker::ViewPages), so that the run holds what it is reading rather than
  // both inputs. Never for memory of the caller's own, whose contents would
  // be lost.
  bool inputs_are_file_views = false;
  // The patch goes out in a container (doc/container-format.md), made by the
  // callers that write it (MakePatchFile, the library) from the raw patch.
  // The raw patch is then parsed for the container (smaller there, larger
  // raw), and `compressible` changes nothing. Each segment of the target is
  // parsed twice and held until the better way is known: up to 88 bytes
  // more a byte of a 512 KiB segment (44 MiB, a bound seldom neared:
  // postgres's took 6 MiB more), besides the container's few blocks in flight
  // (make/encode/ContainerWriter.h).
  bool container = false;
};

// The maker's progress goes through Stage::kIndexing, kMatching, kWriting
// and kVerifying. Matching and writing go together, a segment at a time:
// kMatching counts the target bytes matched and written, kWriting the last
// step, 0 of 1 then 1 of 1. kVerifying is reported by MakePatchFile
// (make/PatchFile.h), after MakePatch. The ProgressReport is called on the
// thread that called MakePatch, often enough for a smooth bar. It may throw
// to cancel: the exception leaves MakePatch as it is.

struct MakerReport {
  std::uint64_t patch_size = 0;
  // The memory limit made the maker fall back to the smaller index.
  bool used_small_index = false;
  // The machine could not give what the default index needed (only without
  // a limit): a smaller one was used, and the patch may differ from the one
  // a larger machine makes. The two figures, in bytes besides the inputs.
  bool machine_too_small = false;
  std::uint64_t memory_needed = 0;
  std::uint64_t memory_available = 0;
  // Bytes the source's index took.
  std::uint64_t index_memory = 0;
  // The inputs' CRC-32 as the maker read them, at its start.
  std::uint32_t source_crc = 0;
  std::uint32_t target_crc = 0;
};

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
                      const ProgressReport& progress = {});

}  // namespace varnock
