#include "programs/varnock/MemoryReserve.h"

#include <cstdlib>
#include <new>

namespace varnock {
namespace {

// Far more than an exception object and the unwinder need; below the size
// from which the C library maps a block of its own, so that it goes back to
// the heap the next allocation is taken from.
constexpr std::size_t kReserveSize = 16 << 10;

void* reserve = nullptr;

void GiveBackReserve() {
  std::free(reserve);
  reserve = nullptr;
  std::set_new_handler(nullptr);
  throw std::bad_alloc();
}

}  // namespace

bool ReserveMemoryForErrors() {
  reserve = std::malloc(kReserveSize);
  if (reserve == nullptr) return false;
  std::set_new_handler(GiveBackReserve);
  return true;
}

}  // namespace varnock
