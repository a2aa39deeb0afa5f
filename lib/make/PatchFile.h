// Making a patch from files to a file: the inputs are mapped, never copied;
// the patch is checked by applying it in memory before it is put in place,
// and a failed or interrupted run leaves nothing under the patch's name.
// Neither prints nor exits: failures are raised as exceptions of the
// Exception family, with messages that name the file concerned.
#pragma once

#include <string>

#include "common/Errors.h"
#include "make/Maker.h"
#include "platform/platform.h"

namespace varnock {

struct PatchFileOptions {
  MakerOptions maker;
  // Replace an existing patch file rather than refuse it.
  bool force = false;
  // Apply the patch in memory and compare with the target before it is put
  // in place (MakerStage::kVerifying).
  bool verify = true;
  // Whether the inputs go on the process's list of inputs, known to its input
  // fault handler (platform.h); a library leaves them off it.
  platform::Listing listing = platform::Listing::kListed;
};

// The patch name that stands for standard output.
inline constexpr const char* kStandardOutputName = "-";

// The patch name is taken by an existing file and PatchFileOptions::force is off.
class EPatchExists : public Exception {
 public:
  explicit EPatchExists(std::string message) : Exception(ErrorKind::kPatchExists, std::move(message)) {}
};

// Writes the patch that rebuilds `target_name` from `source_name`.
//
// The patch is written to a file without a name (or a hidden one) in the
// directory of `patch_name`, which takes that name once complete, verified
// and synced; on any failure `patch_name` is as it was and no other file is
// left. Refused before any work: a patch name that reaches either input (by
// any spelling or link), an existing file without `force`, a directory, a
// block device, a socket, an empty name. The name "-" writes to standard
// output instead, and so does a character device or a FIFO to itself: the
// patch is then checked as it is written, never held whole, and a terminal
// is refused. Inputs of 4 GiB or more are refused.
MakerReport MakePatchFile(const std::string& source_name, const std::string& target_name,
                          const std::string& patch_name, const PatchFileOptions& options,
                          const MakerProgress& progress = {});

}  // namespace varnock
