// For a source whose references a container predicts: the raw patch again,
// with the short copies that only bridge references between literals on one
// diagonal folded into those literals. The parse split such a stretch where
// a call's displacement or a pointer changed; once the prediction gives
// those bytes, the literal's differences are zeros throughout, and one
// literal costs less than the copies and literals it replaces.
#pragma once

#include <cstdint>
#include <vector>

#include "format/ContainerFormat.h"
#include "format/Prediction.h"

namespace varnock::container {

// `raw_patch`, a well-formed patch for `source` whose head is the one
// PatchEncoder writes, with every copy that continues the cursor's diagonal
// between two literals, one of which the prediction explains whole, folded
// into them where the prediction gives the copy's bytes too. The prediction
// is made from the stretches of all of the patch's copies: the container
// learns them block by block, so this only chooses, and the container's
// own differences carry whatever it chose wrongly. Folding only where a
// neighbour is explained keeps literals of real changes apart from the
// copies, which compress better as instructions than as runs of zeros
// between changed bytes. Empty where nothing folds.
std::vector<std::uint8_t> FoldPredictedCopies(ByteSpan raw_patch, ByteSpan source, Predictor& predictor);

}  // namespace varnock::container
