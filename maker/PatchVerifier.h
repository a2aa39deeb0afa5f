// The maker's proof of its own work: a patch is applied in memory through the
// decoder the applicator runs, and what it writes is compared with the target.
#pragma once

#include "maker/Maker.h"

namespace varnock {

// Checks `patch` as the applicator would check it against `source` (header,
// source checksum, magic, version, every instruction, the stop byte), then
// that its runs make exactly `target` and that the target checksum it carries
// is `target`'s. Raises Exception naming the first fault. Holds no copy of
// the target; reports MakerStage::kVerifying as it goes, and an exception
// thrown by `progress` leaves as it is.
void VerifyPatch(ByteSpan patch, ByteSpan source, ByteSpan target, const MakerProgress& progress = {});

}  // namespace varnock
