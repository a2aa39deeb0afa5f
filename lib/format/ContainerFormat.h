// The container's fixed parts (doc/container-format.md): its header, its
// block and stream headers, the varints of its streams, and the one error a
// damaged container raises.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/Errors.h"
#include "format/ByteOrder.h"
#include "format/PatchKind.h"

namespace varnock::container {

using ByteSpan = std::span<const std::uint8_t>;
using Bytes = std::vector<std::uint8_t>;

// Version 1 knows the plain and the difference transforms; version 2 adds
// the predicted one, and a maker writes it only where a block takes it.
inline constexpr std::uint8_t kVersion = 1;
inline constexpr std::uint8_t kPredictingVersion = 2;
// The most bytes a block may yield, and the most its streams may decode to in all.
inline constexpr std::uint32_t kLargestBlockLimit = 16 << 20;
// The block limit Varnock's maker writes.
inline constexpr std::uint32_t kDefaultBlockLimit = 8 << 20;
// The raw patch's head: its header and signature, 12 + 5 bytes at least.
inline constexpr std::uint32_t kShortestHead = 17;
inline constexpr std::uint32_t kLongestHead = 0xFFFF + 5;
inline constexpr std::size_t kFixedHeaderSize = 56;
inline constexpr std::size_t kBlockHeaderSize = 12;
inline constexpr std::size_t kStreamHeaderSize = 10;

enum class Codec : std::uint8_t { kStored = 0, kLzma2 = 1, kZstd = 2 };
enum class Transform : std::uint8_t { kPlain = 0, kDifference = 1, kPredicted = 2 };
enum StreamIndex { kOpcodes, kLengths, kOffsets, kLiterals, kStreamCount };

struct Header {
  std::uint8_t version = kVersion;
  std::uint32_t head_size = 0;
  std::uint64_t raw_size = 0;
  std::uint32_t raw_crc = 0;
  std::uint32_t source_crc = 0;
  std::uint64_t source_size = 0;
  std::uint64_t target_size = 0;
  std::uint32_t target_crc = 0;
  std::uint32_t block_limit = 0;
};

// The error of a container that breaks one of its rules; `what` says which.
class EContainerDamaged : public Exception {
 public:
  explicit EContainerDamaged(const std::string& what)
      : Exception(ErrorKind::kContainerDamaged, "Damaged patch container: " + what) {}
};

inline void AppendVarint(Bytes& out, std::uint64_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<std::uint8_t>(value | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<std::uint8_t>(value));
}

inline std::uint64_t Zigzag(std::int64_t value) {
  return (static_cast<std::uint64_t>(value) << 1) ^ static_cast<std::uint64_t>(value >> 63);
}

inline std::int64_t Unzigzag(std::uint64_t value) {
  return static_cast<std::int64_t>(value >> 1) ^ -static_cast<std::int64_t>(value & 1);
}

// Reads entries of one decoded stream front to back; running out, or a
// varint that is too long, is a damaged container.
class StreamReader {
 public:
  StreamReader() = default;
  StreamReader(ByteSpan bytes, const char* name) : bytes_(bytes), name_(name) {}

  bool AtEnd() const noexcept { return at_ == bytes_.size(); }
  std::size_t Left() const noexcept { return bytes_.size() - at_; }
  std::uint8_t Byte() {
    if (AtEnd()) Ran();
    return bytes_[at_++];
  }
  // The next `count` bytes.
  ByteSpan Take(std::size_t count) {
    if (count > Left()) Ran();
    const ByteSpan taken = bytes_.subspan(at_, count);
    at_ += count;
    return taken;
  }
  std::uint64_t Varint() {
    std::uint64_t value = 0;
    for (unsigned shift = 0;; shift += 7) {
      const std::uint8_t byte = Byte();
      if (shift == 63 && byte > 1) throw EContainerDamaged(std::string("a varint too large in the ") + name_);
      value |= std::uint64_t{byte & 0x7Fu} << shift;
      if ((byte & 0x80) == 0) return value;
    }
  }

 private:
  [[noreturn]] void Ran() const {
    throw EContainerDamaged(std::string("the ") + name_ + " stream ends too soon");
  }

  ByteSpan bytes_;
  std::size_t at_ = 0;
  const char* name_ = "";
};

// The bytes of a container's header, head and header CRC-32 included.
Bytes EncodeHeader(const Header& header, ByteSpan head);

// The header from the container's first bytes `bytes` (at least
// kFixedHeaderSize), checked field by field; the head and the header's
// CRC-32 are checked by the caller, once read.
Header DecodeHeader(ByteSpan bytes);

}  // namespace varnock::container
