// For a source whose references a container predicts: the raw patch again,
// with the short copies that only bridge references between literals on one
// diagonal folded into those literals. The parse split such a stretch where
// a call's displacement or a pointer changed; once the prediction gives
// those bytes, the literal's differences are zeros throughout, and one
// literal costs less than the copies and literals it replaces.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "format/ContainerFormat.h"
#include "format/Prediction.h"
#include "make/encode/PatchEncoder.h"
#include "make/encode/RawPatchReader.h"

namespace varnock::container {

// Takes a well-formed patch for `source` whose head is the one PatchEncoder
// writes, and writes it to `output` with every copy that continues the
// cursor's diagonal between two literals, one of which the prediction
// explains whole, folded into them where the prediction gives the copy's
// bytes too. The prediction is made from the stretches of the patch's
// copies so far: the container learns them block by block, so this only
// chooses, and the container's own differences carry whatever it chose
// wrongly. Folding only where a neighbour is explained keeps literals of
// real changes apart from the copies, which compress better as
// instructions than as runs of zeros between changed bytes.
//
// The patch is read in windows of about `window` bytes of it, each chosen
// in with the stretches of all copies up to its end. The references in code
// reach stretches that later copies move: postgres's container (a block)
// grew 4.6% with windows of a quarter of a block, libmergedlo's (three
// blocks) 0.95% with windows of a block and 0.57% with two; at four, the
// default, none of the corpus's changed. So it holds a window's literals and
// 16 bytes an instruction, and a literal longer than the window whole.
class CopyFolder final : public PatchSink, private RawPatchVisitor {
 public:
  static constexpr std::uint64_t kFoldWindow = std::uint64_t{4} * kDefaultBlockLimit;

  CopyFolder(ByteSpan source, PatchSink& output, std::uint64_t window = kFoldWindow);
  ~CopyFolder() override;
  void Write(ByteSpan raw) override { reader_.Write(raw); }
  // After the patch's last byte; whether a copy was folded.
  bool Finish();

 private:
  struct Operation {
    std::uint64_t from;  // a copy's source offset, a literal's offset in `bytes_`
    std::uint32_t length;
    bool copies;
  };
  void Head(ByteSpan head) override;
  void Instruction(std::uint64_t position, ByteSpan head, const decode::Operation& operation) override;
  void LiteralBytes(ByteSpan bytes) override;
  void Stop(std::uint64_t position) override;
  // Chooses for the operations held, all of them at the patch's end, else
  // all but the last, whose successor is not known yet.
  void Fold(bool at_end);
  // Whether a literal is all the prediction says it is.
  bool Explained(const Operation& operation, std::uint64_t at_cursor, std::uint64_t at_target);

  ByteSpan source_;
  PatchSink& output_;
  std::uint64_t window_;
  RawPatchReader reader_;
  Predictor predictor_;
  std::unique_ptr<PatchEncoder> encoder_;
  // The operations of the window and their literals' bytes.
  std::vector<Operation> operations_;
  Bytes bytes_;
  StretchCollector collector_;
  Equivalences learnt_;
  std::uint64_t window_read_ = 0;  // patch bytes read since the last choice
  // Where the cursor and the target stand after the operations read and
  // after those chosen for.
  std::uint64_t read_cursor_ = 0;
  std::uint64_t read_target_ = 0;
  std::uint64_t cursor_ = 0;
  std::uint64_t target_ = 0;
  Bytes literal_;
  Bytes predicted_;
  bool last_literal_explained_ = false;
  bool folded_ = false;
};

}  // namespace varnock::container
