// Makes a container as the raw patch is written: the instructions go into
// blocks' streams as they come, each block is compressed once it is whole,
// on the helper threads, and written out in order. The raw patch is never
// held: only the streams of the block being filled and of those being
// compressed, at most one a thread, however long the patch.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>

#include "format/ContainerFormat.h"
#include "format/Prediction.h"
#include "make/HelperThreads.h"
#include "make/encode/BlockEncoder.h"
#include "make/encode/PatchSink.h"
#include "make/encode/RawPatchReader.h"

namespace varnock::container {

// Where a container goes as it is made: appended to front to back, then
// its header, whose first bytes stand in for it until then, written again.
class ContainerSink {
 public:
  virtual ~ContainerSink() = default;
  virtual void Append(ByteSpan bytes) = 0;
  virtual void RewriteHeader(ByteSpan header) = 0;
};

// A container held in memory.
class ContainerBytes : public ContainerSink {
 public:
  void Append(ByteSpan bytes) override { bytes_.insert(bytes_.end(), bytes.begin(), bytes.end()); }
  void RewriteHeader(ByteSpan header) override { std::copy(header.begin(), header.end(), bytes_.begin()); }
  Bytes& bytes() noexcept { return bytes_; }

 private:
  Bytes bytes_;
};

struct EncodeOptions {
  std::uint32_t block_limit = kDefaultBlockLimit;
  // Off, the container is the first version's whatever the source: what
  // tests and benchmarks weigh the predicting one against.
  bool predict = true;
};

class ContainerWriter final : public PatchSink, private RawPatchVisitor {
 public:
  // The container of a well-formed patch for `source` (raises Exception
  // otherwise), in blocks yielding at most `options.block_limit` bytes,
  // compressed on up to `threads` threads; its bytes never depend on the
  // thread count. Where the source is an executable whose references are
  // known, with `options.predict`, blocks may take the predicted transform.
  ContainerWriter(ByteSpan source, unsigned threads, const EncodeOptions& options, ContainerSink& out);
  ~ContainerWriter() override;

  // Whether blocks may take the predicted transform.
  bool Predicts() const noexcept { return predictor_.Knows(); }
  void Write(ByteSpan raw) override { reader_.Write(raw); }
  // After the patch's last byte: writes the last blocks and the header.
  EncodeReport Finish();

 private:
  struct Job {
    BlockStreams block;
    std::optional<EncodedBlock> encoded;
    bool taken = false;
  };

  void Head(ByteSpan head) override;
  void Instruction(std::uint64_t position, ByteSpan head, const decode::Operation& operation) override;
  void LiteralBytes(ByteSpan bytes) override;
  void Stop(std::uint64_t position) override;

  // The block an instruction's head of `size` bytes at `position` goes in.
  BlockStreams& HeadIn(std::uint64_t position, ByteSpan head);
  void Open(std::uint64_t position);
  // The open block is whole: its predicted form made, it goes to be encoded.
  void Close();
  // Writes the blocks encoded, in order; with `until` set, waits (encoding
  // blocks itself meanwhile) until at most that many are left in flight.
  void Drain(std::size_t until);
  void Work();
  // A predicted block's difference form, from its plain one and its pieces.
  void AddDifferences(BlockStreams& block) const;
  // Encodes a job taken; with the lock held on entry and on return.
  void Run(Job& job, std::unique_lock<std::mutex>& lock);

  ByteSpan source_;
  std::uint32_t block_limit_;
  ContainerSink& out_;
  RawPatchReader reader_;
  Header header_;
  Bytes head_;
  std::uint32_t raw_crc_ = 0;
  StreamBuilder streams_;
  StretchCollector stretches_;
  std::optional<BlockStreams> open_;
  // Where the literal being read goes on, in the patch and in the target.
  std::uint64_t literal_at_ = 0;
  std::uint64_t literal_target_ = 0;
  Predictor predictor_;
  Equivalences learnt_;
  EncodeReport report_;
  bool predicted_any_ = false;

  // Blocks in flight, oldest first; at most in_flight_limit_.
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<Job> jobs_;
  unsigned threads_;
  std::size_t in_flight_limit_ = 0;
  bool finishing_ = false;  // the patch's last byte has come
  bool stopping_ = false;
  std::exception_ptr failure_;
  maker::HelperThreads helpers_;
};

}  // namespace varnock::container
