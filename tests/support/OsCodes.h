// The codes each OS gives for the failures the tests provoke; what the
// program shows is the platform's own code and text.
#pragma once

#include <cstdint>

#ifndef _WIN32
#include <cerrno>
#endif

namespace varnock::testing {

#ifdef _WIN32
inline constexpr std::uint32_t kCodeMissingFile = 2;     // ERROR_FILE_NOT_FOUND
inline constexpr std::uint32_t kCodeMissingPath = 3;     // ERROR_PATH_NOT_FOUND
inline constexpr std::uint32_t kCodeDirectory = 5;       // ERROR_ACCESS_DENIED
inline constexpr std::uint32_t kCodeInUse = 32;          // ERROR_SHARING_VIOLATION
inline constexpr std::uint32_t kCodeFileTooLarge = 223;  // ERROR_FILE_TOO_LARGE
#else
inline constexpr std::uint32_t kCodeMissingFile = ENOENT;
inline constexpr std::uint32_t kCodeMissingPath = ENOENT;
inline constexpr std::uint32_t kCodeDirectory = EISDIR;
inline constexpr std::uint32_t kCodeInUse = EBUSY;
inline constexpr std::uint32_t kCodeFileTooLarge = EFBIG;
#endif

}  // namespace varnock::testing
