#include "format/Prediction.h"

#include <algorithm>
#include <cstring>

#include "exe/Image.h"
#include "exe/ReferenceFinder.h"

namespace varnock::container {
namespace {

// The widest field of any reference kind: how far before a literal a field
// that reaches into it may start.
constexpr std::uint64_t kWidestField = 8;

}  // namespace

Predictor::Predictor(std::span<const std::uint8_t> source, Keep keep) : source_(source), keep_(keep) {
  if (std::optional<exe::Image> image = exe::Image::Parse(source)) {
    image_ = std::make_unique<exe::Image>(std::move(*image));
    finder_ = std::make_unique<exe::ReferenceFinder>(*image_, source);
  }
}

Predictor::~Predictor() = default;

void Predictor::StartBlock(std::uint32_t yield) {
  std::fill(tags_.begin(), tags_.end(), kNoChunk);
  budget_ = ChunkBudget(yield);
}

const std::vector<exe::Reference>& Predictor::Chunk(std::uint64_t chunk) {
  static const std::vector<exe::Reference> kNone;
  if (held_.empty()) {
    tags_.assign(kHeldChunks, kNoChunk);
    held_.resize(kHeldChunks);
  }
  const std::size_t at = chunk % kHeldChunks;
  if (tags_[at] != chunk) {
    if (budget_ == 0) return kNone;
    --budget_;
    tags_[at] = chunk;
  }
  // A slot changes only here, after its tag: a tag names what its slot holds.
  HeldChunk& slot = held_[at];
  if (slot.index != chunk) {
    slot.index = chunk;
    slot.references.clear();
    if (!Recall(chunk, slot.references)) {
      finder_->FindChunk(chunk, carry_, slot.references);
      Remember(chunk, slot.references);
    }
  }
  return slot.references;
}

bool Predictor::Recall(std::uint64_t chunk, std::vector<exe::Reference>& out) const {
  if (chunk >= kept_.size() || kept_[chunk].page == Kept::kNone) return false;
  const Kept& kept = kept_[chunk];
  const std::uint16_t* word = pages_[kept.page].get() + kept.start;
  const std::uint16_t* const end = word + kept.words;
  while (word != end) {
    const std::uint64_t location = chunk * exe::kChunkBytes + (*word >> 4);
    const unsigned code = *word++ & 15u;
    if (code == kStated) {
      const auto kind = static_cast<exe::ReferenceKind>(*word);
      std::uint64_t target = 0;
      for (int i = 4; i > 0; --i) target = target << 16 | word[i];
      word += 5;
      out.push_back({location, target, kind});
    } else {
      // Remember checked that the bytes give the target again.
      const auto kind = static_cast<exe::ReferenceKind>(code);
      out.push_back({location, *exe::Decode(kind, source_.data() + location, *image_->VaOf(location)), kind});
    }
  }
  return true;
}

void Predictor::Remember(std::uint64_t chunk, const std::vector<exe::Reference>& references) {
  if (keep_ != Keep::kEveryChunk) return;
  if (kept_.empty()) kept_.resize(source_.size() / exe::kChunkBytes + 1);
  if (chunk >= kept_.size()) return;
  scratch_.clear();
  for (const exe::Reference& reference : references) {
    const std::uint64_t offset = reference.location - chunk * exe::kChunkBytes;
    const auto kind = static_cast<std::uint16_t>(reference.kind);
    const std::optional<std::uint64_t> va = image_->VaOf(reference.location);
    if (va && exe::Decode(reference.kind, source_.data() + reference.location, *va) == reference.target_va) {
      scratch_.push_back(static_cast<std::uint16_t>(offset << 4 | kind));
      continue;
    }
    scratch_.push_back(static_cast<std::uint16_t>(offset << 4 | kStated));
    scratch_.push_back(kind);
    for (int i = 0; i < 4; ++i)
      scratch_.push_back(static_cast<std::uint16_t>(reference.target_va >> (16 * i)));
  }
  if (pages_.empty() || kPageWords - page_used_ < scratch_.size()) {
    if ((pages_.size() + 1) * kPageWords > kMostKeptWords) return;
    pages_.emplace_back(new std::uint16_t[kPageWords]);
    page_used_ = 0;
  }
  std::copy(scratch_.begin(), scratch_.end(), pages_.back().get() + page_used_);
  kept_[chunk] = {static_cast<std::uint32_t>(pages_.size() - 1), static_cast<std::uint16_t>(page_used_),
                  static_cast<std::uint16_t>(scratch_.size())};
  page_used_ += scratch_.size();
}

std::string Predictor::Kind() const {
  if (!image_) return {};
  static constexpr const char* kMachines[] = {"x86", "x86-64", "ARM", "AArch64"};
  return std::string(image_->format() == exe::Format::kElf ? "ELF " : "PE ") +
         kMachines[static_cast<std::size_t>(image_->machine())];
}

std::uint64_t Predictor::CountReferences() const {
  if (!finder_) return 0;
  std::uint64_t count = 0;
  std::vector<exe::Reference> found;
  // A chunk at a time, so that the count holds little.
  constexpr std::uint64_t kStep = std::uint64_t{256} * exe::kChunkBytes;
  for (std::uint64_t at = 0; at < source_.size(); at += kStep) {
    found.clear();
    finder_->Find(at, at + kStep, found);
    count += found.size();
  }
  return count;
}

void Predictor::Predict(std::uint64_t cursor, std::uint64_t target, const Equivalences& learnt,
                        std::span<std::uint8_t> out) {
  const std::uint64_t n = out.size();
  const std::uint64_t available =
      cursor < source_.size() ? std::min<std::uint64_t>(n, source_.size() - cursor) : 0;
  std::copy_n(source_.begin() + static_cast<std::ptrdiff_t>(cursor < source_.size() ? cursor : 0), available,
              out.begin());
  std::fill(out.begin() + static_cast<std::ptrdiff_t>(available), out.end(), std::uint8_t{0});
  if (!finder_ || available == 0) return;
  // Unsigned arithmetic wraps alike on both sides; every address below is
  // taken modulo 2^64 and Encode refuses what does not fit.
  const std::uint64_t moved = target - cursor;
  const std::uint64_t window_begin = cursor >= kWidestField ? cursor - kWidestField : 0;
  const std::uint64_t window_end = cursor + available;
  for (std::uint64_t chunk = window_begin / exe::kChunkBytes; chunk <= (window_end - 1) / exe::kChunkBytes;
       ++chunk) {
    // A chunk's references come in location order and their fields are
    // disjoint: only those from the window's start on may reach the literal.
    const std::vector<exe::Reference>& references = Chunk(chunk);
    auto first = std::lower_bound(
        references.begin(), references.end(), window_begin,
        [](const exe::Reference& reference, std::uint64_t at) { return reference.location < at; });
    for (auto it = first; it != references.end() && it->location < window_end; ++it) {
      const exe::Reference& reference = *it;
      const std::uint64_t width = exe::FieldWidth(reference.kind);
      if (reference.location + width <= cursor) continue;
      const std::optional<std::uint64_t> target_offset = image_->OffsetOf(reference.target_va);
      if (!target_offset) continue;
      const std::optional<std::int64_t> target_shift = learnt.ShiftAt(*target_offset);
      const std::optional<std::uint64_t> location_va = image_->VaOf(reference.location);
      if (!target_shift || !location_va) continue;
      std::uint8_t field[kWidestField];
      if (!exe::Encode(reference.kind, source_.data() + reference.location, *location_va + moved,
                       reference.target_va + static_cast<std::uint64_t>(*target_shift), field))
        continue;
      ++predicted_;
      for (std::uint64_t i = 0; i < width; ++i) {
        const std::uint64_t at = reference.location + i;
        if (at >= cursor && at < window_end) out[static_cast<std::size_t>(at - cursor)] = field[i];
      }
    }
  }
}

std::uint64_t AddPrediction(std::span<const std::uint8_t> differences, const std::uint8_t* predicted,
                            std::uint8_t* out) {
  // Eight bytes at a time in the lanes of one word: the compiler does not do
  // it by itself, `out` perhaps aliasing the others.
  constexpr std::uint64_t kLow = 0x7F7F7F7F7F7F7F7F;
  constexpr std::uint64_t kHigh = ~kLow;
  std::uint64_t wrong = 0;
  std::size_t k = 0;
  for (; differences.size() - k >= 8; k += 8) {
    std::uint64_t a;
    std::uint64_t b;
    std::memcpy(&a, differences.data() + k, 8);
    std::memcpy(&b, predicted + k, 8);
    // Each lane's low seven bits added apart from its top bit, so that no
    // carry crosses into the next lane.
    const std::uint64_t sum = ((a & kLow) + (b & kLow)) ^ ((a ^ b) & kHigh);
    std::memcpy(out + k, &sum, 8);
    // A lane's top bit set where it is not 0; the lanes summed into the top
    // one by a multiplication (std::popcount calls a library routine on
    // x86-64 as built here).
    const std::uint64_t nonzero = (((a & kLow) + kLow) | a) & kHigh;
    wrong += ((nonzero >> 7) * 0x0101010101010101) >> 56;
  }
  for (; k < differences.size(); ++k) {
    wrong += differences[k] != 0;
    out[k] = static_cast<std::uint8_t>(differences[k] + predicted[k]);
  }
  return wrong;
}

}  // namespace varnock::container
