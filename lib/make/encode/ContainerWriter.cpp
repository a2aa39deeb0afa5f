#include "make/encode/ContainerWriter.h"

#include <algorithm>

#include "common/Crc32.h"
#include "format/PatchFormat.h"

namespace varnock::container {

ContainerWriter::ContainerWriter(ByteSpan source, unsigned threads, const EncodeOptions& options,
                                 ContainerSink& out)
    : source_(source),
      block_limit_(std::clamp<std::uint32_t>(options.block_limit, 64, kLargestBlockLimit)),
      out_(out),
      reader_(*this, source.size()),
      streams_(source, 0),
      predictor_(options.predict ? source : ByteSpan()),
      // The calling thread writes the patch while the helpers encode; while
      // it waits for them it encodes too. A block more in flight than there
      // are helpers would only hold its streams longer.
      threads_(std::max(threads, 1u)) {
  // The OS may give fewer helpers than asked (none in a browser without threads).
  in_flight_limit_ = helpers_.Start(threads_ - 1, [this] { Work(); });
}

ContainerWriter::~ContainerWriter() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopping_ = true;
  }
  changed_.notify_all();
  helpers_.Join();
}

void ContainerWriter::Head(ByteSpan head) {
  const PatchHeader patch_header = ReadPatchHeader(head, head.size() + 1);
  CheckSignature(head, patch_header, "<patch>");
  if (patch_header.source_crc != Crc32(source_)) RaiseSourceChecksum();
  header_.head_size = static_cast<std::uint32_t>(head.size());
  header_.source_crc = patch_header.source_crc;
  header_.source_size = source_.size();
  header_.target_crc = patch_header.target_crc;
  header_.block_limit = block_limit_;
  head_.assign(head.begin(), head.end());
  header_.raw_size = head.size();
  raw_crc_ = Crc32(head);
  // Stands in for the header until the patch's length and CRC-32 are known.
  out_.Append(EncodeHeader(header_, head_));
}

BlockStreams& ContainerWriter::HeadIn(std::uint64_t position, ByteSpan head) {
  if (!open_ || open_->yield + head.size() > block_limit_) Open(position);
  open_->yield += static_cast<std::uint32_t>(head.size());
  open_->crc = Crc32(head, open_->crc);
  raw_crc_ = Crc32(head, raw_crc_);
  header_.raw_size += head.size();
  return *open_;
}

void ContainerWriter::Instruction(std::uint64_t position, ByteSpan head, const decode::Operation& operation) {
  BlockStreams& block = HeadIn(position, head);
  if (operation.copies) {
    stretches_.Copy(operation.from, operation.length, streams_.Cursor(), header_.target_size);
    streams_.AddCopy(block.forms, head[0], operation.from, operation.length);
  } else {
    streams_.AddLiteral(block.forms, head[0], operation.length);
    literal_at_ = operation.from;
    literal_target_ = header_.target_size;
  }
  header_.target_size += operation.length;
}

void ContainerWriter::LiteralBytes(ByteSpan bytes) {
  raw_crc_ = Crc32(bytes, raw_crc_);
  header_.raw_size += bytes.size();
  while (!bytes.empty()) {
    if (open_->yield == block_limit_) Open(literal_at_);
    BlockStreams& block = *open_;
    const std::size_t count = std::min<std::size_t>(bytes.size(), block_limit_ - block.yield);
    const ByteSpan piece = bytes.first(count);
    block.crc = Crc32(piece, block.crc);
    // Where the pieces lie is needed only to predict them, and short
    // literals' pieces take more memory than their bytes. A predicted
    // block's differences from the source wait for its encoding, so that
    // they are not held while the block fills.
    if (predictor_.Knows()) {
      block.pieces.push_back({streams_.Cursor(), literal_target_, static_cast<std::uint32_t>(count)});
      streams_.AddPlainLiteralBytes(block.forms, piece);
    } else {
      streams_.AddLiteralBytes(block.forms, piece);
    }
    block.yield += static_cast<std::uint32_t>(count);
    literal_at_ += count;
    literal_target_ += count;
    bytes = bytes.subspan(count);
  }
}

void ContainerWriter::Stop(std::uint64_t position) {
  const std::uint8_t stop = opcode::kStop;
  streams_.AddStop(HeadIn(position, {&stop, 1}).forms);
  Close();
}

void ContainerWriter::Open(std::uint64_t position) {
  if (open_) Close();
  open_.emplace();
  open_->start = position;
}

void ContainerWriter::Close() {
  BlockStreams& block = *open_;
  block.stretches = stretches_.TakeBlock();
  if (predictor_.Knows()) {
    // Each block's copies are learnt before its literals are predicted, as
    // the decoder learns them.
    learnt_.Learn(block.stretches);
    predictor_.StartBlock(block.yield);
    const Bytes& plain = block.forms[Form::kPlainLiterals];
    Bytes& differences = block.forms[Form::kPredictedLiterals];
    differences.resize(plain.size());
    Bytes predicted;
    std::size_t at = 0;
    for (const BlockStreams::Piece& piece : block.pieces) {
      predicted.resize(piece.count);
      predictor_.Predict(piece.cursor, piece.target, learnt_, predicted);
      for (std::size_t k = 0; k < piece.count; ++k)
        differences[at + k] = static_cast<std::uint8_t>(plain[at + k] - predicted[k]);
      at += piece.count;
    }
  }
  {
    std::lock_guard<std::mutex> hold(lock_);
    jobs_.push_back({std::move(block), std::nullopt, false});
  }
  open_.reset();
  changed_.notify_all();
  Drain(in_flight_limit_);
}

void ContainerWriter::AddDifferences(BlockStreams& block) const {
  const Bytes& plain = block.forms[Form::kPlainLiterals];
  Bytes& differences = block.forms[Form::kDifferenceLiterals];
  differences.reserve(plain.size());
  std::size_t at = 0;
  for (const BlockStreams::Piece& piece : block.pieces) {
    AppendDifferences(source_, piece.cursor, ByteSpan(plain).subspan(at, piece.count), differences);
    at += piece.count;
  }
}

void ContainerWriter::Run(Job& job, std::unique_lock<std::mutex>& lock) {
  job.taken = true;
  // The last block, the only one of most patches, has every thread to
  // itself once the patch is written; any other, one.
  const bool alone = finishing_ && std::all_of(jobs_.begin(), jobs_.end(), [&](const Job& other) {
                       return &other == &job || other.encoded.has_value();
                     });
  lock.unlock();
  std::optional<EncodedBlock> encoded;
  std::exception_ptr failure;
  try {
    if (predictor_.Knows()) AddDifferences(job.block);
    encoded = EncodeBlock(job.block, predictor_.Knows(), alone ? threads_ : 1);
  } catch (...) {
    failure = std::current_exception();
  }
  // Its streams are no longer needed once encoded.
  job.block = {};
  lock.lock();
  job.encoded = std::move(encoded);
  if (failure && !failure_) failure_ = failure;
  changed_.notify_all();
}

void ContainerWriter::Work() {
  std::unique_lock<std::mutex> lock(lock_);
  for (;;) {
    auto untaken = jobs_.end();
    changed_.wait(lock, [&] {
      untaken = std::find_if(jobs_.begin(), jobs_.end(), [](const Job& job) { return !job.taken; });
      return stopping_ || untaken != jobs_.end();
    });
    if (stopping_) return;
    Run(*untaken, lock);
  }
}

void ContainerWriter::Drain(std::size_t until) {
  std::unique_lock<std::mutex> lock(lock_);
  for (;;) {
    if (failure_) std::rethrow_exception(failure_);
    while (!jobs_.empty() && jobs_.front().encoded) {
      const EncodedBlock encoded = std::move(*jobs_.front().encoded);
      jobs_.pop_front();
      lock.unlock();
      Tally(report_, encoded);
      predicted_any_ |= encoded.transform == Transform::kPredicted;
      out_.Append(encoded.bytes);
      lock.lock();
    }
    if (jobs_.size() <= until) return;
    const auto untaken = std::find_if(jobs_.begin(), jobs_.end(), [](const Job& job) { return !job.taken; });
    if (untaken != jobs_.end()) {
      Run(*untaken, lock);
    } else {
      changed_.wait(lock);
    }
  }
}

EncodeReport ContainerWriter::Finish() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    finishing_ = true;
  }
  reader_.Finish();
  Drain(0);
  Bytes end;
  AppendLittleEndian(end, 0, 4);
  out_.Append(end);
  // A container that predicts nothing is one the first version reads.
  header_.version = predicted_any_ ? kPredictingVersion : kVersion;
  header_.raw_crc = raw_crc_;
  out_.RewriteHeader(EncodeHeader(header_, head_));
  report_.references_predicted = predictor_.predicted();
  return report_;
}

}  // namespace varnock::container
