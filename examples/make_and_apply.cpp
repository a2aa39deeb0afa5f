// Makes a patch between two versions held in memory, then rebuilds the newer
// one from the older and the patch, in memory too, through libvarnock's C++
// layer (varnock.hpp): failures arrive as varnock::Error.
#include <cstdio>
#include <string>
#include <varnock.hpp>

int main() {
  const std::string older = "The quick brown fox jumps over the lazy dog. The end.";
  const std::string newer = "The quick brown fox leaps over the lazy dog, twice. The end.";
  const varnock::ByteView older_bytes(reinterpret_cast<const std::uint8_t*>(older.data()), older.size());
  const varnock::ByteView newer_bytes(reinterpret_cast<const std::uint8_t*>(newer.data()), newer.size());
  try {
    varnock::Context context;
    const varnock::Bytes patch = context.Make(older_bytes, newer_bytes);
    const varnock::Bytes rebuilt = context.Apply(older_bytes, patch);
    const bool same = std::string(rebuilt.begin(), rebuilt.end()) == newer;
    std::printf("patch of %zu bytes; rebuilt %zu bytes: %s\n", patch.size(), rebuilt.size(),
                same ? "identical" : "DIFFERENT");
    return same ? 0 : 1;
  } catch (const varnock::Error& error) {
    std::fprintf(stderr, "make_and_apply: %s (%s)\n", error.what(), varnock_code_name(error.Code()));
    return 2;
  }
}
