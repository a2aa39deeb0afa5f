#include "make/encode/BlockEncoder.h"

#include <array>
#include <atomic>
#include <exception>
#include <functional>
#include <mutex>

#include "format/Codecs.h"
#include "make/HelperThreads.h"

namespace varnock::container {
namespace {

// The cheapest way to store a stream: as it is, or compressed.
struct Choice {
  Codec codec = Codec::kStored;
  std::uint8_t property = 0;
  Bytes bytes;
};

// What `bytes` take under a fast compressor, to rank two forms of them.
std::size_t Estimate(const Bytes& bytes) {
  if (bytes.empty()) return 0;
  return Compress(Codec::kZstd, bytes, /*fast=*/true).bytes.size();
}

StreamContent ContentOf(Form form) {
  return form == Form::kPredictedLiterals ? StreamContent::kPredictedLiterals
         : form == Form::kPlainLiterals || form == Form::kDifferenceLiterals ? StreamContent::kLiterals
                                                                             : StreamContent::kNumbers;
}

// Work items, run on the calling thread and up to `threads` - 1 helpers;
// each writes only its own result, so the order they run in changes nothing.
void RunAll(std::vector<std::function<void()>>& work, unsigned threads) {
  std::atomic<std::size_t> next{0};
  std::exception_ptr failure;
  std::mutex failure_lock;
  auto worker = [&] {
    for (std::size_t i; (i = next++) < work.size();) {
      try {
        work[i]();
      } catch (...) {
        std::lock_guard<std::mutex> hold(failure_lock);
        if (!failure) failure = std::current_exception();
      }
    }
  };
  {
    maker::HelperThreads helpers;
    helpers.Start(std::min<std::uint64_t>(std::max(threads, 1u) - 1, work.empty() ? 0 : work.size() - 1),
                  worker);
    worker();
  }
  if (failure) std::rethrow_exception(failure);
}

// Every stream is tried with LZMA2, and with zstd where it is short enough
// to cost little (zstd wins only there, on the opcodes of small blocks).
constexpr Codec kCodecs[] = {Codec::kLzma2, Codec::kZstd};
constexpr std::size_t kLongestForZstd = 256 << 10;

void AppendStream(Bytes& out, const Choice& choice, std::size_t decoded) {
  out.push_back(static_cast<std::uint8_t>(choice.codec));
  out.push_back(choice.property);
  AppendLittleEndian(out, decoded, 4);
  AppendLittleEndian(out, choice.bytes.size(), 4);
  out.insert(out.end(), choice.bytes.begin(), choice.bytes.end());
}

}  // namespace

EncodedBlock EncodeBlock(const BlockStreams& block, bool predicted, unsigned threads) {
  // The strong compressor takes most of the making's time, and the fast
  // one's sizes were measured to rank the literal forms alike.
  constexpr Transform kTransforms[] = {Transform::kPlain, Transform::kDifference, Transform::kPredicted};
  const std::size_t transform_count = predicted ? 3 : 2;
  std::array<std::size_t, std::size(kTransforms)> estimates{};
  std::vector<std::function<void()>> work;
  for (std::size_t t = 0; t < transform_count; ++t) {
    work.emplace_back([&, t] { estimates[t] = Estimate(block.forms[LiteralForm(kTransforms[t])]); });
  }
  // The number streams do not wait for the ranking.
  constexpr Form kNumbers[] = {Form::kOpcodes, Form::kLengths, Form::kOffsets};
  std::array<std::array<Compressed, std::size(kCodecs)>, kStreamCount> tried{};
  const auto try_all = [&](std::size_t stream, const Bytes& bytes, StreamContent content) {
    for (std::size_t c = 0; c < std::size(kCodecs); ++c) {
      if (bytes.empty() || (kCodecs[c] == Codec::kZstd && bytes.size() > kLongestForZstd)) continue;
      work.emplace_back([&tried, &bytes, stream, c, content] {
        tried[stream][c] = Compress(kCodecs[c], bytes, false, content);
      });
    }
  };
  for (std::size_t s = 0; s < std::size(kNumbers); ++s)
    try_all(s, block.forms[kNumbers[s]], StreamContent::kNumbers);
  RunAll(work, threads);

  std::size_t best = 0;
  for (std::size_t t = 1; t < transform_count; ++t) {
    if (estimates[t] < estimates[best]) best = t;
  }
  EncodedBlock encoded;
  encoded.transform = kTransforms[best];
  const Form literal_form = LiteralForm(encoded.transform);
  const Bytes& literals = block.forms[literal_form];
  // Literals the fast compressor cannot shrink at all (compressed data
  // carried whole) are stored: the strong one would spend most of the
  // making's time on them for nothing.
  if (estimates[best] < literals.size()) {
    work.clear();
    try_all(kStreamCount - 1, literals, ContentOf(literal_form));
    RunAll(work, threads);
  }

  Bytes& out = encoded.bytes;
  AppendLittleEndian(out, block.yield, 4);
  AppendLittleEndian(out, block.crc, 4);
  out.push_back(static_cast<std::uint8_t>(encoded.transform));
  AppendLittleEndian(out, 0, 3);
  const Form kept[kStreamCount] = {Form::kOpcodes, Form::kLengths, Form::kOffsets, literal_form};
  for (std::size_t s = 0; s < kStreamCount; ++s) {
    const Bytes& stream = block.forms[kept[s]];
    Choice choice{Codec::kStored, 0, stream};
    for (Compressed& compressed : tried[s]) {
      if (!compressed.bytes.empty() && compressed.bytes.size() < choice.bytes.size())
        choice = {compressed.codec, compressed.property, std::move(compressed.bytes)};
    }
    AppendStream(out, choice, stream.size());
    encoded.stream_bytes[s] = choice.bytes.size();
  }
  return encoded;
}

void Tally(EncodeReport& report, const EncodedBlock& block) {
  ++report.blocks;
  report.difference_blocks += block.transform == Transform::kDifference;
  report.predicted_blocks += block.transform == Transform::kPredicted;
  for (std::size_t s = 0; s < kStreamCount; ++s) report.stream_bytes[s] += block.stream_bytes[s];
}

}  // namespace varnock::container
