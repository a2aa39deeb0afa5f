// Writes the benchmark workloads: a source, a target and a patch from the one
// to the other, deterministic for a given seed.
//   make_workload w1 DIR    512 MiB random source; 2,000 scattered edits
//   make_workload w2 DIR    64 MiB random source; 2,000,000 runs of ~32 bytes
//   make_workload w4 DIR    256 MiB random source; the target its 4 KiB blocks shuffled
//   make_workload diff SOURCE TARGET PATCH
//                           a patch for any pair, by a simple greedy matcher
#include <libdeflate.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next() {  // splitmix64
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  std::uint64_t Below(std::uint64_t bound) { return Next() % bound; }
  void Fill(std::uint8_t* out, std::size_t count) {
    for (std::size_t i = 0; i < count; i += 8) {
      std::uint64_t word = Next();
      std::memcpy(out + i, &word, std::min<std::size_t>(8, count - i));
    }
  }

 private:
  std::uint64_t state_;
};

std::uint32_t Crc(const Bytes& bytes) {
  return bytes.empty() ? 0 : libdeflate_crc32(0, bytes.data(), bytes.size());
}

void PutBigEndian(Bytes& out, std::uint64_t value, unsigned width) {
  for (unsigned i = width; i-- > 0;) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void PutLittleEndian(Bytes& out, std::uint64_t value, unsigned width) {
  for (unsigned i = 0; i < width; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// Builds a patch, and the target it makes, from runs in target order, each
// in its shortest form.
class PatchWriter {
 public:
  explicit PatchWriter(const Bytes& source) : source_(source) {}

  void Literal(const std::uint8_t* data, std::size_t length) {
    while (length > 0) {
      std::size_t part = std::min<std::size_t>(length, 0x7FFFFFFF);
      if (part <= 0xF6) {
        stream_.push_back(static_cast<std::uint8_t>(part));
      } else if (part <= 0xFFFF) {
        stream_.push_back(0xF7);
        PutBigEndian(stream_, part, 2);
      } else {
        stream_.push_back(0xF8);
        PutBigEndian(stream_, part, 4);
      }
      stream_.insert(stream_.end(), data, data + part);
      target_.insert(target_.end(), data, data + part);
      data += part;
      length -= part;
    }
  }

  void Copy(std::uint64_t offset, std::uint64_t length) {
    while (length > 0) {
      std::uint64_t part = std::min<std::uint64_t>(length, 0x7FFFFFFF);
      unsigned offset_width = offset <= 0xFFFF ? 2 : 4;
      unsigned length_width = part <= 0xFF ? 1 : part <= 0xFFFF ? 2 : 4;
      static constexpr std::uint8_t kOpcodes[2][3] = {{0xF9, 0xFA, 0xFB}, {0xFC, 0xFD, 0xFE}};
      stream_.push_back(kOpcodes[offset_width / 4][length_width / 2]);
      PutBigEndian(stream_, offset, offset_width);
      PutBigEndian(stream_, part, length_width);
      target_.insert(target_.end(), source_.begin() + static_cast<std::ptrdiff_t>(offset),
                     source_.begin() + static_cast<std::ptrdiff_t>(offset + part));
      offset += part;
      length -= part;
    }
  }

  const Bytes& Target() const { return target_; }

  Bytes Patch() const {
    Bytes out;
    PutLittleEndian(out, 12, 2);
    PutLittleEndian(out, 0, 2);
    PutLittleEndian(out, Crc(source_), 4);
    PutLittleEndian(out, Crc(target_), 4);
    out.insert(out.end(), {0xD1, 0xFF, 0xD1, 0xFF, 4});
    out.insert(out.end(), stream_.begin(), stream_.end());
    out.push_back(0x00);
    return out;
  }

 private:
  const Bytes& source_;
  Bytes stream_;
  Bytes target_;
};

void Save(const std::string& name, const Bytes& bytes) {
  std::ofstream out(name, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    std::perror(name.c_str());
    std::exit(2);
  }
}

Bytes Load(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  if (!in) {
    std::perror(name.c_str());
    std::exit(2);
  }
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void SaveWorkload(const std::string& dir, const Bytes& source, const PatchWriter& writer) {
  Save(dir + "/source", source);
  Save(dir + "/target", writer.Target());
  Save(dir + "/patch", writer.Patch());
}

// 2,000 edits of 1 to 64 bytes, each a replacement, an insertion or a
// deletion, at random places of a 512 MiB random source.
void MakeW1(const std::string& dir) {
  Random random(1);
  Bytes source(512u << 20);
  random.Fill(source.data(), source.size());
  std::vector<std::uint64_t> places(2000);
  for (auto& place : places) place = random.Below(source.size() - 64);
  std::sort(places.begin(), places.end());
  PatchWriter writer(source);
  std::uint64_t at = 0;
  std::uint8_t fresh[64];
  for (std::uint64_t place : places) {
    if (place < at) continue;  // overlaps the edit before
    writer.Copy(at, place - at);
    unsigned length = 1 + static_cast<unsigned>(random.Below(64));
    unsigned kind = static_cast<unsigned>(random.Below(3));
    random.Fill(fresh, length);
    if (kind != 2) writer.Literal(fresh, length);  // replacement, insertion
    at = kind == 1 ? place : place + length;       // an insertion skips nothing
  }
  writer.Copy(at, source.size() - at);
  SaveWorkload(dir, source, writer);
}

// 2,000,000 runs of 1 to 63 bytes: 70% copies from random places of a 64 MiB
// random source, 30% fresh bytes.
void MakeW2(const std::string& dir) {
  Random random(2);
  Bytes source(64u << 20);
  random.Fill(source.data(), source.size());
  PatchWriter writer(source);
  std::uint8_t fresh[64];
  for (int run = 0; run < 2000000; ++run) {
    unsigned length = 1 + static_cast<unsigned>(random.Below(63));
    if (random.Below(10) < 7) {
      writer.Copy(random.Below(source.size() - length + 1), length);
    } else {
      random.Fill(fresh, length);
      writer.Literal(fresh, length);
    }
  }
  SaveWorkload(dir, source, writer);
}

// The target is the source's 65,536 blocks of 4 KiB in shuffled order, as a
// reordered archive or a defragmented image has them: 65,536 copies from
// places that follow no order, each of one block.
void MakeW4(const std::string& dir) {
  constexpr std::size_t kBlock = 4096;
  Random random(4);
  Bytes source(256u << 20);
  random.Fill(source.data(), source.size());
  std::vector<std::uint64_t> blocks(source.size() / kBlock);
  for (std::size_t i = 0; i < blocks.size(); ++i) blocks[i] = i;
  for (std::size_t i = blocks.size() - 1; i > 0; --i) std::swap(blocks[i], blocks[random.Below(i + 1)]);
  PatchWriter writer(source);
  for (std::uint64_t block : blocks) writer.Copy(block * kBlock, kBlock);
  SaveWorkload(dir, source, writer);
}

// Greedy matching: every 16th window of 32 source bytes is indexed by its
// hash; at each target place a hit is extended both ways and becomes a copy,
// and what no copy covers becomes literals.
void Diff(const std::string& source_name, const std::string& target_name, const std::string& patch_name) {
  constexpr std::size_t kWindow = 32;
  constexpr std::size_t kStep = 16;
  const Bytes source = Load(source_name);
  const Bytes target = Load(target_name);
  auto hash = [](const std::uint8_t* bytes) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < kWindow; i += 8) {
      std::uint64_t word;
      std::memcpy(&word, bytes + i, 8);
      value = (value ^ word) * 0x9E3779B97F4A7C15ull;
    }
    return value ^ (value >> 29);
  };
  const unsigned bits = 24;
  std::vector<std::int64_t> table(std::size_t{1} << bits, -1);
  for (std::size_t i = 0; i + kWindow <= source.size(); i += kStep) {
    table[hash(source.data() + i) >> (64 - bits)] = static_cast<std::int64_t>(i);
  }
  PatchWriter writer(source);
  std::size_t literal_start = 0;
  std::size_t at = 0;
  while (at + kWindow <= target.size()) {
    std::int64_t hit = table[hash(target.data() + at) >> (64 - bits)];
    if (hit < 0 || std::memcmp(source.data() + hit, target.data() + at, kWindow) != 0) {
      ++at;
      continue;
    }
    std::size_t from = static_cast<std::size_t>(hit);
    std::size_t begin = at;
    while (begin > literal_start && from > 0 && source[from - 1] == target[begin - 1]) --begin, --from;
    std::size_t length = at - begin + kWindow;
    while (begin + length < target.size() && from + length < source.size() &&
           source[from + length] == target[begin + length]) {
      ++length;
    }
    writer.Literal(target.data() + literal_start, begin - literal_start);
    writer.Copy(from, length);
    at = literal_start = begin + length;
  }
  writer.Literal(target.data() + literal_start, target.size() - literal_start);
  if (writer.Target() != target) {
    std::fprintf(stderr, "matcher produced a wrong target\n");
    std::exit(2);
  }
  Save(patch_name, writer.Patch());
}

}  // namespace

int main(int argc, char** argv) {
  std::string what = argc > 1 ? argv[1] : "";
  if (what == "w1" && argc == 3) {
    MakeW1(argv[2]);
  } else if (what == "w2" && argc == 3) {
    MakeW2(argv[2]);
  } else if (what == "w4" && argc == 3) {
    MakeW4(argv[2]);
  } else if (what == "diff" && argc == 5) {
    Diff(argv[2], argv[3], argv[4]);
  } else {
    std::fprintf(stderr, "usage: make_workload w1|w2|w4 DIR | make_workload diff SOURCE TARGET PATCH\n");
    return 1;
  }
  return 0;
}
