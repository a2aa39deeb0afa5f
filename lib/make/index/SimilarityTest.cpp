#include "make/index/SimilarityTest.h"

#include <algorithm>
#include <vector>

#include "make/index/CommonPrefix.h"

namespace varnock::maker {
namespace {

// One string in 2^kSampleBits is sampled, chosen by its content, so that the
// same strings are sampled on both sides.
constexpr unsigned kSampleBits = 6;
// The share of the target, 1 in this, below which nothing is searched.
constexpr std::uint64_t kLeastShare = 512;
// A smaller source is searched whatever the sample says: its index costs a
// few hundredths of a second, and a sample of it can miss a short copy.
constexpr std::uint64_t kAlwaysBelow = std::uint64_t{1} << 20;
constexpr std::uint64_t kGram = 8;

std::uint64_t GramHash(const std::uint8_t* at) { return LoadWord(at) * 0x9E3779B97F4A7C15ull; }
bool Sampled(std::uint64_t hash) { return hash >> (64 - kSampleBits) == 0; }

}  // namespace

bool SharesStrings(ByteSpan source, ByteSpan target, std::span<const Stretch> stretches,
                   const ViewPages& pages) {
  if (source.size() < kGram) return false;
  if (source.size() < kAlwaysBelow) return true;
  // The hash is a bijection of the 8 bytes: equal hashes, equal strings.
  // A string sampled is sampled wherever it lies: a source of runs of zeros
  // or of a few strings over and over (a disk image) sampled a string at
  // most of its places, 113 MiB of them on a 130 MiB image, unless they are
  // sorted and made unique whenever they fill what a sample of distinct
  // strings takes.
  std::vector<std::uint64_t> sampled;
  std::uint64_t room = 2 * ((source.size() >> kSampleBits) + 1024);
  sampled.reserve(room);
  auto compact = [&] {
    std::sort(sampled.begin(), sampled.end());
    sampled.erase(std::unique(sampled.begin(), sampled.end()), sampled.end());
  };
  {
    PassedPages passed(pages, source);
    for (std::uint64_t at = 0; at + kGram <= source.size(); ++at) {
      const std::uint64_t hash = GramHash(source.data() + at);
      if (Sampled(hash) && (sampled.empty() || sampled.back() != hash)) {
        if (sampled.size() == room) {
          compact();
          if (2 * sampled.size() > room) room *= 2;
        }
        sampled.push_back(hash);
      }
      passed.Reached(at);
    }
  }
  compact();
  std::uint64_t hits = 0;
  const std::uint64_t last = target.size() >= kGram ? target.size() - kGram + 1 : 0;
  PassedPages passed(pages, target);
  for (const Stretch& stretch : stretches) {
    passed.Reached(stretch.from);
    for (std::uint64_t at = stretch.from; at < std::min(stretch.to, last); ++at) {
      const std::uint64_t hash = GramHash(target.data() + at);
      if (Sampled(hash) && std::binary_search(sampled.begin(), sampled.end(), hash)) ++hits;
    }
  }
  return (hits << kSampleBits) * kLeastShare >= target.size();
}

}  // namespace varnock::maker
