#include "formats/delta.h"

#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "packer/delta_writer.h"

namespace {

using bytes = std::vector<unsigned char>;

bytes noise(size_t size, unsigned seed) {
  bytes out(size);
  uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
  for (unsigned char& b : out) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    b = static_cast<unsigned char>(state >> 56);
  }
  return out;
}

bytes splice(bytes data, size_t at, size_t erase, const bytes& insert) {
  data.erase(data.begin() + at, data.begin() + at + erase);
  data.insert(data.begin() + at, insert.begin(), insert.end());
  return data;
}

const delta_identity identity{0x8664, u"Me", u"My App"};

bytes make(const bytes& base, const bytes& target, delta_figures* figures = nullptr) {
  return make_delta(base.data(), base.size(), target.data(), target.size(), identity, 3, 1, figures);
}

// The target the delta rebuilds from `base`, or the reason it refuses.
std::string apply(const bytes& base, const bytes& delta, bytes* out) {
  out->clear();
  auto append = [](void* context, const unsigned char* data, size_t size) {
    static_cast<bytes*>(context)->insert(static_cast<bytes*>(context)->end(), data, data + size);
    return true;
  };
  const char* why = nullptr;
  return delta_apply_to(base.data(), base.size(), delta.data(), delta.size(), append, out, &why) ? "" : why;
}

struct release_change {
  const char* name;
  bytes base, target;
};

std::vector<release_change> changes() {
  bytes base = noise(300000, 1);
  bytes moved = base;
  std::rotate(moved.begin(), moved.begin() + 120000, moved.end());
  bytes in_place = base;
  for (size_t at : {5u, 70000u, 70004u, 299999u}) in_place[at] ^= 0x5A;
  return {
      {"same", base, base},
      {"edited in place", base, in_place},
      {"bytes inserted", base, splice(base, 1000, 0, noise(5000, 2))},
      {"bytes removed", base, splice(base, 150000, 20000, {})},
      {"stretches moved", base, moved},
      {"all new", base, noise(200000, 3)},
      {"compressible new bytes", base, splice(base, 200000, 0, bytes(100000, 'x'))},
      {"empty target", base, {}},
      {"empty base", {}, noise(1000, 4)},
      {"tiny files", {1, 2, 3}, {1, 2, 4, 3}},
  };
}

TEST(Delta, RebuildsTheTargetByteForByteForEveryKindOfChange) {
  for (const release_change& c : changes()) {
    SCOPED_TRACE(c.name);
    bytes delta = make(c.base, c.target), out;
    ASSERT_EQ(apply(c.base, delta, &out), "");
    EXPECT_TRUE(out == c.target);
    bytes whole(c.target.size() + 1);
    const char* why;
    EXPECT_TRUE(
        delta_apply(c.base.data(), c.base.size(), delta.data(), delta.size(), whole.data(), whole.size(), &why));
    EXPECT_TRUE(std::equal(c.target.begin(), c.target.end(), whole.begin()));
    delta_header header;
    ASSERT_TRUE(delta_read_header(delta.data(), delta.size(), &header, &why));
    EXPECT_EQ(header.machine, 0x8664);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(header.product), header.product_units), u"My App");
  }
}

TEST(Delta, CarriesOnlyWhatChanged) {
  bytes base = noise(1 << 20, 5);
  bytes target = splice(base, 400000, 10, noise(300, 6));
  target[800000] ^= 1;
  delta_figures figures;
  bytes delta = make(base, target, &figures);
  EXPECT_LT(delta.size(), 1000u);
  EXPECT_LT(figures.literal, 400u);
}

TEST(Delta, ChainsAndRefusesALinkAppliedOutOfTurn) {
  bytes a = noise(200000, 7);
  bytes b = splice(a, 5000, 100, noise(100, 8));
  bytes c = splice(b, 150000, 0, noise(4000, 9));
  bytes ab = make(a, b), bc = make(b, c), out;
  ASSERT_EQ(apply(a, ab, &out), "");
  bytes rebuilt_b = out;
  ASSERT_EQ(apply(rebuilt_b, bc, &out), "");
  EXPECT_TRUE(out == c);
  EXPECT_EQ(apply(a, bc, &out), "the delta was made for another release (its SHA-256 differs)");
  bytes shorter(a.begin(), a.end() - 1);
  EXPECT_EQ(apply(shorter, ab, &out), "the delta was made for another release (its size differs)");
}

TEST(Delta, RefusesEveryTruncationAndNeverRebuildsAnythingButTheTarget) {
  bytes base = noise(8000, 10);
  bytes target = splice(base, 4000, 0, noise(600, 11));
  bytes delta = make(base, target), out;
  for (size_t size = 0; size < delta.size(); ++size) {
    bytes cut(delta.begin(), delta.begin() + size);
    EXPECT_NE(apply(base, cut, &out), "") << "cut to " << size;
  }
  bytes longer = delta;
  longer.push_back(0);
  EXPECT_NE(apply(base, longer, &out), "");
  // A damaged byte is refused, or (a bit zstd ignores, a text only the caller reads) changes
  // nothing of what is rebuilt.
  for (size_t at = 0; at < delta.size(); ++at) {
    bytes damaged = delta;
    damaged[at] ^= 0x10;
    if (apply(base, damaged, &out) == "") {
      EXPECT_TRUE(out == target) << "byte " << at;
    }
  }
}

// A delta written by hand: header and instructions (literal length, copy length, distance), no literals.
bytes handmade(const bytes& base, const bytes& target, const std::vector<std::array<int64_t, 3>>& steps) {
  delta_header header{};
  header.machine = 0x8664;
  header.base_size = base.size();
  header.target_size = target.size();
  sha256 d1, d2;
  d1.add(base.data(), base.size());
  d1.finish(header.base_digest);
  d2.add(target.data(), target.size());
  d2.finish(header.target_digest);
  bytes instructions;
  for (const auto& s : steps) {
    unsigned char encoded[delta_instruction_size_max];
    size_t n = delta_write_instruction(s[0], s[1], s[2], encoded);
    instructions.insert(instructions.end(), encoded, encoded + n);
  }
  header.instruction_bytes = instructions.size();
  bytes delta(delta_header_size);
  delta_write_header(header, nullptr, nullptr, delta.data());
  delta.insert(delta.end(), instructions.begin(), instructions.end());
  return delta;
}

TEST(Delta, RefusesInstructionsThatReachOutsideEitherFileBeforeWritingAByte) {
  bytes base = noise(1000, 12), target(base.begin(), base.begin() + 500), out;
  EXPECT_EQ(apply(base, handmade(base, target, {{0, 500, 0}}), &out), "");
  EXPECT_EQ(apply(base, handmade(base, target, {{0, 500, 600}}), &out),
            "the delta copies bytes from outside the old launcher");
  EXPECT_EQ(apply(base, handmade(base, target, {{0, 100, 0}, {0, 400, -101}}), &out),
            "the delta copies bytes from outside the old launcher");
  EXPECT_EQ(apply(base, handmade(base, target, {{0, 600, 0}}), &out), "the delta writes past the new launcher's size");
  EXPECT_EQ(apply(base, handmade(base, target, {{0, 499, 0}}), &out),
            "the delta's instructions fall short of the new launcher");
  // A sink that has taken a byte cannot take it back: nothing reaches it from a bad delta.
  size_t seen = 0;
  auto counting = [](void* context, const unsigned char*, size_t size) {
    *static_cast<size_t*>(context) += size;
    return true;
  };
  bytes bad = handmade(base, target, {{0, 300, 0}, {0, 300, 0}});
  const char* why;
  EXPECT_FALSE(delta_apply_to(base.data(), base.size(), bad.data(), bad.size(), counting, &seen, &why));
  EXPECT_EQ(seen, 0u);
  bytes good = handmade(base, target, {{0, 500, 0}});
  EXPECT_FALSE(delta_apply(base.data(), base.size(), good.data(), good.size(), out.data(), 499, &why));
  EXPECT_STREQ(why, "the new launcher does not fit the buffer given");
}

TEST(Delta, RefusesWhatIsNoDeltaOrOfAnotherLayout) {
  bytes base = noise(100, 13), out;
  bytes delta = make(base, base);
  EXPECT_EQ(apply(base, bytes{'M', 'Z', 0, 0}, &out), "not a delta (no delta magic)");
  bytes later = delta;
  later[8] = 2;
  EXPECT_EQ(apply(base, later, &out), "the delta is of a layout this launcher does not read");
}

}  // namespace
