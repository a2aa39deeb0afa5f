// Guards against a host that changes a context's settings, or calls the
// library with it, from inside a call on that context: a setting changed
// meanwhile must not reach the call under way (a progress callback removed
// then was called at address 0), and the call's own outcome must be what the
// context tells after it, not a nested call's.
#include <gtest/gtest.h>

#include <array>
#include <functional>

#include "api/ApiSupport.h"

namespace varnock {
namespace {

using testing::Bytes;
using testing::TempDir;

// A 2 MiB source and a target of long copies and literals: several reports,
// reads and writes in every stage.
struct Case {
  Bytes source = testing::Pattern(2 << 20, 5);
  Bytes target;
  Bytes patch;

  Case() {
    testing::PatchFields fields;
    fields.source_crc = Crc32(source);
    Bytes stream;
    for (std::uint32_t i = 0; i < 12; ++i) {
      const std::uint32_t offset = (i * 613u << 10) % (1u << 20);
      const Bytes copy = testing::Copy(0xFE, offset, 300 << 10);
      const Bytes literal = testing::Pattern(100, i);
      const Bytes short_literal = testing::ShortLiteral(literal);
      stream.insert(stream.end(), copy.begin(), copy.end());
      stream.insert(stream.end(), short_literal.begin(), short_literal.end());
      target.insert(target.end(), source.begin() + offset, source.begin() + offset + (300 << 10));
      target.insert(target.end(), literal.begin(), literal.end());
    }
    fields.target_crc = Crc32(target);
    patch = testing::BuildPatch(fields, {stream});
  }
};

const Case& Large() {
  static const Case large;
  return large;
}

// Every report a callback was told, as stage, done, total.
struct Reports {
  std::vector<std::array<std::uint64_t, 3>> told;
  std::function<void()> on_report;

  static std::int32_t Callback(void* self, std::int32_t stage, std::uint64_t done, std::uint64_t total) {
    auto& reports = *static_cast<Reports*>(self);
    reports.told.push_back({static_cast<std::uint64_t>(stage), done, total});
    if (reports.on_report) reports.on_report();
    return 0;
  }
  bool Complete(std::uint64_t target_size) const {
    return !told.empty() &&
           told.back() == std::array<std::uint64_t, 3>{VARNOCK_STAGE_VERIFYING, target_size, target_size};
  }
};

// Where a host's callback does something with the context during a call:
// in the write callback or the source's read callback of a call by ranges,
// in the write callback of a call from memory, or in the progress callback.
enum class Place { kRangesWrite, kRangesRead, kMemoryWrite, kProgress };

// Applies the large case with `meddle` run once, from `place`, at the first
// chance once the target is being written; with `then_fail` every write after
// it fails.
testing::Outcome ApplyMeddling(varnock_context* context, Reports& reports, Place place,
                               const std::function<void()>& meddle, bool then_fail = false) {
  struct Host {
    const std::function<void()>& meddle;
    bool then_fail;
    bool writing = false;
    bool done = false;
    void Meddle() {
      if (writing && !done) {
        done = true;
        meddle();
      }
    }
  } host{meddle, then_fail};
  struct Write {
    Host& host;
    Bytes& out;
    bool meddles;
    static std::int32_t Call(void* self, const std::uint8_t* data, std::size_t size) {
      auto& write = *static_cast<Write*>(self);
      write.host.writing = true;
      if (write.meddles) write.host.Meddle();
      if (write.host.done && write.host.then_fail) return 1;
      write.out.insert(write.out.end(), data, data + size);
      return 0;
    }
  };
  struct Read {
    Host& host;
    const Bytes& bytes;
    bool meddles;
    static std::int64_t Call(void* self, std::uint64_t offset, std::uint8_t* buffer, std::size_t size) {
      auto& read = *static_cast<Read*>(self);
      if (read.meddles) read.host.Meddle();
      std::copy_n(read.bytes.begin() + static_cast<std::ptrdiff_t>(offset), size, buffer);
      return static_cast<std::int64_t>(size);
    }
  };
  testing::Outcome outcome{0, {}, {}};
  Write write{host, outcome.target, place == Place::kRangesWrite || place == Place::kMemoryWrite};
  Read source{host, Large().source, place == Place::kRangesRead};
  Read patch{host, Large().patch, false};
  reports.on_report = [&] {
    if (reports.told.back()[0] == VARNOCK_STAGE_WRITING) host.writing = true;
    if (place == Place::kProgress) host.Meddle();
  };
  varnock_set_progress(context, Reports::Callback, &reports);
  if (place == Place::kMemoryWrite || place == Place::kProgress) {
    outcome.code = varnock_apply_memory(context, Large().source.data(), Large().source.size(),
                                        Large().patch.data(), Large().patch.size(), Write::Call, &write);
  } else {
    // A cache of one block: the source is read again while the target is written.
    varnock_set_source_cache(context, 1);
    outcome.code = varnock_apply_ranges(context, Read::Call, &source, Large().source.size(), Read::Call,
                                        &patch, Large().patch.size(), Write::Call, &write);
  }
  outcome.message = varnock_error_message(context);
  reports.on_report = nullptr;
  EXPECT_TRUE(host.done) << "the host never had its chance";
  return outcome;
}

constexpr Place kPlaces[] = {Place::kRangesWrite, Place::kRangesRead, Place::kMemoryWrite, Place::kProgress};

TEST(ContextDuringACall, ASettingChangedMeanwhileTakesEffectFromTheNextCall) {
  struct Change {
    const char* what;
    bool replaces_progress;  // else removes it
    bool other_settings;     // also the input access and the source cache
  };
  const Change changes[] = {
      {"progress removed", false, false},
      {"progress replaced", true, false},
      {"progress removed, inputs mapped, cache at its default", false, true},
  };
  for (const Change& change : changes) {
    for (const Place place : kPlaces) {
      SCOPED_TRACE(::testing::Message() << change.what << ", place " << static_cast<int>(place));
      testing::Context context = testing::NewContext();
      Reports first, second;
      const testing::Outcome outcome = ApplyMeddling(context.get(), first, place, [&] {
        varnock_set_progress(context.get(), change.replaces_progress ? Reports::Callback : nullptr,
                             change.replaces_progress ? &second : nullptr);
        if (change.other_settings) {
          varnock_set_input_access(context.get(), VARNOCK_INPUTS_MAPPED);
          varnock_set_source_cache(context.get(), 0);
        }
      });
      ASSERT_EQ(outcome.code, VARNOCK_OK) << outcome.message;
      EXPECT_EQ(outcome.target, Large().target);
      // The call told its own callback to the end, and nothing else.
      EXPECT_TRUE(first.Complete(Large().target.size()));
      EXPECT_TRUE(second.told.empty());
      // The next call has the new settings.
      const std::size_t told_before = first.told.size();
      EXPECT_EQ(testing::ApplyMemory(context.get(), Large().source, Large().patch).code, VARNOCK_OK);
      EXPECT_EQ(first.told.size(), told_before);
      EXPECT_EQ(second.Complete(Large().target.size()), change.replaces_progress);
    }
  }
}

TEST(ContextDuringACall, TheMessageIsTheCallsOwnNotANestedCallsOne) {
  TempDir directory;
  const std::string missing = directory.File("missing");
  const Bytes not_a_patch = {1, 2, 3};
  for (const bool outer_fails : {false, true}) {
    for (const Place place : kPlaces) {
      SCOPED_TRACE(::testing::Message()
                   << "outer fails " << outer_fails << ", place " << static_cast<int>(place));
      testing::Context context = testing::NewContext();
      Reports reports;
      std::int32_t nested[2] = {-1, -1};
      const testing::Outcome outcome = ApplyMeddling(
          context.get(), reports, place,
          [&] {
            nested[0] = testing::ApplyMemory(context.get(), Large().source, not_a_patch).code;
            nested[1] = varnock_apply_files(context.get(), missing.c_str(), missing.c_str(), missing.c_str());
          },
          outer_fails);
      EXPECT_EQ(nested[0], VARNOCK_ERROR_NO_HEADER);
      EXPECT_EQ(nested[1], VARNOCK_ERROR_OS);
      EXPECT_EQ(outcome.code, outer_fails ? VARNOCK_ERROR_WRITE : VARNOCK_OK);
      EXPECT_EQ(outcome.message, outer_fails ? "Stream write error" : "");
      EXPECT_EQ(varnock_os_error_code(context.get()), 0u);
    }
  }
}

}  // namespace
}  // namespace varnock
