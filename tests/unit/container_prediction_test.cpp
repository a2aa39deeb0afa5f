// Guards the prediction that maker and decoder must make alike, byte for
// byte: a predictor that finds its references faster must predict what the
// rule predicts. The rule, taken plainly below: the source's bytes on the
// cursor's diagonal, each reference of the whole file that overlaps them
// re-encoded for where its location and its target went; references looked up
// by 4 KiB chunk through a table of 1,024 chunks emptied every block, and a
// block refused the chunks it asks for past its budget of misses.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <string>
#include <vector>

#include "exe/Image.h"
#include "exe/LittleEndian.h"
#include "exe/ReferenceFinder.h"
#include "format/Prediction.h"
#include "support/ExeFiles.h"
#include "support/SyntheticExe.h"

namespace varnock::container {
namespace {

class RulePredictor {
 public:
  explicit RulePredictor(std::span<const std::uint8_t> source) : source_(source) {
    if (auto image = exe::Image::Parse(source)) {
      image_ = std::move(*image);
      exe::ReferenceFinder(*image_, source).Find(0, source.size(), references_);
    }
  }

  void StartBlock(std::uint32_t yield) {
    tags_.fill(~std::uint64_t{0});
    budget_ = Predictor::ChunkBudget(yield);
  }

  std::vector<std::uint8_t> Predict(std::uint64_t cursor, std::uint64_t target, const Equivalences& learnt,
                                    std::size_t size) {
    std::vector<std::uint8_t> out(size, 0);
    const std::uint64_t end = std::min<std::uint64_t>(cursor + size, source_.size());
    for (std::uint64_t at = cursor; at < end; ++at) out[at - cursor] = source_[at];
    if (!image_ || cursor >= end) return out;
    const std::uint64_t first_chunk = (cursor >= 8 ? cursor - 8 : 0) / exe::kChunkBytes;
    for (std::uint64_t chunk = first_chunk; chunk <= (end - 1) / exe::kChunkBytes; ++chunk) {
      std::uint64_t& tag = tags_[chunk % tags_.size()];
      if (tag != chunk) {
        if (budget_ == 0) {
          ++refused_;
          continue;
        }
        --budget_;
        tag = chunk;
      }
      auto it = std::lower_bound(references_.begin(), references_.end(), chunk * exe::kChunkBytes,
                                 [](const exe::Reference& r, std::uint64_t at) { return r.location < at; });
      for (; it != references_.end() && it->location / exe::kChunkBytes == chunk; ++it) {
        const exe::Reference& reference = *it;
        const std::uint64_t width = exe::FieldWidth(reference.kind);
        if (reference.location + width <= cursor || reference.location >= end) continue;
        const auto target_offset = image_->OffsetOf(reference.target_va);
        const auto shift = target_offset ? learnt.ShiftAt(*target_offset) : std::nullopt;
        const auto location_va = image_->VaOf(reference.location);
        std::uint8_t field[8];
        if (!shift || !location_va ||
            !exe::Encode(reference.kind, source_.data() + reference.location,
                         *location_va + (target - cursor),
                         reference.target_va + static_cast<std::uint64_t>(*shift), field))
          continue;
        for (std::uint64_t i = 0; i < width; ++i) {
          if (reference.location + i >= cursor && reference.location + i < end)
            out[reference.location + i - cursor] = field[i];
        }
      }
    }
    return out;
  }

  bool Knows() const { return image_.has_value(); }
  // Chunks a block asked for past its budget.
  std::uint64_t refused() const { return refused_; }

 private:
  std::span<const std::uint8_t> source_;
  std::optional<exe::Image> image_;
  std::vector<exe::Reference> references_;
  std::array<std::uint64_t, 1024> tags_{};
  std::uint64_t budget_ = ~std::uint64_t{0};
  std::uint64_t refused_ = 0;
};

// An image of `size` bytes, all code: random bytes with a reference into
// the image every 24 bytes or so, so that references lie everywhere, across
// every chunk boundary too. x86-64 calls; AArch64 calls and ADRP pairs,
// whose targets their bytes alone do not give.
std::vector<std::uint8_t> LargeImage(std::size_t size, std::uint16_t machine, std::mt19937_64& random) {
  std::vector<std::uint8_t> file(size);
  for (std::uint8_t& byte : file) byte = static_cast<std::uint8_t>(random());
  for (std::size_t at = 256; at + 12 <= size; at += 8 + random() % 32) {
    const std::uint64_t callee = random() % size;
    if (machine == testing::kElfX64) {
      file[at] = 0xE8;
      exe::Store32(file.data() + at + 1, static_cast<std::uint32_t>(callee - (at + 5)));
      continue;
    }
    at &= ~std::size_t{3};
    if (random() % 2) {
      exe::Store32(file.data() + at,
                   0x94000000 | (static_cast<std::uint32_t>((callee & ~3u) - at) >> 2 & 0x3FFFFFF));
      continue;
    }
    // adrp x3, callee; add x3, x3, #low
    const std::uint64_t pages =
        ((testing::kSyntheticVa + callee) >> 12) - ((testing::kSyntheticVa + at) >> 12);
    exe::Store32(file.data() + at,
                 static_cast<std::uint32_t>(0x90000003 | (pages & 3) << 29 | (pages >> 2 & 0x7FFFF) << 5));
    exe::Store32(file.data() + at + 4, static_cast<std::uint32_t>(0x91000063 | (callee & 0xFFF) << 10));
  }
  return testing::MakeElf64Image(std::move(file), machine);
}

// Stretches over most of the source with small shifts, learnt in a few
// blocks, so that most references' targets have somewhere to go.
Equivalences RandomLearnt(std::uint64_t source_size, std::mt19937_64& random) {
  Equivalences learnt;
  for (int block = 0; block < 3; ++block) {
    std::vector<Stretch> stretches;
    for (int s = 0; s < 200; ++s) {
      const std::uint64_t begin = random() % source_size;
      const std::uint64_t end = std::min(source_size, begin + 1 + random() % (source_size / 50 + 64));
      stretches.push_back({begin, end, static_cast<std::int64_t>(random() % 4096) - 2048});
    }
    learnt.Learn(stretches);
  }
  return learnt;
}

struct Piece {
  std::uint64_t cursor;
  std::uint64_t target;
  std::size_t size;
};

// Literal pieces as a block has them: mostly walking on through the source,
// sometimes jumping, a few starting or running past its end; short, some of
// a few bytes across a chunk boundary, some long.
std::vector<Piece> RandomPieces(std::uint64_t source_size, std::size_t count, std::mt19937_64& random) {
  std::vector<Piece> pieces;
  std::uint64_t cursor = random() % source_size;
  for (std::size_t i = 0; i < count; ++i) {
    switch (random() % 8) {
      case 0:
      case 1:
        cursor = random() % (source_size + 64);
        break;
      case 2:
        cursor = (1 + random() % (source_size / exe::kChunkBytes + 1)) * exe::kChunkBytes - random() % 12;
        break;
      default:
        cursor += random() % 512;
        break;
    }
    const std::size_t size = random() % 4 == 0 ? 1 + random() % 9000 : 1 + random() % 24;
    const std::uint64_t target = cursor + random() % 8192 - 4096;
    pieces.push_back({cursor, target, size});
    cursor += size;
  }
  return pieces;
}

// Runs blocks of pieces through one predictor and the rule alike, in
// `passes` passes over the blocks as the maker makes them; returns the
// references re-encoded, so that a caller sees the check was not vacuous.
std::uint64_t ExpectPredictsAsTheRule(std::span<const std::uint8_t> source, Predictor::Keep keep, int passes,
                                      const std::vector<std::uint32_t>& yields, std::size_t pieces_per_block,
                                      std::mt19937_64& random, std::uint64_t* refused = nullptr) {
  Predictor predictor(source, keep);
  RulePredictor rule(source);
  EXPECT_EQ(predictor.Knows(), rule.Knows());
  const Equivalences learnt = RandomLearnt(source.size(), random);
  std::uint64_t differing = 0;
  std::vector<std::uint8_t> out;
  for (std::size_t b = 0; b < yields.size() * static_cast<std::size_t>(passes); ++b) {
    predictor.StartBlock(yields[b % yields.size()]);
    rule.StartBlock(yields[b % yields.size()]);
    for (const Piece& piece : RandomPieces(source.size(), pieces_per_block, random)) {
      out.assign(piece.size, 0xAA);
      predictor.Predict(piece.cursor, piece.target, learnt, out);
      const std::vector<std::uint8_t> expected = rule.Predict(piece.cursor, piece.target, learnt, piece.size);
      if (out != expected) {
        if (refused != nullptr) *refused = rule.refused();
        ADD_FAILURE() << "block " << b << ", piece at " << piece.cursor << " (" << piece.size
                      << " bytes) to target " << piece.target;
        return 0;
      }
      for (std::size_t k = 0; k < piece.size; ++k) {
        differing += piece.cursor + k < source.size() && out[k] != source[piece.cursor + k];
      }
    }
  }
  if (refused != nullptr) *refused = rule.refused();
  EXPECT_GT(differing, 0u) << "nothing was re-encoded differently: the comparison proved little";
  return predictor.predicted();
}

TEST(Prediction, PredictsAsTheRuleOnEveryKindOfExecutable) {
  std::mt19937_64 random(2027);
  const auto files = testing::ExeFilesToScan();
  if (files.empty()) {
    GTEST_SKIP() << "no executable to read";
  }
  for (const testing::ExeFile& file : files) {
    for (const Predictor::Keep keep : {Predictor::Keep::kTable, Predictor::Keep::kEveryChunk}) {
      SCOPED_TRACE(file.name + (keep == Predictor::Keep::kTable ? ", the table kept" : ", every chunk kept"));
      EXPECT_GT(ExpectPredictsAsTheRule(file.bytes, keep, 2, {0, 1 << 20, 0xFFFFFFFF}, 3000, random), 0u);
    }
  }
}

// Over 4 MiB, pieces all over the file evict chunks from the table and the
// blocks run out of budget: what a block was refused must not depend on what
// the blocks and passes before it asked, nor on what the predictor kept.
TEST(Prediction, ChunksPastTheBudgetHaveNoReferencesWhateverWasAskedBefore) {
  std::mt19937_64 random(31);
  for (const std::uint16_t machine : {testing::kElfX64, testing::kElfAarch64}) {
    const std::vector<std::uint8_t> source = LargeImage(5 << 20, machine, random);
    ASSERT_TRUE(exe::Image::Parse(source).has_value());
    for (const Predictor::Keep keep : {Predictor::Keep::kTable, Predictor::Keep::kEveryChunk}) {
      SCOPED_TRACE(std::string(machine == testing::kElfX64 ? "x86-64, " : "AArch64, ") +
                   (keep == Predictor::Keep::kTable ? "the table kept" : "every chunk kept"));
      std::uint64_t refused = 0;
      // Small blocks to exhaust the budget, then one large enough not to.
      EXPECT_GT(ExpectPredictsAsTheRule(source, keep, 2, {0, 4096, 0, 1 << 30}, 3000, random, &refused), 0u);
      EXPECT_GT(refused, 0u) << "no block ran out of budget";
    }
  }
}

// The decoder's sum of a literal's differences and its prediction, taken
// eight bytes at a time: every lane's carry kept to itself, every length's
// tail, and the count of differences that are not 0, against a byte's sum.
TEST(Prediction, AddsThePredictionByteByByteAndCountsWhatItGotWrong) {
  std::mt19937_64 random(5);
  for (std::size_t size = 0; size < 40; ++size) {
    for (int round = 0; round < 50; ++round) {
      std::vector<std::uint8_t> differences(size);
      std::vector<std::uint8_t> predicted(size);
      // Bytes near 0, 0x7F, 0x80 and 0xFF most, where lanes would carry.
      static constexpr std::uint8_t kEdges[] = {0x00, 0x01, 0x7F, 0x80, 0x81, 0xFE, 0xFF};
      const auto pick = [&] {
        return random() % 2 ? kEdges[random() % std::size(kEdges)] : static_cast<std::uint8_t>(random());
      };
      std::uint64_t wrong = 0;
      std::vector<std::uint8_t> expected(size);
      for (std::size_t k = 0; k < size; ++k) {
        differences[k] = pick();
        predicted[k] = pick();
        expected[k] = static_cast<std::uint8_t>(differences[k] + predicted[k]);
        wrong += differences[k] != 0;
      }
      std::vector<std::uint8_t> out(size, 0xAA);
      EXPECT_EQ(AddPrediction(differences, predicted.data(), out.data()), wrong);
      ASSERT_EQ(out, expected) << "size " << size;
      // In place of either, as the decoder may.
      std::vector<std::uint8_t> in_place = predicted;
      EXPECT_EQ(AddPrediction(differences, in_place.data(), in_place.data()), wrong);
      ASSERT_EQ(in_place, expected) << "size " << size;
      EXPECT_EQ(AddPrediction(differences, predicted.data(), differences.data()), wrong);
      ASSERT_EQ(differences, expected) << "size " << size;
    }
  }
}

}  // namespace
}  // namespace varnock::container
