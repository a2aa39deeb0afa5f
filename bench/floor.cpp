// The floor: the least work any applicator of our patches must do, with no
// check at all. It computes the CRC-32 of the whole source, writes the target
// from its runs and reads the target back for its CRC-32. Its choices are the
// fastest we know of, so that varnock's time over it is the price of its own
// checks and structure:
// - CRC-32 by libdeflate;
// - the instruction stream decoded with no bound tests;
// - the source range of each copy prefetched kLookahead instructions ahead;
// - runs under kDirectRunLength gathered in a 1 MiB buffer written when full,
//   longer runs written straight from the mapping;
// - every file read through a plain mapping (populating it as it is made
//   measured slower: bench/README.md).
// With --read, the least an applicator that may not map its inputs does on a
// pair whose copies never take a source byte twice (W1, W4): the source's
// CRC-32 and the read-back through reads of kReadPiece, and each copy read
// from the source straight to where it is written from, with no cache. (Where
// copies repeat, as in W2 and W3, a cache reads less than this.)
// Usage: varnock-floor [--read] <source> <target> <patch>. Exit 0 when both
// CRCs match.
#include <fcntl.h>
#include <libdeflate.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr std::size_t kBufferSize = 1 << 20;
constexpr std::uint32_t kDirectRunLength = 128 << 10;
constexpr std::size_t kLookahead = 32;
// Reads of this size stay in the processor's cache until they are used.
constexpr std::size_t kReadPiece = 256 << 10;

struct Mapped {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
};

Mapped Map(const char* name) {
  int fd = open(name, O_RDONLY | O_CLOEXEC);
  struct stat info;
  if (fd < 0 || fstat(fd, &info) != 0) {
    std::perror(name);
    std::exit(2);
  }
  Mapped file;
  file.size = static_cast<std::size_t>(info.st_size);
  if (file.size > 0) {
    void* view = mmap(nullptr, file.size, PROT_READ, MAP_SHARED, fd, 0);
    if (view == MAP_FAILED) {
      std::perror(name);
      std::exit(2);
    }
    file.data = static_cast<const std::uint8_t*>(view);
  }
  close(fd);
  return file;
}

std::uint32_t Crc(const Mapped& file) {
  return file.size == 0 ? 0 : libdeflate_crc32(0, file.data, file.size);
}

int OpenToRead(const char* name) {
  const int fd = open(name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::perror(name);
    std::exit(2);
  }
  return fd;
}

void ReadAll(int fd, std::uint64_t offset, std::uint8_t* bytes, std::size_t count) {
  while (count > 0) {
    const ssize_t n = pread(fd, bytes, count, static_cast<off_t>(offset));
    if (n <= 0) std::exit(3);
    bytes += n;
    offset += static_cast<std::uint64_t>(n);
    count -= static_cast<std::size_t>(n);
  }
}

std::uint32_t CrcByReads(const char* name, std::uint8_t* piece) {
  const int fd = OpenToRead(name);
  std::uint32_t crc = 0;
  for (std::uint64_t offset = 0;; offset += kReadPiece) {
    const ssize_t n = pread(fd, piece, kReadPiece, static_cast<off_t>(offset));
    if (n < 0) std::exit(3);
    if (n == 0) break;
    crc = libdeflate_crc32(crc, piece, static_cast<std::size_t>(n));
  }
  close(fd);
  return crc;
}

void WriteAll(int fd, const std::uint8_t* bytes, std::size_t count) {
  while (count > 0) {
    ssize_t n = write(fd, bytes, count);
    if (n <= 0) std::exit(3);
    bytes += n;
    count -= static_cast<std::size_t>(n);
  }
}

template <unsigned Width>
std::uint32_t Be(const std::uint8_t* bytes) {
  std::uint32_t value = 0;
  for (unsigned i = 0; i < Width; ++i) value = value << 8 | bytes[i];
  return value;
}

std::uint32_t Le32(const std::uint8_t* bytes) {
  return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

// A literal's bytes, or a copy's in the mapped source; with --read, a
// copy's bytes are null and `from` tells where they lie in the source.
struct Run {
  const std::uint8_t* bytes;
  std::uint32_t length;
  std::uint32_t from = 0;
};

template <unsigned Width>
Run Literal(const std::uint8_t* p, std::size_t& at) {
  std::uint32_t length = Be<Width>(p + at + 1);
  Run run{p + at + 1 + Width, length, 0};
  at += 1 + Width + length;
  return run;
}

template <unsigned OffsetWidth, unsigned LengthWidth>
Run Copy(const std::uint8_t* p, std::size_t& at, const std::uint8_t* source) {
  std::uint32_t length = Be<LengthWidth>(p + at + 1 + OffsetWidth);
  const std::uint32_t from = Be<OffsetWidth>(p + at + 1);
  Run run{source == nullptr ? nullptr : source + from, length, from};
  if (source != nullptr && length > 0) {
    __builtin_prefetch(run.bytes);
    __builtin_prefetch(run.bytes + (length < 128 ? length : 128) - 1);
  }
  at += 1 + OffsetWidth + LengthWidth;
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  const bool reads = argc == 5 && std::strcmp(argv[1], "--read") == 0;
  argv += reads;
  if (argc != 4 + reads) return 1;
  auto piece = std::make_unique_for_overwrite<std::uint8_t[]>(kReadPiece);
  const int source_file = reads ? OpenToRead(argv[1]) : -1;
  Mapped source = reads ? Mapped{} : Map(argv[1]);
  Mapped patch = Map(argv[3]);
  int target = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (target < 0) return 2;

  const std::uint8_t* p = patch.data;
  const std::uint32_t header_size = p[0] | p[1] << 8;
  const std::uint32_t source_crc = Le32(p + header_size - 8);
  const std::uint32_t target_crc = Le32(p + header_size - 4);
  const bool source_matches = (reads ? CrcByReads(argv[1], piece.get()) : Crc(source)) == source_crc;

  auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(kBufferSize);
  std::size_t gathered = 0;
  Run ahead[kLookahead];
  std::size_t decoded = 0;
  std::size_t written = 0;
  std::size_t at = header_size + 5;
  const std::size_t last = patch.size - 1;
  for (;;) {
    while (at < last && decoded - written < kLookahead) {
      const std::uint8_t code = p[at];
      Run run;
      switch (code) {
        case 0xF7:
          run = Literal<2>(p, at);
          break;
        case 0xF8:
          run = Literal<4>(p, at);
          break;
        case 0xF9:
          run = Copy<2, 1>(p, at, source.data);
          break;
        case 0xFA:
          run = Copy<2, 2>(p, at, source.data);
          break;
        case 0xFB:
          run = Copy<2, 4>(p, at, source.data);
          break;
        case 0xFC:
          run = Copy<4, 1>(p, at, source.data);
          break;
        case 0xFD:
          run = Copy<4, 2>(p, at, source.data);
          break;
        case 0xFE:
          run = Copy<4, 4>(p, at, source.data);
          break;
        default:
          run = {p + at + 1, code};
          at += 1 + code;
      }
      ahead[decoded++ % kLookahead] = run;
    }
    if (written == decoded) break;
    const Run& run = ahead[written++ % kLookahead];
    if (run.length < kDirectRunLength) {
      if (run.length > kBufferSize - gathered) {
        WriteAll(target, buffer.get(), gathered);
        gathered = 0;
      }
      if (run.bytes == nullptr) {
        ReadAll(source_file, run.from, buffer.get() + gathered, run.length);
      } else {
        std::memcpy(buffer.get() + gathered, run.bytes, run.length);
      }
      gathered += run.length;
    } else if (run.bytes == nullptr) {
      WriteAll(target, buffer.get(), gathered);
      gathered = 0;
      for (std::uint32_t done = 0; done < run.length;) {
        const auto count = static_cast<std::uint32_t>(std::min<std::size_t>(run.length - done, kReadPiece));
        ReadAll(source_file, std::uint64_t{run.from} + done, piece.get(), count);
        WriteAll(target, piece.get(), count);
        done += count;
      }
    } else {
      WriteAll(target, buffer.get(), gathered);
      gathered = 0;
      WriteAll(target, run.bytes, run.length);
    }
  }
  WriteAll(target, buffer.get(), gathered);
  close(target);

  const std::uint32_t result_crc = reads ? CrcByReads(argv[2], piece.get()) : Crc(Map(argv[2]));
  return source_matches && result_crc == target_crc ? 0 : 4;
}
