// libvarnock as a host calls it, for bench/run:
//   varnock-lib-apply read|mapped <source> <target> <patch>
//     applies from files with the inputs read or mapped (varnock_apply_files);
//   varnock-lib-apply ranges[=CACHE_MIB] <source> <target> <patch>
//     applies with both inputs read by the host's callbacks (pread) and the
//     target handed to its write callback (write), varnock_apply_ranges;
//   varnock-lib-apply memory <source> <target> <patch>
//     reads both inputs into memory, applies from memory into a buffer
//     (varnock_apply_to_buffer), writes the target, and prints to standard
//     output the milliseconds the apply took and those that one copy of the
//     target and the CRC-32s of source and target take on the same bytes.
#include <fcntl.h>
#include <unistd.h>
#include <varnock.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/Crc32.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

Bytes ReadWhole(const char* name) {
  std::ifstream in(name, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

double Milliseconds(Clock::duration duration) {
  return std::chrono::duration<double, std::milli>(duration).count();
}

int ApplyFromMemory(varnock_context* context, const char* source_name, const char* target_name,
                    const char* patch_name) {
  const Bytes source = ReadWhole(source_name), patch = ReadWhole(patch_name);
  std::uint64_t size = 0;
  if (varnock_target_size(context, source.data(), source.size(), patch.data(), patch.size(), &size) !=
      VARNOCK_OK)
    return 2;
  Bytes target(size), copy(size);
  std::size_t written = 0;
  const Clock::time_point start = Clock::now();
  const std::int32_t code = varnock_apply_to_buffer(context, source.data(), source.size(), patch.data(),
                                                    patch.size(), target.data(), target.size(), &written);
  const Clock::time_point applied = Clock::now();
  // The bound: one copy of the target and the two CRC-32s.
  std::memcpy(copy.data(), target.data(), target.size());
  volatile std::uint32_t crcs = varnock::Crc32(source) ^ varnock::Crc32(copy);
  (void)crcs;
  const Clock::time_point bound = Clock::now();
  if (code != VARNOCK_OK) return 2;
  std::printf("%.2f %.2f\n", Milliseconds(applied - start), Milliseconds(bound - applied));
  std::ofstream(target_name, std::ios::binary)
      .write(reinterpret_cast<const char*>(target.data()), static_cast<std::streamsize>(written));
  return 0;
}

std::int64_t ReadAt(void* file, std::uint64_t offset, std::uint8_t* buffer, std::size_t size) {
  return pread(*static_cast<int*>(file), buffer, size, static_cast<off_t>(offset));
}

std::int32_t WriteAll(void* file, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = write(*static_cast<int*>(file), data, size);
    if (written <= 0) return 1;
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return 0;
}

int ApplyFromRanges(varnock_context* context, const char* source_name, const char* target_name,
                    const char* patch_name) {
  int source = open(source_name, O_RDONLY), patch = open(patch_name, O_RDONLY);
  int target = open(target_name, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (source < 0 || patch < 0 || target < 0) return 2;
  const auto size = [](int file) { return static_cast<std::uint64_t>(lseek(file, 0, SEEK_END)); };
  const std::int32_t code = varnock_apply_ranges(context, ReadAt, &source, size(source), ReadAt, &patch,
                                                 size(patch), WriteAll, &target);
  close(source);
  close(patch);
  return close(target) == 0 && code == VARNOCK_OK ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(
        stderr, "usage: varnock-lib-apply read|mapped|memory|ranges[=CACHE_MIB] <source> <target> <patch>\n");
    return 1;
  }
  varnock_context* context = varnock_context_new();
  const std::string mode = argv[1];
  int status = 2;
  if (mode == "memory") {
    status = ApplyFromMemory(context, argv[2], argv[3], argv[4]);
  } else if (mode.starts_with("ranges")) {
    if (mode.starts_with("ranges=")) varnock_set_source_cache(context, std::stoul(mode.substr(7)) << 20);
    status = ApplyFromRanges(context, argv[2], argv[3], argv[4]);
  } else {
    varnock_set_input_access(context, mode == "mapped" ? VARNOCK_INPUTS_MAPPED : VARNOCK_INPUTS_READ);
    status = varnock_apply_files(context, argv[2], argv[3], argv[4]) == VARNOCK_OK ? 0 : 2;
  }
  if (status != 0) std::fprintf(stderr, "%s\n", varnock_error_message(context));
  varnock_context_free(context);
  return status;
}
