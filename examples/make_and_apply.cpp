// Makes a patch between two versions held in memory, then rebuilds the newer
// one from the older and the patch, in memory too, through libvarnock.
#include <varnock.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using Context = std::unique_ptr<varnock_context, decltype(&varnock_context_free)>;

void Check(varnock_context* context, std::int32_t code) {
  if (code != VARNOCK_OK)
    throw std::runtime_error(std::string(varnock_code_name(code)) + ": " + varnock_error_message(context));
}

std::int32_t Append(void* bytes, const std::uint8_t* data, std::size_t size) {
  static_cast<Bytes*>(bytes)->insert(static_cast<Bytes*>(bytes)->end(), data, data + size);
  return 0;
}

}  // namespace

int main() {
  const std::string older_text = "The quick brown fox jumps over the lazy dog. The end.";
  const std::string newer_text = "The quick brown fox leaps over the lazy dog, twice. The end.";
  const Bytes older(older_text.begin(), older_text.end()), newer(newer_text.begin(), newer_text.end());
  Context context(varnock_context_new(), &varnock_context_free);
  if (!context) return 2;
  try {
    Bytes patch;
    Check(context.get(), varnock_make_memory(context.get(), older.data(), older.size(), newer.data(),
                                             newer.size(), nullptr, Append, &patch, nullptr));
    std::uint64_t size = 0;
    Check(context.get(),
          varnock_target_size(context.get(), older.data(), older.size(), patch.data(), patch.size(), &size));
    Bytes rebuilt(size);
    std::size_t written = 0;
    Check(context.get(), varnock_apply_to_buffer(context.get(), older.data(), older.size(), patch.data(),
                                                 patch.size(), rebuilt.data(), rebuilt.size(), &written));
    std::printf("patch of %zu bytes; rebuilt %zu bytes: %s\n", patch.size(), written,
                rebuilt == newer ? "identical" : "DIFFERENT");
    return rebuilt == newer ? 0 : 1;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "make_and_apply: %s\n", error.what());
    return 2;
  }
}
