// Finds the references of a source executable, the same set whichever
// windows of the file it is asked for, so that an applier asking window by
// window agrees with a maker that asked for the whole file.
//
// Code is scanned in chunks of kChunkBytes of file offset (a code range's part
// of one chunk is one piece). Each piece's scan starts at the piece's start and
// depends on nothing before it; a reference belongs to the piece its
// instruction starts in, even where its field runs into the next chunk, and
// is dropped where its field overlaps one that the next piece's scan finds or
// a relocation-listed field. x86 scans are greedy: after a hit the scan goes
// on past its field. Relocation-listed pointers come from a sorted index of
// their locations; where two listed fields overlap, the one at the lower
// location (then the narrower) is kept.
//
// Changing kChunkBytes, a pattern or a rule changes the set found: both sides
// of a patch must agree on them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "exe/Image.h"
#include "exe/Reference.h"

namespace varnock::exe {

inline constexpr std::uint64_t kChunkBytes = 4096;
// The farthest, in instructions, an AArch64 ADD or LDR/STR lies after the
// ADRP it is paired with.
inline constexpr std::uint64_t kArm64PairWords = 8;

// Memory: the finder keeps the image's regions and code ranges, and an index of
// 8 bytes per relocation-listed pointer; listed fields never overlap and lie
// in the file, so there are at most file.size() / 4 of them. Building the index
// holds at most kMaxRelocationEntries(file.size()) raw entries of 8 bytes;
// entries past that many are not read.
inline constexpr std::uint64_t kMaxRelocationEntries(std::uint64_t file_bytes) { return file_bytes / 4; }

class ReferenceFinder {
 public:
  // `file` must outlive the finder and be the file `image` was parsed from.
  ReferenceFinder(const Image& image, ByteSpan file);

  // Appends to `out`, in increasing location order, the references whose
  // location (the field's first byte) lies in [begin, end) of the file; the
  // field may run up to 7 bytes past `end`. A reference belongs to exactly one
  // window of any partition of the file, so the results for [a, b) and [b, c)
  // together are the result for [a, c). Every field found lies in the file,
  // no two overlap, and each one's Decode gives its target_va (for ADRP its
  // page, for the lo12 kinds its low 12 bits). Safe to call from several
  // threads at once.
  void Find(std::uint64_t begin, std::uint64_t end, std::vector<Reference>& out) const;

  // What the scan of one chunk leaves to the next: the references its pieces
  // found whose fields start in the next chunk (an instruction's last bytes,
  // an ADRP's pairs).
  class Carry {
   public:
    Carry() = default;

   private:
    friend class ReferenceFinder;
    std::uint64_t chunk = ~std::uint64_t{0};  // the chunk scanned last
    std::vector<Reference> hits;              // in the chunk after it
  };

  // Appends to `out` what Find gives for chunk `chunk`'s window. A caller
  // asking chunk after chunk keeps `carry` from call to call: where it holds
  // what the chunk before left, that chunk is not scanned again, which
  // halves the scanning of chunks asked for in order.
  void FindChunk(std::uint64_t chunk, Carry& carry, std::vector<Reference>& out) const;

  // The bytes the finder holds beyond its own size.
  std::size_t MemoryBytes() const;

  const Image& image() const { return image_; }

 private:
  using Hit = Reference;

  // The hits of the pieces of chunk `chunk`, every code range's.
  void ScanChunk(std::uint64_t chunk, std::vector<Hit>& hits) const;
  // Those of them whose fields start past the chunk, found by scanning as
  // little of its end as the machine's scan allows.
  void ScanChunkSpill(std::uint64_t chunk, std::vector<Hit>& hits) const;
  // Appends to `out` the hits in [begin, end) and the listed pointers there,
  // in location order.
  void Merge(std::uint64_t begin, std::uint64_t end, std::vector<Hit>& hits,
             std::vector<Reference>& out) const;
  void ScanPiece(const Section& range, std::uint64_t begin, std::uint64_t end, std::vector<Hit>& hits) const;
  void ScanX86(const Section& range, std::uint64_t begin, std::uint64_t end, std::vector<Hit>& hits) const;
  void ScanArm64(const Section& range, std::uint64_t begin, std::uint64_t end, std::vector<Hit>& hits) const;
  void ScanArm32(const Section& range, std::uint64_t begin, std::uint64_t end, std::vector<Hit>& hits) const;
  void BuildIndex();

  Image image_;
  ByteSpan file_;
  // location * 2 + (1 for an 8-byte field), sorted; the fields are disjoint.
  std::vector<std::uint64_t> listed_;
};

}  // namespace varnock::exe
