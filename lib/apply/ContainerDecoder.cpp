#include "apply/ContainerDecoder.h"

#include <algorithm>

#include "common/Crc32.h"
#include "format/Bounds.h"
#include "format/Codecs.h"
#include "format/Instruction.h"
#include "format/Prediction.h"

namespace varnock::container {
namespace {

constexpr const char* kStreamNames[kStreamCount] = {"opcodes", "lengths", "offsets", "literals"};
// The source's block cache for literals sent as differences: they lie near
// the copies before them, so a few blocks hold them.
constexpr std::size_t kDifferenceCache = std::size_t{4} << SourceCache::kBlockShift;

std::uint32_t HeadCrc(ByteSpan head, std::size_t from_end) {
  return static_cast<std::uint32_t>(ReadLittleEndian(head.data() + head.size() - 5 - from_end, 4));
}

}  // namespace

ContainerDecoder::ContainerDecoder(InputRanges& input, InputRanges* source) : input_(input), source_(source) {
  std::uint8_t fixed[kFixedHeaderSize];
  if (input.Size() < kFixedHeaderSize + kShortestHead + 4)
    throw EContainerDamaged("it ends within its header");
  input.Read(0, fixed);
  header_ = DecodeHeader(fixed);
  const std::uint64_t header_end = kFixedHeaderSize + std::uint64_t{header_.head_size} + 4;
  if (header_end > input.Size()) throw EContainerDamaged("it ends within its header");
  Bytes whole(static_cast<std::size_t>(header_end));
  input.Read(0, whole);
  const ByteSpan covered = ByteSpan(whole).first(whole.size() - 4);
  if (Crc32(covered) != ReadLittleEndian(whole.data() + covered.size(), 4))
    throw EContainerDamaged("its header's CRC-32 does not match");
  head_.assign(whole.begin() + kFixedHeaderSize, whole.end() - 4);
  // The head ends with the raw header's two checksums, then the signature.
  if (HeadCrc(head_, 8) != header_.source_crc || HeadCrc(head_, 4) != header_.target_crc)
    throw EContainerDamaged("its head names other checksums than its header");
  blocks_start_ = header_end;
  Restart();
}

void ContainerDecoder::Restart() {
  next_block_ = blocks_start_;
  produced_ = 0;
  rebuilt_ = head_.size();
  raw_crc_ = Crc32(head_);
  cursor_ = 0;
  literal_left_ = 0;
  target_size_ = 0;
  stopped_ = false;
  block_.clear();
  block_at_ = 0;
  learning_ = header_.version == kPredictingVersion;
  stretches_ = {};
  learnt_ = {};
  report_ = {};
}

void ContainerDecoder::ReadInput(std::uint64_t offset, std::span<std::uint8_t> into) {
  if (!FitsWithin(offset, into.size(), input_.Size())) throw EContainerDamaged("it ends within a block");
  input_.Read(offset, into);
}

std::size_t ContainerDecoder::Read(std::span<std::uint8_t> into) {
  if (produced_ < head_.size()) {
    const auto count =
        static_cast<std::size_t>(std::min<std::uint64_t>(into.size(), head_.size() - produced_));
    std::copy_n(head_.begin() + static_cast<std::ptrdiff_t>(produced_), count, into.begin());
    produced_ += count;
    return count;
  }
  if (produced_ == header_.raw_size) return 0;
  if (block_at_ == block_.size()) LoadBlock();
  const std::size_t count = std::min(into.size(), block_.size() - block_at_);
  std::copy_n(block_.begin() + static_cast<std::ptrdiff_t>(block_at_), count, into.begin());
  block_at_ += count;
  produced_ += count;
  return count;
}

void ContainerDecoder::LoadBlock() {
  std::uint8_t fixed[kBlockHeaderSize];
  ReadInput(next_block_, {fixed, 4});
  const auto yield = static_cast<std::uint32_t>(ReadLittleEndian(fixed, 4));
  if (yield == 0) throw EContainerDamaged("it ends before its raw patch does");
  ReadInput(next_block_, fixed);
  const auto yield_crc = static_cast<std::uint32_t>(ReadLittleEndian(fixed + 4, 4));
  if (yield > header_.block_limit || !FitsWithin(rebuilt_, yield, header_.raw_size))
    throw EContainerDamaged("a block yields more than it may");
  const Transform last_transform =
      header_.version == kVersion ? Transform::kDifference : Transform::kPredicted;
  if (fixed[8] > static_cast<std::uint8_t>(last_transform) || ReadLittleEndian(fixed + 9, 3) != 0)
    throw EContainerDamaged("a block's header is not one of this version");
  std::uint64_t at = next_block_ + kBlockHeaderSize;
  // The last block's yield, all handed on, is not held beside this one's streams.
  Bytes().swap(block_);
  block_at_ = 0;
  Bytes streams[kStreamCount];
  const std::uint64_t largest = std::uint64_t{2} * header_.block_limit;
  std::uint64_t decoded_in_all = 0;
  for (std::size_t s = 0; s < kStreamCount; ++s) {
    std::uint8_t stream_header[kStreamHeaderSize];
    ReadInput(at, stream_header);
    const std::uint8_t codec = stream_header[0];
    const std::uint64_t decoded = ReadLittleEndian(stream_header + 2, 4);
    const std::uint64_t stored = ReadLittleEndian(stream_header + 6, 4);
    decoded_in_all += decoded;
    if (codec > static_cast<std::uint8_t>(Codec::kZstd) || decoded_in_all > largest || stored > largest ||
        (codec == static_cast<std::uint8_t>(Codec::kStored) && stored != decoded) ||
        (codec != static_cast<std::uint8_t>(Codec::kStored) && stored == 0)) {
      throw EContainerDamaged(std::string("the ") + kStreamNames[s] + " stream's header is out of bounds");
    }
    std::uint64_t from = at + kStreamHeaderSize;
    if (from > input_.Size() || stored > input_.Size() - from)
      throw EContainerDamaged("it ends within a block");
    streams[s].resize(static_cast<std::size_t>(decoded));
    Decompress(
        static_cast<Codec>(codec), stream_header[1], stored,
        [&](std::span<std::uint8_t> piece) {
          input_.Read(from, piece);
          from += piece.size();
        },
        streams[s], header_.block_limit, kStreamNames[s]);
    at += kStreamHeaderSize + stored;
  }
  Rebuild(streams, static_cast<Transform>(fixed[8]), yield);
  if (source_ != nullptr) {
    if (Crc32(block_) != yield_crc) throw EContainerDamaged("a block's CRC-32 does not match");
    raw_crc_ = Crc32(block_, raw_crc_);
  }
  rebuilt_ += yield;
  next_block_ = at;
  block_at_ = 0;
  if (rebuilt_ == header_.raw_size) {
    // The last block: the whole patch is checked before any of it goes on.
    std::uint8_t end[4];
    ReadInput(next_block_, end);
    if (ReadLittleEndian(end, 4) != 0) throw EContainerDamaged("a block follows the last one");
    if (next_block_ + 4 != input_.Size()) throw EContainerDamaged("bytes follow its end");
    if (literal_left_ != 0 || !stopped_) throw EContainerDamaged("its instructions end unfinished");
    if (target_size_ != header_.target_size) throw EContainerDamaged("its target length does not match");
    if (source_ != nullptr && raw_crc_ != header_.raw_crc)
      throw EContainerDamaged("the raw patch's CRC-32 does not match");
  }
}

std::uint8_t* ContainerDecoder::AddSource(ByteSpan differences, std::uint64_t offset, std::uint8_t* out) {
  // Run by run as the cache holds the source together, not a lookup a byte.
  for (std::size_t done = 0; done < differences.size();) {
    const std::uint64_t at = offset + done;
    std::size_t run = differences.size() - done;
    const std::uint8_t* source = nullptr;
    // A source shorter than the header says fails its checks later; its
    // missing bytes count as 0 here, and nothing is read past its end.
    const std::uint64_t source_end = source_ == nullptr ? 0 : std::min(header_.source_size, source_->Size());
    if (at < source_end) {
      if (!source_cache_) source_cache_.emplace(*source_, kDifferenceCache);
      const ByteSpan held = source_cache_->View(at, run);
      run = static_cast<std::size_t>(std::min<std::uint64_t>({run, held.size(), source_end - at}));
      source = held.data();
    }
    for (std::size_t k = 0; k < run; ++k)
      out[k] = static_cast<std::uint8_t>(differences[done + k] + (source != nullptr ? source[k] : 0));
    out += run;
    done += run;
  }
  return out;
}

void ContainerDecoder::Rebuild(const Bytes (&streams)[kStreamCount], Transform transform,
                               std::uint32_t yield) {
  StreamReader opcodes(streams[kOpcodes], kStreamNames[kOpcodes]);
  StreamReader lengths(streams[kLengths], kStreamNames[kLengths]);
  StreamReader offsets(streams[kOffsets], kStreamNames[kOffsets]);
  StreamReader literals(streams[kLiterals], kStreamNames[kLiterals]);
  block_.resize(yield);
  std::uint8_t* out = block_.data();
  std::uint8_t* const end = out + yield;
  const auto damaged = [](const char* what) { throw EContainerDamaged(what); };
  // A predicted block's literals wait for the instructions, with their
  // places kept: they need every copy of the block learnt.
  const bool predicting = transform == Transform::kPredicted && source_ != nullptr;
  pieces_.clear();
  while (out != end) {
    if (literal_left_ > 0) {
      const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(literal_left_, end - out));
      const LiteralPiece piece{static_cast<std::size_t>(out - block_.data()), literals.Take(count), cursor_,
                               target_size_ - literal_left_};
      if (predicting) {
        pieces_.push_back(piece);
      } else {
        FillLiteral(piece, transform);
      }
      out += count;
      cursor_ += count;
      literal_left_ -= count;
      continue;
    }
    if (stopped_) damaged("an instruction follows the stop");
    const std::uint8_t code = opcodes.Byte();
    std::uint64_t length = code;
    const auto [offset_width, length_width] = OperandWidthsOf(code);
    if (code == opcode::kStop) stopped_ = true;
    if (code == opcode::kUnsupported64) damaged("an opcode 0xFF");
    if (length_width != 0) length = lengths.Varint();
    std::uint64_t offset = 0;
    if (offset_width != 0) {
      const std::int64_t delta = Unzigzag(offsets.Varint());
      // The cursor stays below 2^34 (a copy's end, then a raw patch's worth
      // of literals): a shift this far leaves the source either way, and
      // below it the sum is exact.
      constexpr std::int64_t kFarthest = std::int64_t{1} << 40;
      const std::int64_t at =
          delta < -kFarthest || delta > kFarthest ? -1 : static_cast<std::int64_t>(cursor_) + delta;
      if (at < 0 || at > std::int64_t{0xFFFFFFFF}) damaged("a copy's offset is out of bounds");
      offset = static_cast<std::uint64_t>(at);
    }
    if ((length_width != 0 && length >> (8 * length_width) != 0) ||
        (offset_width != 0 && offset >> (8 * offset_width) != 0))
      damaged("an operand does not fit its instruction");
    const std::size_t head = 1 + length_width + offset_width;
    if (static_cast<std::size_t>(end - out) < head) damaged("an instruction straddles two blocks");
    *out++ = code;
    if (offset_width != 0) out = WriteBigEndian(out, offset, offset_width);
    if (length_width != 0) out = WriteBigEndian(out, length, length_width);
    if (code == opcode::kStop) continue;
    if (offset_width != 0) {
      if (learning_) stretches_.Copy(offset, length, cursor_, target_size_);
      cursor_ = offset + length;
    } else {
      literal_left_ = length;
    }
    target_size_ += length;
  }
  if (!opcodes.AtEnd() || !lengths.AtEnd() || !offsets.AtEnd() || !literals.AtEnd())
    damaged("a block's streams hold more than it yields");
  if (learning_) learnt_.Learn(stretches_.TakeBlock());
  ++report_.blocks;
  report_.predicted_blocks += transform == Transform::kPredicted;

  if (predicting) SourcePredictor().StartBlock(yield);
  for (const LiteralPiece& piece : pieces_) FillLiteral(piece, transform);
  if (predictor_) report_.references_reencoded = predictor_->predicted();
}

void ContainerDecoder::FillLiteral(const LiteralPiece& piece, Transform transform) {
  std::uint8_t* at = block_.data() + piece.at;
  if (transform == Transform::kPlain) {
    std::copy(piece.bytes.begin(), piece.bytes.end(), at);
  } else if (transform == Transform::kDifference || source_ == nullptr) {
    AddSource(piece.bytes, piece.cursor, at);
  } else {
    // Predicted where the literal goes, then corrected in place.
    SourcePredictor().Predict(piece.cursor, piece.target, learnt_, {at, piece.bytes.size()});
    report_.predicted_bytes += piece.bytes.size();
    report_.corrected_bytes += AddPrediction(piece.bytes, at, at);
  }
}

Predictor& ContainerDecoder::SourcePredictor() {
  if (!predictor_) {
    // The prediction reads the source at will, through its references'
    // targets: a source that is not in memory already is read into it.
    std::span<const std::uint8_t> whole;
    if (const std::uint8_t* held = source_->Held()) {
      whole = {held, static_cast<std::size_t>(source_->Size())};
    } else {
      whole_source_.resize(static_cast<std::size_t>(source_->Size()));
      source_->Read(0, whole_source_);
      whole = whole_source_;
    }
    predictor_ = std::make_unique<Predictor>(
        whole.first(static_cast<std::size_t>(std::min<std::uint64_t>(whole.size(), header_.source_size))),
        Predictor::Keep::kTable);
  }
  return *predictor_;
}

}  // namespace varnock::container
