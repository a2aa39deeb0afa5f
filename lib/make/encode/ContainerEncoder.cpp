#include "make/encode/ContainerEncoder.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>

#include "common/Crc32.h"
#include "format/Codecs.h"
#include "format/ContainerStreams.h"
#include "format/Instruction.h"
#include "format/PatchFormat.h"
#include "format/Prediction.h"
#include "make/HelperThreads.h"
#include "make/encode/FoldedCopies.h"

namespace varnock::container {
namespace {

// One block's streams before compression, and where its yield lies.
struct BlockStreams {
  std::uint64_t start = 0;  // of its yield in the raw patch
  std::uint32_t yield = 0;
  BlockForms forms;
  // For the predicted form, made once the block's copies are all known: its
  // literals' pieces (where the cursor and the target stood, and where their
  // bytes lie in the plain form) and the stretches its copies move.
  struct Piece {
    std::uint64_t cursor;
    std::uint64_t target;
    std::size_t at;
    std::size_t count;
  };
  std::vector<Piece> pieces;
  std::vector<Stretch> stretches;
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
  void Literal(std::uint64_t position, ByteSpan bytes, std::uint64_t target) {
    while (!bytes.empty()) {
      if (blocks_.back().yield == limit_) Open(position);
      BlockStreams& block = blocks_.back();
      const std::size_t count = std::min<std::size_t>(bytes.size(), limit_ - block.yield);
      block.pieces.push_back({streams_.Cursor(), target, block.forms[Form::kPlainLiterals].size(), count});
      target += count;
      streams_.AddLiteralBytes(block.forms, bytes.first(count));
      block.yield += static_cast<std::uint32_t>(count);
      position += count;
      bytes = bytes.subspan(count);
    }
  }
  // The open block's stretches, the one still open included.
  void EndBlock() {
    if (!blocks_.empty()) blocks_.back().stretches = stretches_.TakeBlock();
  }
  StreamBuilder streams_;
  std::vector<BlockStreams> blocks_;
  StretchCollector stretches_;

 private:
  void Open(std::uint64_t position) {
    EndBlock();
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
        if (operation.copies) {
          splitter.stretches_.Copy(operation.from, operation.length, splitter.streams_.Cursor(), target_size);
          splitter.streams_.AddCopy(block.forms, code, operation.from, operation.length);
        } else {
          splitter.streams_.AddLiteral(block.forms, code, operation.length);
          splitter.Literal(position + head,
                           raw.subspan(static_cast<std::size_t>(operation.from), operation.length),
                           target_size);
        }
        target_size += operation.length;
      });
  if (end.fault != decode::Fault::kNone) decode::Raise(end.fault, end.position);
  const std::uint64_t last = raw.size() - 1;
  decode::CheckStreamEnd(end.position, last, raw[last]);
  splitter.streams_.AddStop(splitter.Head(last, 1).forms);
  splitter.EndBlock();
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

// The container of one raw patch, made in steps: its blocks' streams in
// every form, the literal forms ranked by a fast compressor, then the
// streams kept compressed for good. With a predictor, blocks may take the
// predicted transform.
class Encoding {
 public:
  Encoding(ByteSpan raw_patch, ByteSpan source, Predictor* predictor, std::uint32_t block_limit);
  // Chooses each block's literal form; with `whole`, also estimates the
  // other streams, so that EstimatedSize() weighs the whole container.
  void Rank(unsigned threads, bool whole);
  std::uint64_t EstimatedSize() const noexcept { return estimated_size_; }
  // Whether a block was ranked best predicted.
  bool Predicts() const {
    return std::find(transforms_.begin(), transforms_.end(), Transform::kPredicted) != transforms_.end();
  }
  Bytes Finish(unsigned threads, EncodeReport* report);

 private:
  ByteSpan raw_patch_;
  bool predicting_;
  Header header_;
  std::vector<BlockStreams> blocks_;
  std::vector<Transform> transforms_;
  // Literals the fast compressor cannot shrink at all (compressed data
  // carried whole) are stored: the strong one would spend most of the
  // making's time on them for nothing.
  std::vector<bool> incompressible_;
  std::uint64_t estimated_size_ = 0;
};

Encoding::Encoding(ByteSpan raw_patch, ByteSpan source, Predictor* predictor, std::uint32_t block_limit)
    : raw_patch_(raw_patch), predicting_(predictor != nullptr) {
  block_limit = std::clamp<std::uint32_t>(block_limit, 64, kLargestBlockLimit);
  const PatchHeader patch_header = ReadPatchHeader(raw_patch, raw_patch.size());
  CheckSignature(raw_patch, patch_header, "<patch>");
  if (patch_header.source_crc != Crc32(source)) RaiseSourceChecksum();
  const std::uint32_t head_size = patch_header.header_size + kSignatureSize;
  if (raw_patch.size() <= head_size) RaiseStopCheck();

  header_.head_size = head_size;
  header_.raw_size = raw_patch.size();
  header_.raw_crc = Crc32(raw_patch);
  header_.source_crc = patch_header.source_crc;
  header_.source_size = source.size();
  header_.target_crc = patch_header.target_crc;
  header_.block_limit = block_limit;
  blocks_ = Split(raw_patch, source, head_size, block_limit, header_.target_size);
  if (predictor == nullptr) return;
  // Block after block: each block's copies are learnt before its literals
  // are predicted, as the decoder learns them.
  Equivalences learnt;
  Bytes predicted;
  for (BlockStreams& block : blocks_) {
    learnt.Learn(block.stretches);
    predictor->StartBlock(block.yield);
    const Bytes& plain = block.forms[Form::kPlainLiterals];
    Bytes& differences = block.forms[Form::kPredictedLiterals];
    differences.resize(plain.size());
    for (const BlockStreams::Piece& piece : block.pieces) {
      predicted.resize(piece.count);
      predictor->Predict(piece.cursor, piece.target, learnt, predicted);
      for (std::size_t k = 0; k < piece.count; ++k)
        differences[piece.at + k] = static_cast<std::uint8_t>(plain[piece.at + k] - predicted[k]);
    }
  }
}

void Encoding::Rank(unsigned threads, bool whole) {
  // The strong compressor takes most of the making's time, and the fast
  // one's sizes were measured to rank the forms alike.
  constexpr Transform kTransforms[] = {Transform::kPlain, Transform::kDifference, Transform::kPredicted};
  const std::size_t transform_count = predicting_ ? 3 : 2;
  std::vector<std::array<std::size_t, std::size(kTransforms)>> literal_estimates(blocks_.size());
  std::vector<std::array<std::size_t, kStreamCount>> other_estimates(blocks_.size());
  std::vector<std::function<void()>> work;
  for (std::size_t b = 0; b < blocks_.size(); ++b) {
    for (std::size_t t = 0; t < transform_count; ++t) {
      std::size_t& estimate = literal_estimates[b][t];
      const Bytes& literals = blocks_[b].forms[LiteralForm(kTransforms[t])];
      work.emplace_back([&estimate, &literals] { estimate = Estimate(literals); });
    }
    for (const Form form : {Form::kOpcodes, Form::kLengths, Form::kOffsets}) {
      if (!whole) break;
      std::size_t& estimate = other_estimates[b][static_cast<std::size_t>(form)];
      const Bytes& bytes = blocks_[b].forms[form];
      work.emplace_back([&estimate, &bytes] { estimate = Estimate(bytes); });
    }
  }
  RunAll(work, threads);
  transforms_.assign(blocks_.size(), Transform::kPlain);
  incompressible_.assign(blocks_.size(), false);
  estimated_size_ = 0;
  for (std::size_t b = 0; b < blocks_.size(); ++b) {
    const auto& estimates = literal_estimates[b];
    std::size_t best = 0;
    for (std::size_t t = 1; t < transform_count; ++t) {
      if (estimates[t] < estimates[best]) best = t;
    }
    transforms_[b] = kTransforms[best];
    incompressible_[b] = estimates[best] >= blocks_[b].forms[LiteralForm(transforms_[b])].size();
    estimated_size_ += estimates[best];
    for (const std::size_t estimate : other_estimates[b]) estimated_size_ += estimate;
  }
}

Bytes Encoding::Finish(unsigned threads, EncodeReport* report) {
  // Every stream kept, with LZMA2, and with zstd where it is short enough to
  // cost little (zstd wins only there, on the opcodes of small blocks).
  constexpr Codec kCodecs[] = {Codec::kLzma2, Codec::kZstd};
  constexpr std::size_t kLongestForZstd = 256 << 10;
  // Each block's forms, each under each codec; empty where not tried.
  using Tried = std::array<std::array<Compressed, std::size(kCodecs)>, kFormCount>;
  std::vector<Tried> tried(blocks_.size());
  const auto content_of = [](Form form) {
    return form == Form::kPredictedLiterals ? StreamContent::kPredictedLiterals
           : form == Form::kPlainLiterals || form == Form::kDifferenceLiterals ? StreamContent::kLiterals
                                                                               : StreamContent::kNumbers;
  };
  std::vector<std::function<void()>> work;
  for (std::size_t b = 0; b < blocks_.size(); ++b) {
    for (std::size_t f = kFormCount; f-- > 0;) {
      const auto form = static_cast<Form>(f);
      const StreamContent content = content_of(form);
      if (content != StreamContent::kNumbers && (form != LiteralForm(transforms_[b]) || incompressible_[b]))
        continue;
      for (std::size_t c = 0; c < std::size(kCodecs); ++c) {
        const Bytes& bytes = blocks_[b].forms[form];
        if (bytes.empty() || (kCodecs[c] == Codec::kZstd && bytes.size() > kLongestForZstd)) continue;
        Compressed& slot = tried[b][f][c];
        work.emplace_back(
            [&slot, &bytes, codec = kCodecs[c], content] { slot = Compress(codec, bytes, false, content); });
      }
    }
  }
  RunAll(work, threads);

  // A container that predicts nothing is one the first version reads.
  header_.version = Predicts() ? kPredictingVersion : kVersion;
  Bytes out = EncodeHeader(header_, raw_patch_.first(header_.head_size));
  EncodeReport told;
  for (std::size_t b = 0; b < blocks_.size(); ++b) {
    const BlockStreams& block = blocks_[b];
    Choice choices[kFormCount];
    for (std::size_t f = 0; f < kFormCount; ++f) {
      const Bytes& bytes = block.forms.of[f];
      choices[f].bytes = bytes;
      if (bytes.empty()) continue;
      for (const Compressed& compressed : tried[b][f]) {
        if (!compressed.bytes.empty()) Smallest(choices[f], compressed);
      }
    }
    const Transform transform = transforms_[b];
    AppendLittleEndian(out, block.yield, 4);
    AppendLittleEndian(out, Crc32(raw_patch_.subspan(static_cast<std::size_t>(block.start), block.yield)), 4);
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
    told.predicted_blocks += transform == Transform::kPredicted;
  }
  AppendLittleEndian(out, 0, 4);
  if (report != nullptr) *report = told;
  return out;
}

}  // namespace

Bytes EncodeContainer(ByteSpan raw_patch, ByteSpan source, unsigned threads, const EncodeOptions& options,
                      EncodeReport* report, Bytes* carried) {
  if (carried != nullptr) carried->clear();
  const std::uint32_t block_limit = options.block_limit;
  // A predictor over nothing knows nothing: the first version's container.
  Predictor predictor(options.predict ? source : ByteSpan());
  if (!predictor.Knows()) {
    Encoding encoding(raw_patch, source, nullptr, block_limit);
    encoding.Rank(threads, false);
    return encoding.Finish(threads, report);
  }
  // The patch as the parse made it, and the one with the copies that the
  // prediction makes needless folded away: the one a fast compressor finds
  // smaller is compressed for good, and within it each block keeps the
  // literal form estimated smallest. One of them is held at a time: the one
  // as parsed is made again in the rare case where folding does not pay.
  Bytes folded_patch = FoldPredictedCopies(raw_patch, source, predictor);
  std::optional<Encoding> chosen;
  if (!folded_patch.empty()) {
    std::uint64_t as_parsed = 0;
    {
      Encoding encoding(raw_patch, source, &predictor, block_limit);
      encoding.Rank(threads, true);
      as_parsed = encoding.EstimatedSize();
    }
    chosen.emplace(folded_patch, source, &predictor, block_limit);
    chosen->Rank(threads, true);
    // Folded copies are worth carrying only where the prediction gives them.
    if (chosen->Predicts() && chosen->EstimatedSize() < as_parsed) {
      if (carried != nullptr) *carried = std::move(folded_patch);
    } else {
      chosen.reset();
    }
  }
  if (!chosen) {
    chosen.emplace(raw_patch, source, &predictor, block_limit);
    chosen->Rank(threads, false);
  }
  Bytes container = chosen->Finish(threads, report);
  if (report != nullptr) report->references_predicted = predictor.predicted();
  // The fast compressor's estimates rank forms truly on streams of some
  // size, but on a small patch's few hundred bytes they can miss by a few
  // (a 5 KB x86-64 library's patch grew by 2 bytes): there the first
  // version's container, cheap to make too, is kept where it is smaller.
  constexpr std::size_t kLargestUnsurePatch = 64 << 10;
  if (raw_patch.size() <= kLargestUnsurePatch) {
    Encoding first(raw_patch, source, nullptr, block_limit);
    first.Rank(threads, false);
    EncodeReport first_report;
    Bytes first_container = first.Finish(threads, &first_report);
    if (first_container.size() < container.size()) {
      if (carried != nullptr) carried->clear();
      if (report != nullptr) *report = first_report;
      return first_container;
    }
  }
  return container;
}

}  // namespace varnock::container
