// Micro-benchmarks behind the writer's and the decoder's choices: the CRC-32,
// the decode loop, the cost of a gathered run against an OS write per run
// (the direct-write threshold) and the lookahead that hides source reads.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "apply/InstructionStream.h"
#include "common/Crc32.h"
#include "support/PatchBuilder.h"

namespace {

using varnock::testing::Bytes;

Bytes RandomBytes(std::size_t count, unsigned seed) {
  std::mt19937_64 random(seed);
  Bytes bytes(count);
  for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random());
  return bytes;
}

// The reference: one table lookup per byte.
std::uint32_t ByteTableCrc32(std::span<const std::uint8_t> bytes) {
  static const auto table = [] {
    std::array<std::uint32_t, 256> entries{};
    for (std::uint32_t n = 0; n < 256; ++n) {
      std::uint32_t value = n;
      for (int bit = 0; bit < 8; ++bit) value = value & 1 ? value >> 1 ^ 0xEDB88320 : value >> 1;
      entries[n] = value;
    }
    return entries;
  }();
  std::uint32_t value = 0xFFFFFFFF;
  for (std::uint8_t byte : bytes) value = table[(byte ^ value) & 0xFF] ^ value >> 8;
  return ~value;
}

void BM_Crc32(benchmark::State& state) {
  const Bytes bytes = RandomBytes(8 << 20, 1);
  for (auto _ : state) benchmark::DoNotOptimize(varnock::Crc32(bytes));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_Crc32);

void BM_Crc32ByteTable(benchmark::State& state) {
  const Bytes bytes = RandomBytes(8 << 20, 1);
  for (auto _ : state) benchmark::DoNotOptimize(ByteTableCrc32(bytes));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_Crc32ByteTable);

// A target that takes every run and does nothing with it.
class NullStream : public varnock::TStream {
 protected:
  std::int32_t RawWrite(const void* data, std::int32_t count) override {
    benchmark::DoNotOptimize(data);
    return count;
  }
};

// A target that copies every run into a ring buffer, as the writer gathers runs.
class CopyingStream : public varnock::TStream {
 public:
  CopyingStream() : buffer_(1 << 20) {}

 protected:
  std::int32_t RawWrite(const void* data, std::int32_t count) override {
    auto length = static_cast<std::size_t>(count);
    if (length > buffer_.size() - used_) used_ = 0;
    std::memcpy(buffer_.data() + used_, data, length);
    used_ += length;
    return count;
  }

 private:
  Bytes buffer_;
  std::size_t used_ = 0;
};

// Runs of 1..63 bytes, 70% copies from random places of a source of
// `source_size` bytes, the rest literals, as in workload W2.
struct SmallRunWorkload {
  Bytes source;
  Bytes patch;
  std::size_t runs;
  std::size_t target_size = 0;
};

SmallRunWorkload MakeSmallRuns(std::size_t source_size, std::size_t runs) {
  SmallRunWorkload workload{RandomBytes(source_size, 2), {}, runs};
  std::mt19937_64 random(3);
  Bytes stream;
  Bytes literal(63, 0x5A);
  for (std::size_t i = 0; i < runs; ++i) {
    std::size_t length = 1 + random() % 63;
    workload.target_size += length;
    if (random() % 10 < 7) {
      Bytes copy = varnock::testing::Copy(0xFC, random() % (source_size - length + 1), length);
      stream.insert(stream.end(), copy.begin(), copy.end());
    } else {
      Bytes data = varnock::testing::ShortLiteral({literal.data(), length});
      stream.insert(stream.end(), data.begin(), data.end());
    }
  }
  // Header size 12, no header block, checksums unused here.
  workload.patch = {12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xD1, 0xFF, 0xD1, 0xFF, 4};
  workload.patch.insert(workload.patch.end(), stream.begin(), stream.end());
  workload.patch.push_back(0x00);
  return workload;
}

// One workload per source size, made once.
const SmallRunWorkload& SmallRuns(std::size_t source_size) {
  static std::map<std::size_t, SmallRunWorkload> made;
  auto found = made.find(source_size);
  if (found == made.end()) found = made.emplace(source_size, MakeSmallRuns(source_size, 1 << 20)).first;
  return found->second;
}

template <class Stream>
void RunSmallRuns(benchmark::State& state, std::size_t source_size) {
  const SmallRunWorkload& workload = SmallRuns(source_size);
  const varnock::PatchHeader header{12, 0, 0};
  Stream target;
  for (auto _ : state) varnock::RunInstructionStream(workload.patch, workload.source, header, target);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * workload.runs));
}

// Decoding and checking alone: the source is small enough to stay in cache.
void BM_DecodeLoop(benchmark::State& state) { RunSmallRuns<NullStream>(state, 1 << 16); }
BENCHMARK(BM_DecodeLoop)->Unit(benchmark::kMillisecond);

// Decoding and gathering runs from random places of a 64 MiB source: the
// lookahead's prefetches are what keep this close to the cached case.
void BM_DecodeAndGatherFromLargeSource(benchmark::State& state) {
  RunSmallRuns<CopyingStream>(state, 64 << 20);
}
BENCHMARK(BM_DecodeAndGatherFromLargeSource)->Unit(benchmark::kMillisecond);

void BM_DecodeAndGatherFromCachedSource(benchmark::State& state) {
  RunSmallRuns<CopyingStream>(state, 1 << 16);
}
BENCHMARK(BM_DecodeAndGatherFromCachedSource)->Unit(benchmark::kMillisecond);

// The direct-write threshold: 32 MiB written to a fresh file in runs of
// state.range(0) bytes, either one write() per run or gathered in 1 MiB.
constexpr std::size_t kWrittenPerIteration = 32 << 20;

constexpr const char* kScratchFile = "/tmp/varnock-bench-threshold";

int FreshFile(benchmark::State& state) {
  state.PauseTiming();
  int fd = open(kScratchFile, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  state.ResumeTiming();
  return fd;
}

void CloseFile(benchmark::State& state, int fd) {
  state.PauseTiming();
  close(fd);
  state.ResumeTiming();
}

void WriteAll(int fd, const std::uint8_t* bytes, std::size_t count) {
  while (count > 0) {
    ssize_t n = write(fd, bytes, count);
    if (n <= 0) std::abort();
    bytes += n;
    count -= static_cast<std::size_t>(n);
  }
}

void BM_OneWritePerRun(benchmark::State& state) {
  const auto run = static_cast<std::size_t>(state.range(0));
  const Bytes source = RandomBytes(kWrittenPerIteration, 4);
  for (auto _ : state) {
    int fd = FreshFile(state);
    for (std::size_t at = 0; at + run <= source.size(); at += run) WriteAll(fd, source.data() + at, run);
    CloseFile(state, fd);
  }
  unlink(kScratchFile);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kWrittenPerIteration));
}

void BM_GatheredRuns(benchmark::State& state) {
  const auto run = static_cast<std::size_t>(state.range(0));
  const Bytes source = RandomBytes(kWrittenPerIteration, 4);
  Bytes buffer(1 << 20);
  for (auto _ : state) {
    int fd = FreshFile(state);
    std::size_t gathered = 0;
    for (std::size_t at = 0; at + run <= source.size(); at += run) {
      if (run > buffer.size() - gathered) {
        WriteAll(fd, buffer.data(), gathered);
        gathered = 0;
      }
      std::memcpy(buffer.data() + gathered, source.data() + at, run);
      gathered += run;
    }
    WriteAll(fd, buffer.data(), gathered);
    CloseFile(state, fd);
  }
  unlink(kScratchFile);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kWrittenPerIteration));
}

void RunLengths(benchmark::internal::Benchmark* benchmark) {
  for (int length : {32, 256, 4096, 16 << 10, 32 << 10, 64 << 10, 128 << 10, 256 << 10, 1 << 20}) {
    benchmark->Arg(length);
  }
  benchmark->Unit(benchmark::kMillisecond);
}
BENCHMARK(BM_OneWritePerRun)->Apply(RunLengths);
BENCHMARK(BM_GatheredRuns)->Apply(RunLengths);

}  // namespace

BENCHMARK_MAIN();
