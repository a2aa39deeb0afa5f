#include "make/encode/BlockEncoder.h"

#include <array>

#include "format/Codecs.h"

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

// Every stream kept with LZMA2, and with zstd where it is short enough to
// cost little (zstd wins only there, on the opcodes of small blocks).
Choice Cheapest(const Bytes& bytes, StreamContent content, bool compressible) {
  constexpr std::size_t kLongestForZstd = 256 << 10;
  Choice choice{Codec::kStored, 0, bytes};
  if (bytes.empty() || !compressible) return choice;
  for (const Codec codec : {Codec::kLzma2, Codec::kZstd}) {
    if (codec == Codec::kZstd && bytes.size() > kLongestForZstd) continue;
    Compressed compressed = Compress(codec, bytes, false, content);
    if (compressed.bytes.size() < choice.bytes.size())
      choice = {compressed.codec, compressed.property, std::move(compressed.bytes)};
  }
  return choice;
}

void AppendStream(Bytes& out, const Choice& choice, std::size_t decoded) {
  out.push_back(static_cast<std::uint8_t>(choice.codec));
  out.push_back(choice.property);
  AppendLittleEndian(out, decoded, 4);
  AppendLittleEndian(out, choice.bytes.size(), 4);
  out.insert(out.end(), choice.bytes.begin(), choice.bytes.end());
}

}  // namespace

EncodedBlock EncodeBlock(const BlockStreams& block, bool predicted) {
  // The strong compressor takes most of the making's time, and the fast
  // one's sizes were measured to rank the literal forms alike.
  constexpr Transform kTransforms[] = {Transform::kPlain, Transform::kDifference, Transform::kPredicted};
  const std::size_t transform_count = predicted ? 3 : 2;
  std::array<std::size_t, std::size(kTransforms)> estimates{};
  std::size_t best = 0;
  for (std::size_t t = 0; t < transform_count; ++t) {
    estimates[t] = Estimate(block.forms[LiteralForm(kTransforms[t])]);
    if (estimates[t] < estimates[best]) best = t;
  }
  EncodedBlock encoded;
  encoded.transform = kTransforms[best];
  const Form literal_form = LiteralForm(encoded.transform);
  // Literals the fast compressor cannot shrink at all (compressed data
  // carried whole) are stored: the strong one would spend most of the
  // making's time on them for nothing.
  const bool compressible = estimates[best] < block.forms[literal_form].size();

  Bytes& out = encoded.bytes;
  AppendLittleEndian(out, block.yield, 4);
  AppendLittleEndian(out, block.crc, 4);
  out.push_back(static_cast<std::uint8_t>(encoded.transform));
  AppendLittleEndian(out, 0, 3);
  const Form kept[kStreamCount] = {Form::kOpcodes, Form::kLengths, Form::kOffsets, literal_form};
  for (std::size_t s = 0; s < kStreamCount; ++s) {
    const Bytes& stream = block.forms[kept[s]];
    const StreamContent content = ContentOf(kept[s]);
    const Choice choice = Cheapest(stream, content, content == StreamContent::kNumbers || compressible);
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
