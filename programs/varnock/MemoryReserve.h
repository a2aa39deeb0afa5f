// Room for the one error that needs memory to be raised: running out of it.
#pragma once

namespace varnock {

// Sets a block of memory aside and makes the first allocation that fails
// give it back before std::bad_alloc is raised, so that the exception object
// finds room even when the C++ runtime could not set its own reserve up (as
// happens under a tight address-space limit). False when not even the block
// could be had: the run is then out of memory before it starts.
bool ReserveMemoryForErrors();

}  // namespace varnock
