// Guards against a source's CRC-32 given by the host that is ignored (the
// source read whole anyway), that is trusted past the patch's own checks (a
// wrong target reported as success, or written for a CRC-32 the patch does not
// name), that reaches only some of the apply calls, or that outlives its
// forgetting.
#include <gtest/gtest.h>

#include <algorithm>
#include <string_view>
#include <utility>
#include <vector>

#include "api/ApiSupport.h"

namespace varnock {
namespace {

using testing::Bytes;
using testing::TempDir;

constexpr std::size_t kBlock = 256 << 10;

// A source of several blocks and a target that copies from its second block
// alone, around a literal: a source read only for the copies never reads
// the other blocks.
struct Inputs {
  Bytes source = testing::Pattern(4 * kBlock + 123, 21);
  Bytes target;
  Bytes raw;
  Inputs() {
    const Bytes literal = testing::Pattern(5000, 22);
    target.insert(target.end(), source.begin() + kBlock + 100, source.begin() + kBlock + 50100);
    target.insert(target.end(), literal.begin(), literal.end());
    target.insert(target.end(), source.begin() + kBlock + 200000, source.begin() + kBlock + 230000);
    raw = testing::BuildPatchFor(
        source, target,
        {testing::Copy(0xFE, kBlock + 100, 50000), testing::LongLiteral(0xF7, literal.size(), literal),
         testing::Copy(0xFE, kBlock + 200000, 30000)});
  }
};

const Inputs& Given() {
  static const Inputs inputs;
  return inputs;
}

// The patch in each form every apply call reads.
std::vector<std::pair<const char*, Bytes>> Patches(varnock_context* context) {
  return {{"raw", Given().raw},
          {"xz", testing::XzOf(Given().raw)},
          {"container", testing::MakeMemory(context, Given().source, Given().target, true)}};
}

// The source handed over by ranges, with what of it was read.
struct CountedSource {
  const Bytes* bytes;
  std::vector<bool> read = std::vector<bool>(bytes->size());
  std::uint64_t bytes_read = 0;

  static std::int64_t Read(void* self, std::uint64_t offset, std::uint8_t* buffer, std::size_t size) {
    auto& source = *static_cast<CountedSource*>(self);
    std::copy_n(source.bytes->begin() + static_cast<std::ptrdiff_t>(offset), size, buffer);
    std::fill_n(source.read.begin() + static_cast<std::ptrdiff_t>(offset), size, true);
    source.bytes_read += size;
    return static_cast<std::int64_t>(size);
  }

  // Whether a byte outside [from, to) was read.
  bool ReadOutside(std::size_t from, std::size_t to) const {
    for (std::size_t at = 0; at < read.size(); ++at) {
      if (read[at] && (at < from || at >= to)) return true;
    }
    return false;
  }
};

testing::Outcome ApplyCounted(varnock_context* context, CountedSource& source, const Bytes& patch) {
  testing::Outcome outcome{0, {}, {}};
  testing::RangedBytes patch_input{&patch};
  outcome.code = varnock_apply_ranges(context, CountedSource::Read, &source, source.bytes->size(),
                                      testing::RangedBytes::Read, &patch_input, patch.size(),
                                      testing::AppendTo, &outcome.target);
  outcome.message = varnock_error_message(context);
  return outcome;
}

// Every call that applies, each with the context's settings as they are.
std::vector<std::pair<const char*, testing::Outcome>> ApplyEveryWay(varnock_context* context,
                                                                    const Bytes& source, const Bytes& patch) {
  TempDir directory;
  std::vector<std::pair<const char*, testing::Outcome>> outcomes;
  outcomes.emplace_back("ranges", testing::ApplyRanges(context, source, patch));
  outcomes.emplace_back("memory", testing::ApplyMemory(context, source, patch));
  outcomes.emplace_back("buffer", testing::ApplyToBuffer(context, source, patch, Given().target.size()));
  outcomes.emplace_back("files read", testing::ApplyFiles(context, directory, source, patch));
  EXPECT_EQ(varnock_set_input_access(context, VARNOCK_INPUTS_MAPPED), VARNOCK_OK);
  outcomes.emplace_back("files mapped", testing::ApplyFiles(context, directory, source, patch));
  EXPECT_EQ(varnock_set_input_access(context, VARNOCK_INPUTS_READ), VARNOCK_OK);
  return outcomes;
}

TEST(KnownSourceCrc, TheSameTargetWithTheSourceReadOnlyForItsCopies) {
  testing::Context context = testing::NewContext();
  std::vector<std::pair<std::uint64_t, std::uint64_t>> checksum_reports;
  varnock_set_progress(
      context.get(),
      [](void* reports, std::int32_t stage, std::uint64_t done, std::uint64_t total) -> std::int32_t {
        if (stage == VARNOCK_STAGE_CHECKSUM) {
          static_cast<decltype(checksum_reports)*>(reports)->emplace_back(done, total);
        }
        return 0;
      },
      &checksum_reports);
  const std::uint64_t size = Given().source.size();
  for (const auto& [kind, patch] : Patches(context.get())) {
    SCOPED_TRACE(kind);
    // Forgets the claim set for the kind before: the source is read whole again.
    ASSERT_EQ(varnock_set_source_crc(context.get(), 0, 0), VARNOCK_OK);
    CountedSource whole{&Given().source};
    EXPECT_EQ(ApplyCounted(context.get(), whole, patch).code, VARNOCK_OK);
    EXPECT_EQ(whole.bytes_read, size);  // once, for the checksum, and held for the copies

    ASSERT_EQ(varnock_set_source_crc(context.get(), 1, Crc32(Given().source)), VARNOCK_OK);
    CountedSource copied{&Given().source};
    checksum_reports.clear();
    const testing::Outcome outcome = ApplyCounted(context.get(), copied, patch);
    EXPECT_EQ(outcome.code, VARNOCK_OK) << outcome.message;
    EXPECT_TRUE(outcome.target == Given().target);
    EXPECT_GT(copied.bytes_read, 0u);
    EXPECT_FALSE(copied.ReadOutside(kBlock, 2 * kBlock));
    EXPECT_EQ(checksum_reports, (decltype(checksum_reports){{0, size}, {size, size}}));
    for (const auto& [way, other] : ApplyEveryWay(context.get(), Given().source, patch)) {
      EXPECT_EQ(other.code, VARNOCK_OK) << way << ": " << other.message;
      EXPECT_TRUE(other.target == Given().target) << way;
    }
  }
}

TEST(KnownSourceCrc, AWrongClaimNeverEndsInSuccess) {
  testing::Context context = testing::NewContext();
  const std::uint32_t right = Crc32(Given().source);
  Bytes altered = Given().source;
  altered[kBlock + 300] ^= 1;  // a byte the first copy takes
  const Bytes shortened(Given().source.begin(), Given().source.begin() + kBlock + 1000);
  struct Case {
    const char* name;
    std::uint32_t claimed;
    const Bytes* source;
    std::int32_t code;            // raw and xz
    std::int32_t container_code;  // a container checks the source's length first
  };
  const Case cases[] = {
      {"a CRC-32 the patch does not name", right ^ 0x80000000u, &Given().source,
       VARNOCK_ERROR_SOURCE_CHECKSUM, VARNOCK_ERROR_SOURCE_CHECKSUM},
      {"the patch's CRC-32 for a source of other bytes", right, &altered, VARNOCK_ERROR_TARGET_CHECKSUM,
       VARNOCK_ERROR_TARGET_CHECKSUM},
      {"the patch's CRC-32 for a source its copies overrun", right, &shortened,
       VARNOCK_ERROR_SEEK_BEYOND_SOURCE, VARNOCK_ERROR_SOURCE_CHECKSUM},
  };
  for (const auto& [kind, patch] : Patches(context.get())) {
    for (const Case& wrong : cases) {
      SCOPED_TRACE(::testing::Message() << kind << ", " << wrong.name);
      ASSERT_EQ(varnock_set_source_crc(context.get(), 1, wrong.claimed), VARNOCK_OK);
      const std::int32_t code = std::string_view(kind) == "container" ? wrong.container_code : wrong.code;
      for (const auto& [way, outcome] : ApplyEveryWay(context.get(), *wrong.source, patch)) {
        EXPECT_EQ(outcome.code, code) << way << ": " << outcome.message;
        if (code == VARNOCK_ERROR_SOURCE_CHECKSUM) {
          EXPECT_EQ(outcome.message, "Source file checksum don't match") << way;
          EXPECT_TRUE(outcome.target.empty()) << way;
        }
      }
    }
  }
  // Measuring takes the claim as applying does, and a bad setting leaves it.
  ASSERT_EQ(varnock_set_source_crc(context.get(), 1, right ^ 1), VARNOCK_OK);
  EXPECT_EQ(varnock_set_source_crc(context.get(), 2, right), VARNOCK_ERROR_BAD_ARGUMENT);
  EXPECT_STREQ(varnock_error_message(context.get()), "Bad argument: known is neither 0 nor 1");
  std::uint64_t size = 0;
  EXPECT_EQ(varnock_target_size(context.get(), Given().source.data(), Given().source.size(),
                                Given().raw.data(), Given().raw.size(), &size),
            VARNOCK_ERROR_SOURCE_CHECKSUM);
  // Not one source byte read for a claim the patch refuses.
  CountedSource unread{&Given().source};
  EXPECT_EQ(ApplyCounted(context.get(), unread, Given().raw).code, VARNOCK_ERROR_SOURCE_CHECKSUM);
  EXPECT_EQ(unread.bytes_read, 0u);
}

}  // namespace
}  // namespace varnock
