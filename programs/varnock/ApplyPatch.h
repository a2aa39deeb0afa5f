// The whole job of the program: rebuild the target from the source and the
// patch, through the library's core, showing each step as it begins.
#pragma once

#include <string>
#include <string_view>

namespace varnock {

// What ApplyPatch needs of the front end: the command-line arguments by
// position (1 source, 2 target, 3 patch) and the console.
class FrontEnd {
 public:
  virtual ~FrontEnd() = default;
  virtual std::string Argument(int position) const = 0;
  virtual void WriteText(std::string_view text) = 0;
  virtual void WriteLine(std::string_view text = {}) = 0;
};

// Opens the inputs and creates the target ("Step 1 "), checks the patch
// against the source ("Step 2 "), writes the target ("Step 3 "), reads it back
// and checks it ("Step 4 "), then closes the patch ("Step 5 ") and writes "OK".
// Raises the first error met; the target then holds what was written so far.
// The inputs are mapped and known to the process's input fault handler.
void ApplyPatch(FrontEnd& front_end);

}  // namespace varnock
