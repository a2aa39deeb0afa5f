#include "make/encode/ContainerEncoder.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

#include "apply/InstructionStream.h"
#include "common/Crc32.h"
#include "format/Codecs.h"
#include "format/Instruction.h"

namespace varnock::container {
namespace {

// One block's streams before compression: both forms of its literals.
struct BlockStreams {
  std::uint64_t start = 0;  // of its yield in the raw patch
  std::uint32_t yield = 0;
  Bytes opcodes, lengths, offsets, plain, difference;
};

// The cheapest way to store `bytes`: as they are, or compressed.
struct Choice {
  Codec codec = Codec::kStored;
  std::uint8_t property = 0;
  Bytes bytes;
};

// Splits the raw patch's instructions into blocks' streams.
class Splitter {
 public:
  Splitter(ByteSpan source, std::uint32_t block_limit) : source_(source), limit_(block_limit) {}

  // An instruction's opcode and operands, `head` bytes at `position`.
  void Head(std::uint64_t position, std::uint32_t head) {
    if (blocks_.empty() || blocks_.back().yield + head > limit_) Open(position);
  }
  BlockStreams& Current() { return blocks_.back(); }
  void Literal(std::uint64_t position, ByteSpan bytes) {
    while (!bytes.empty()) {
      if (blocks_.back().yield == limit_) Open(position);
      BlockStreams& block = blocks_.back();
      const std::size_t count = std::min<std::size_t>(bytes.size(), limit_ - block.yield);
      for (std::size_t k = 0; k < count; ++k) {
        const std::uint64_t aligned = cursor_ + k;
        const std::uint8_t base = aligned < source_.size() ? source_[aligned] : 0;
        block.plain.push_back(bytes[k]);
        block.difference.push_back(static_cast<std::uint8_t>(bytes[k] - base));
      }
      block.yield += static_cast<std::uint32_t>(count);
      cursor_ += count;
      position += count;
      bytes = bytes.subspan(count);
    }
  }
  std::uint64_t cursor_ = 0;
  std::vector<BlockStreams> blocks_;

 private:
  void Open(std::uint64_t position) {
    blocks_.emplace_back();
    blocks_.back().start = position;
  }
  ByteSpan source_;
  std::uint32_t limit_;
};

std::vector<BlockStreams> Split(ByteSpan raw, ByteSpan source, std::uint32_t head_length,
                                std::uint32_t block_limit, std::uint64_t& target_length) {
  Splitter splitter(source, block_limit);
  target_length = 0;
  const decode::WalkEnd end = decode::ForEachOperation(
      head_length, raw.size(), source.size(), [&](std::uint64_t position) { return raw.data() + position; },
      [&](std::uint64_t position, std::uint8_t code, const decode::Operation& operation) {
        const OperandWidths widths = OperandWidthsOf(code);
        const std::uint32_t head = 1 + widths.offset + widths.length;
        splitter.Head(position, head);
        BlockStreams& block = splitter.Current();
        block.opcodes.push_back(code);
        block.yield += head;
        if (widths.length != 0) AppendVarint(block.lengths, operation.length);
        target_length += operation.length;
        if (operation.copies) {
          AppendVarint(block.offsets, Zigzag(static_cast<std::int64_t>(operation.from) -
                                             static_cast<std::int64_t>(splitter.cursor_)));
          splitter.cursor_ = operation.from + operation.length;
        } else {
          splitter.Literal(position + head,
                           raw.subspan(static_cast<std::size_t>(operation.from), operation.length));
        }
      });
  if (end.fault != decode::Fault::kNone) decode::Raise(end.fault, end.position);
  const std::uint64_t last = raw.size() - 1;
  decode::CheckStreamEnd(end.position, last, raw[last]);
  splitter.Head(last, 1);
  splitter.Current().opcodes.push_back(opcode::kStop);
  splitter.Current().yield += 1;
  return std::move(splitter.blocks_);
}

// Work items, run on a few threads; each writes only its own result.
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
  std::vector<std::thread> started;
  for (unsigned i = 1; i < std::max(threads, 1u) && i < work.size(); ++i) {
    try {
      started.emplace_back(worker);
    } catch (const std::system_error&) {
      break;  // the threads already started do the work
    }
  }
  worker();
  for (std::thread& thread : started) thread.join();
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
  const std::uint32_t head_length = patch_header.header_size + kSignatureSize;
  if (raw_patch.size() <= head_length) RaiseStopCheck();

  Header header;
  header.head_length = head_length;
  header.raw_length = raw_patch.size();
  header.raw_crc = Crc32(raw_patch);
  header.source_crc = patch_header.source_crc;
  header.source_length = source.size();
  header.target_crc = patch_header.target_crc;
  header.block_limit = block_limit;
  std::vector<BlockStreams> blocks = Split(raw_patch, source, head_length, block_limit, header.target_length);

  constexpr std::size_t kForms = 5;
  auto form = [&](BlockStreams& block, std::size_t index) -> const Bytes& {
    const Bytes* forms[kForms] = {&block.opcodes, &block.lengths, &block.offsets, &block.plain,
                                  &block.difference};
    return *forms[index];
  };
  // First each block's literal transform, by the sizes of both forms under a
  // fast compressor: the strong one takes most of the making's time, and its
  // sizes were measured to rank the two forms alike.
  std::vector<std::size_t> estimates(blocks.size() * 2);
  std::vector<std::function<void()>> work;
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    for (std::size_t f = 0; f < 2; ++f) {
      work.emplace_back(
          [&estimates, &form, &blocks, b, f] { estimates[b * 2 + f] = Estimate(form(blocks[b], 3 + f)); });
    }
  }
  RunAll(work, threads);
  std::vector<bool> differences(blocks.size());
  // Literals the fast compressor cannot shrink at all (compressed data
  // carried whole) are stored: the strong one would spend most of the
  // making's time on them for nothing.
  std::vector<bool> incompressible(blocks.size());
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    differences[b] = estimates[b * 2 + 1] < estimates[b * 2];
    const std::size_t kept = differences[b] ? 4 : 3;
    incompressible[b] = estimates[b * 2 + kept - 3] >= form(blocks[b], kept).size();
  }

  // Then every stream kept, with LZMA2, and with zstd where it is short enough
  // to cost little (zstd wins only there, on the opcodes of small blocks).
  constexpr Codec kCodecs[] = {Codec::kLzma2, Codec::kZstd};
  constexpr std::size_t kLongestForZstd = 256 << 10;
  std::vector<Compressed> tried(blocks.size() * kForms * std::size(kCodecs));
  work.clear();
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    for (std::size_t f = kForms; f-- > 0;) {
      if (f == (differences[b] ? 3u : 4u) || (f >= 3 && incompressible[b])) continue;
      for (std::size_t c = 0; c < std::size(kCodecs); ++c) {
        const Bytes& bytes = form(blocks[b], f);
        if (bytes.empty() || (kCodecs[c] == Codec::kZstd && bytes.size() > kLongestForZstd)) continue;
        Compressed& slot = tried[(b * kForms + f) * std::size(kCodecs) + c];
        const StreamContent content = f >= 3 ? StreamContent::kLiterals : StreamContent::kNumbers;
        work.emplace_back(
            [&slot, &bytes, codec = kCodecs[c], content] { slot = Compress(codec, bytes, false, content); });
      }
    }
  }
  RunAll(work, threads);

  Bytes out = EncodeHeader(header, raw_patch.first(head_length));
  EncodeReport told;
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    Choice choices[kForms];
    for (std::size_t f = 0; f < kForms; ++f) {
      const Bytes& bytes = form(blocks[b], f);
      choices[f].bytes = bytes;
      if (bytes.empty()) continue;
      for (std::size_t c = 0; c < std::size(kCodecs); ++c) {
        const Compressed& compressed = tried[(b * kForms + f) * std::size(kCodecs) + c];
        if (!compressed.bytes.empty()) Smallest(choices[f], compressed);
      }
    }
    const bool difference = differences[b];
    const BlockStreams& block = blocks[b];
    AppendLittleEndian(out, block.yield, 4);
    AppendLittleEndian(out, Crc32(raw_patch.subspan(static_cast<std::size_t>(block.start), block.yield)), 4);
    out.push_back(static_cast<std::uint8_t>(difference ? Transform::kDifference : Transform::kPlain));
    AppendLittleEndian(out, 0, 3);
    const Choice* streams[kStreamCount] = {&choices[0], &choices[1], &choices[2],
                                           difference ? &choices[4] : &choices[3]};
    const std::size_t decoded[kStreamCount] = {block.opcodes.size(), block.lengths.size(),
                                               block.offsets.size(), block.plain.size()};
    for (std::size_t s = 0; s < kStreamCount; ++s) {
      AppendStream(out, *streams[s], decoded[s]);
      told.stream_bytes[s] += streams[s]->bytes.size();
    }
    ++told.blocks;
    told.difference_blocks += difference;
  }
  AppendLittleEndian(out, 0, 4);
  if (report != nullptr) *report = told;
  return out;
}

}  // namespace varnock::container
