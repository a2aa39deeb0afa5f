#include "make/encode/ContainerEncoder.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <exception>
#include <functional>
#include <mutex>

#include "common/Crc32.h"
#include "format/Codecs.h"
#include "format/ContainerStreams.h"
#include "format/Instruction.h"
#include "format/PatchFormat.h"
#include "make/HelperThreads.h"

namespace varnock::container {
namespace {

// One block's streams before compression, and where its yield lies.
struct BlockStreams {
  std::uint64_t start = 0;  // of its yield in the raw patch
  std::uint32_t yield = 0;
  BlockForms forms;
};

// The cheapest way to store `bytes`: as they are, or compressed.
struct Choice {
  Codec codec = Codec::kStored;
  std::uint8_t property = 0;
  Bytes bytes;
};

// Splits the raw patch's instructions into blocks' streams: an instruction's
// head in one block, a literal's bytes in as many as they fill.
class Splitter {
 public:
  Splitter(ByteSpan source, std::uint32_t block_limit) : streams_(source, 0), limit_(block_limit) {}

  // An instruction's opcode and operands, `head` bytes at `position`: the
  // block it goes in.
  BlockStreams& Head(std::uint64_t position, std::uint32_t head) {
    if (blocks_.empty() || blocks_.back().yield + head > limit_) Open(position);
    blocks_.back().yield += head;
    return blocks_.back();
  }
  void Literal(std::uint64_t position, ByteSpan bytes) {
    while (!bytes.empty()) {
      if (blocks_.back().yield == limit_) Open(position);
      BlockStreams& block = blocks_.back();
      const std::size_t count = std::min<std::size_t>(bytes.size(), limit_ - block.yield);
      streams_.AddLiteralBytes(block.forms, bytes.first(count));
      block.yield += static_cast<std::uint32_t>(count);
      position += count;
      bytes = bytes.subspan(count);
    }
  }
  StreamBuilder streams_;
  std::vector<BlockStreams> blocks_;

 private:
  void Open(std::uint64_t position) {
    blocks_.emplace_back();
    blocks_.back().start = position;
  }
  std::uint32_t limit_;
};

std::vector<BlockStreams> Split(ByteSpan raw, ByteSpan source, std::uint32_t head_size,
                                std::uint32_t block_limit, std::uint64_t& target_size) {
  Splitter splitter(source, block_limit);
  target_size = 0;
  const decode::WalkEnd end = decode::ForEachOperation(
      head_size, raw.size(), source.size(), [&](std::uint64_t position) { return raw.data() + position; },
      [&](std::uint64_t position, std::uint8_t code, const decode::Operation& operation) {
        const OperandWidths widths = OperandWidthsOf(code);
        const std::uint32_t head = 1 + widths.offset + widths.length;
        BlockStreams& block = splitter.Head(position, head);
        target_size += operation.length;
        if (operation.copies) {
          splitter.streams_.AddCopy(block.forms, code, operation.from, operation.length);
        } else {
          splitter.streams_.AddLiteral(block.forms, code, operation.length);
          splitter.Literal(position + head,
                           raw.subspan(static_cast<std::size_t>(operation.from), operation.length));
        }
      });
  if (end.fault != decode::Fault::kNone) decode::Raise(end.fault, end.position);
  const std::uint64_t last = raw.size() - 1;
  decode::CheckStreamEnd(end.position, last, raw[last]);
  splitter.streams_.AddStop(splitter.Head(last, 1).forms);
  return std::move(splitter.blocks_);
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

// What `bytes` take under a fast compressor, to rank two forms of them.
std::size_t Estimate(const Bytes& bytes) {
  if (bytes.empty()) return 0;
  return Compress(Codec::kZstd, bytes, /*fast=*/true).bytes.size();
}

void Smallest(Choice& choice, const Compressed& compressed) {
  if (compressed.bytes.size() < choice.bytes.size()) {
    choice = {compressed.codec, compressed.property, compressed.bytes};
  }
}

void AppendStream(Bytes& out, const Choice& choice, std::size_t decoded) {
  out.push_back(static_cast<std::uint8_t>(choice.codec));
  out.push_back(choice.property);
  AppendLittleEndian(out, decoded, 4);
  AppendLittleEndian(out, choice.bytes.size(), 4);
  out.insert(out.end(), choice.bytes.begin(), choice.bytes.end());
}

}  // namespace

Bytes EncodeContainer(ByteSpan raw_patch, ByteSpan source, unsigned threads, std::uint32_t block_limit,
                      EncodeReport* report) {
  block_limit = std::clamp<std::uint32_t>(block_limit, 64, kLargestBlockLimit);
  const PatchHeader patch_header = ReadPatchHeader(raw_patch, raw_patch.size());
  CheckSignature(raw_patch, patch_header, "<patch>");
  if (patch_header.source_crc != Crc32(source)) RaiseSourceChecksum();
  const std::uint32_t head_size = patch_header.header_size + kSignatureSize;
  if (raw_patch.size() <= head_size) RaiseStopCheck();

  Header header;
  header.head_size = head_size;
  header.raw_size = raw_patch.size();
  header.raw_crc = Crc32(raw_patch);
  header.source_crc = patch_header.source_crc;
  header.source_size = source.size();
  header.target_crc = patch_header.target_crc;
  header.block_limit = block_limit;
  std::vector<BlockStreams> blocks = Split(raw_patch, source, head_size, block_limit, header.target_size);

  // First each block's literal transform, by the sizes of both forms under a
  // fast compressor: the strong one takes most of the making's time, and its
  // sizes were measured to rank the two forms alike.
  constexpr Transform kTransforms[] = {Transform::kPlain, Transform::kDifference};
  std::vector<std::array<std::size_t, std::size(kTransforms)>> literal_estimates(blocks.size());
  std::vector<std::function<void()>> work;
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    for (const Transform transform : kTransforms) {
      std::size_t& estimate = literal_estimates[b][static_cast<std::size_t>(transform)];
      const Bytes& literals = blocks[b].forms[LiteralForm(transform)];
      work.emplace_back([&estimate, &literals] { estimate = Estimate(literals); });
    }
  }
  RunAll(work, threads);
  std::vector<Transform> transforms(blocks.size());
  // Literals the fast compressor cannot shrink at all (compressed data
  // carried whole) are stored: the strong one would spend most of the
  // making's time on them for nothing.
  std::vector<bool> incompressible(blocks.size());
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    const auto& estimates = literal_estimates[b];
    transforms[b] = estimates[static_cast<std::size_t>(Transform::kDifference)] <
                            estimates[static_cast<std::size_t>(Transform::kPlain)]
                        ? Transform::kDifference
                        : Transform::kPlain;
    incompressible[b] = estimates[static_cast<std::size_t>(transforms[b])] >=
                        blocks[b].forms[LiteralForm(transforms[b])].size();
  }

  // Then every stream kept, with LZMA2, and with zstd where it is short enough
  // to cost little (zstd wins only there, on the opcodes of small blocks).
  constexpr Codec kCodecs[] = {Codec::kLzma2, Codec::kZstd};
  constexpr std::size_t kLongestForZstd = 256 << 10;
  // Each block's forms, each under each codec; empty where not tried.
  using Tried = std::array<std::array<Compressed, std::size(kCodecs)>, kFormCount>;
  std::vector<Tried> tried(blocks.size());
  const auto is_literals = [](Form form) {
    return form == Form::kPlainLiterals || form == Form::kDifferenceLiterals;
  };
  work.clear();
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    for (std::size_t f = kFormCount; f-- > 0;) {
      const auto form = static_cast<Form>(f);
      if (is_literals(form) && (form != LiteralForm(transforms[b]) || incompressible[b])) continue;
      for (std::size_t c = 0; c < std::size(kCodecs); ++c) {
        const Bytes& bytes = blocks[b].forms[form];
        if (bytes.empty() || (kCodecs[c] == Codec::kZstd && bytes.size() > kLongestForZstd)) continue;
        Compressed& slot = tried[b][f][c];
        const StreamContent content = is_literals(form) ? StreamContent::kLiterals : StreamContent::kNumbers;
        work.emplace_back(
            [&slot, &bytes, codec = kCodecs[c], content] { slot = Compress(codec, bytes, false, content); });
      }
    }
  }
  RunAll(work, threads);

  Bytes out = EncodeHeader(header, raw_patch.first(head_size));
  EncodeReport told;
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    const BlockStreams& block = blocks[b];
    Choice choices[kFormCount];
    for (std::size_t f = 0; f < kFormCount; ++f) {
      const Bytes& bytes = block.forms.of[f];
      choices[f].bytes = bytes;
      if (bytes.empty()) continue;
      for (const Compressed& compressed : tried[b][f]) {
        if (!compressed.bytes.empty()) Smallest(choices[f], compressed);
      }
    }
    const Transform transform = transforms[b];
    AppendLittleEndian(out, block.yield, 4);
    AppendLittleEndian(out, Crc32(raw_patch.subspan(static_cast<std::size_t>(block.start), block.yield)), 4);
    out.push_back(static_cast<std::uint8_t>(transform));
    AppendLittleEndian(out, 0, 3);
    const Form kept[kStreamCount] = {Form::kOpcodes, Form::kLengths, Form::kOffsets, LiteralForm(transform)};
    for (std::size_t s = 0; s < kStreamCount; ++s) {
      const Choice& choice = choices[static_cast<std::size_t>(kept[s])];
      AppendStream(out, choice, block.forms[kept[s]].size());
      told.stream_bytes[s] += choice.bytes.size();
    }
    ++told.blocks;
    told.difference_blocks += transform == Transform::kDifference;
  }
  AppendLittleEndian(out, 0, 4);
  if (report != nullptr) *report = told;
  return out;
}

}  // namespace varnock::container
