// The maker's patch put in a container (doc/container-format.md) as it is
// written, and the proof that the container rebuilds the target, read back
// as applying reads it.
#pragma once

#include <memory>
#include <vector>

#include "common/Progress.h"
#include "make/encode/ContainerEncoder.h"
#include "make/encode/FoldedCopies.h"

namespace varnock {

// Takes the raw patch as the maker writes it and writes its container to
// `out`. A short patch is held and made every way (EncodeContainer); past
// kLargestUnsurePatch it goes on through the folding of copies, where the
// source is an executable whose references are predicted, into a
// ContainerWriter, and is held no more.
class ContainerMaking final : public PatchSink {
 public:
  // `threads` 0: one per core.
  ContainerMaking(ByteSpan source, unsigned threads, container::ContainerSink& out);
  ~ContainerMaking() override;
  void Write(ByteSpan raw) override;
  // After the patch's last byte; writes what is left.
  container::EncodeReport Finish();

 private:
  void Start();

  ByteSpan source_;
  unsigned threads_;
  container::ContainerSink& out_;
  std::vector<std::uint8_t> held_;
  std::unique_ptr<container::ContainerWriter> writer_;
  std::unique_ptr<container::CopyFolder> folder_;
  PatchSink* first_ = nullptr;  // where the patch goes once it streams
};

// Raises Exception unless `container` decodes, with `source`, to a patch that
// rebuilds `target` (ENotRebuilt where the patch is wrong). Holds one block
// at a time; reports Stage::kVerifying; `file_views` and `source_room` as
// for VerifyPatch.
void VerifyContainer(ByteSpan container, ByteSpan source, ByteSpan target,
                     const ProgressReport& progress = {}, bool file_views = false,
                     std::uint64_t source_room = 0);

}  // namespace varnock
