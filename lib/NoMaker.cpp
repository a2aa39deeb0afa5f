// Where the maker is not built (the Windows cross build has no suffix-array
// library), the library still exports its functions; they say so.
#include "lib/LibraryErrors.h"
#include "lib/MakeApi.h"

namespace varnock {
namespace {

[[noreturn]] void RaiseNoMaker() {
  throw Exception(ErrorKind::kOther, "This build of the library cannot make patches");
}

}  // namespace

PatchFileOptions MakeOptionsFrom(const varnock_make_options* /*options*/) { RaiseNoMaker(); }

std::uint64_t MakePatchMemory(ByteSpan, ByteSpan, const MakerOptions&, WriteCallback, void*, Progress&) {
  RaiseNoMaker();
}

void MakePatchFiles(const MakeFileNames&, const PatchFileOptions&, Progress&) { RaiseNoMaker(); }

}  // namespace varnock
