#include "maker/Maker.h"

#include "files/Crc32.h"
#include "maker/PatchEncoder.h"

namespace varnock {

// First version: the whole target as literals. Matching comes next.
MakerReport MakePatch(ByteSpan source, ByteSpan target, const MakerOptions& /*options*/, PatchSink& sink,
                      const MakerProgress& progress) {
  PatchEncoder encoder(sink, Crc32(source), Crc32(target));
  encoder.Literal(target);
  if (progress) progress(MakerStage::kWriting, target.size(), target.size());
  return {encoder.Finish(), false};
}

}  // namespace varnock
