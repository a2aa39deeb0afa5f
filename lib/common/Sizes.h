// Sizes as the messages print them.
#pragma once

#include <cstdint>
#include <string>

namespace varnock {

enum class Rounding { kDown, kUp };

// `bytes` in whole MiB, as "12 MiB", rounded as asked: each message keeps the
// rounding its figures have always been printed with.
inline std::string Mebibytes(std::uint64_t bytes, Rounding rounding) {
  constexpr std::uint64_t kMebibyte = std::uint64_t{1} << 20;
  const std::uint64_t whole =
      rounding == Rounding::kUp ? (bytes + kMebibyte - 1) / kMebibyte : bytes / kMebibyte;
  return std::to_string(whole) + " MiB";
}

}  // namespace varnock
