// The maker's proof of its own work: a patch is applied in memory through the
// decoder the applicator runs, and what it writes is compared with the target.
#pragma once

#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include "common/Errors.h"
#include "make/Maker.h"
#include "make/ViewPages.h"

namespace varnock {

// Checks `patch` as the applicator would check it against `source` (header,
// source checksum, magic, version, every instruction, the stop byte), then
// that its runs make exactly `target` and that the target checksum it carries
// is `target`'s. Raises Exception naming the first fault. Holds no copy of
// the target; reports Stage::kVerifying as it goes, and an exception
// thrown by `progress` leaves as it is. With `file_views` both inputs are
// views of files (platform::MapReadOnlyView) whose pages are handed back to
// the system as the check goes (maker::ViewPages): the target's once
// compared, the source's each step of the target and whenever the copies
// have read more of it, here and there, than `source_room` (what the
// maker's index took, MakerReport::index_memory: the run held that much
// anyway), so that the check holds the patch and what it is comparing, not
// both inputs.
void VerifyPatch(ByteSpan patch, ByteSpan source, ByteSpan target, const ProgressReport& progress = {},
                 bool file_views = false, std::uint64_t source_room = 0);

// What VerifyPatch and VerifyingSink raise for a patch that does not rebuild
// the target (not for an exception of the progress callback).
class ENotRebuilt : public Exception {
 public:
  explicit ENotRebuilt(const std::string& fault)
      : Exception("The patch made does not rebuild the target: " + fault) {}
};

// No progress to report: a patch checked as it is written has no verifying
// stage of its own.
inline const ProgressReport kNoProgress;

// The same check made on a patch as it is written, for a stream that cannot
// be read back: each piece is checked as far as it completes instructions,
// then passed on to `output`. Holds at most the bytes of one instruction not
// yet whole (a literal's own bytes are compared as they come, never held),
// so that the patch need not be kept in memory. Raises as VerifyPatch does;
// the pieces before the fault have been passed on by then.
class VerifyingSink : public PatchSink {
 public:
  // `file_views` and `source_room` as for VerifyPatch; by default the
  // source's pages are left where they are, since the maker may be
  // searching the source all over meanwhile. `progress`, which must outlive
  // it, gets Stage::kVerifying as the target is compared.
  VerifyingSink(PatchSink& output, ByteSpan source, ByteSpan target, bool file_views = false,
                const ProgressReport& progress = kNoProgress,
                std::uint64_t source_room = std::numeric_limits<std::uint64_t>::max());
  ~VerifyingSink() override;
  void Write(ByteSpan bytes) override;
  // The patch is complete: its last byte must be the stop, the target whole.
  void Finish();

 private:
  void Check(ByteSpan bytes);
  // Compares the bytes of the literal being read that `bytes` begins with;
  // returns how many it took.
  std::uint64_t TakeLiteral(ByteSpan bytes);
  // Decodes the whole instructions held; returns when one is not yet whole.
  void Decode();

  PatchSink& output_;
  ByteSpan source_;
  ByteSpan target_;
  maker::ViewPages pages_;
  class Comparison;
  std::unique_ptr<Comparison> comparison_;
  std::vector<std::uint8_t> held_;
  std::optional<PatchHeader> header_;
  // Bytes of the literal being read that are still to come.
  std::uint64_t literal_left_ = 0;
  // That literal is longer than a run may be.
  bool oversized_literal_ = false;
  // Patch bytes decoded and no longer held.
  std::uint64_t consumed_ = 0;
};

}  // namespace varnock
