// The key cache's name hash: names chosen to differ only where a weak hash looks least (the
// high bytes of the last word, one byte deep inside a long name) still spread over a table's
// slots as random values would; one flipped input bit flips each slot-index bit half the time;
// and the key, not the names, decides where names land.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "convert/name_hash.h"

namespace velmora::convert {
namespace {

constexpr NameHashKey kKeys[] = {
    {0x243F6A8885A308D3ull, 0x13198A2E03707344ull, 0xA4093822299F31D0ull},
    {0x082EFA98EC4E6C89ull, 0x452821E638D01377ull, 0xBE5466CF34E90C6Cull},
    {0x3F84D5B5B5470917ull, 0x9216D5D98979FB1Bull, 0xD1310BA698DFB5ACull},
};
const std::string kAlphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";

// Every name `prefix + x + y + suffix` over the alphabet: 3,844 names that differ in two bytes.
std::vector<std::string> two_varying_bytes(const std::string& prefix, const std::string& suffix) {
  std::vector<std::string> names;
  for (char x : kAlphabet)
    for (char y : kAlphabet) names.push_back(prefix + x + y + suffix);
  return names;
}

// Mean number of slots probed per lookup once `names` are in a linear-probing table of
// `slots` slots (a power of two), as the key cache places them.
double mean_probes(const std::vector<std::string>& names, std::size_t slots, const NameHashKey& key) {
  std::vector<bool> used(slots);
  std::size_t probes = 0;
  for (const std::string& name : names) {
    std::size_t i = hash_name(name, key) & (slots - 1);
    for (probes += 1; used[i]; i = (i + 1) & (slots - 1)) ++probes;
    used[i] = true;
  }
  return static_cast<double>(probes) / static_cast<double>(names.size());
}

TEST(NameHash, NamesDifferingInFewBytesSpreadOverTheTable) {
  const struct {
    const char* what;
    std::vector<std::string> names;
  } cases[] = {
      // The high bytes of the last (here: only) 8-byte word.
      {"8 bytes, the last two varying", two_varying_bytes("abcdef", "")},
      {"16 bytes, bytes 6 and 7 varying", two_varying_bytes("abcdef", "ghijklmn")},
      {"24 bytes, bytes 22 and 23 varying", two_varying_bytes(std::string(22, 'q'), "")},
      {"40 bytes, bytes 19 and 20 varying", two_varying_bytes(std::string(19, 'n'), std::string(19, 'n'))},
      {"3 bytes, the first two varying", two_varying_bytes("", "z")},
      {"6 bytes, the middle two varying", two_varying_bytes("ab", "cd")},
  };
  constexpr std::size_t kSlots = 8192;  // the cache's table holding 3,844 names
  for (const auto& c : cases) {
    for (const NameHashKey& key : kKeys) {
      SCOPED_TRACE(c.what);
      std::set<std::uint64_t> indices;
      for (const std::string& name : c.names) indices.insert(hash_name(name, key) & (kSlots - 1));
      // Random values give 8192 * (1 - e^(-3844/8192)) = 3,062 distinct slots on average, with
      // a standard deviation near 25.
      EXPECT_GT(indices.size(), 2900u);
      // Random values need about 1.4 probes per insertion at this load.
      EXPECT_LT(mean_probes(c.names, kSlots, key), 2.0);
    }
  }
}

TEST(NameHash, EveryInputBitReachesEverySlotIndexBit) {
  constexpr int kIndexBits = 17;  // enough for any table a document needs
  constexpr int kSamples = 400;
  std::mt19937_64 random(20261208);
  for (std::size_t size : {1u, 2u, 3u, 4u, 5u, 7u, 8u, 9u, 15u, 16u, 17u, 24u, 31u, 33u, 48u}) {
    for (std::size_t byte = 0; byte < size; ++byte) {
      for (int bit = 0; bit < 8; ++bit) {
        int flips[kIndexBits] = {};
        for (int sample = 0; sample < kSamples; ++sample) {
          std::string name(size, '\0');
          for (char& ch : name) ch = static_cast<char>(random());
          const std::uint64_t before = hash_name(name, kKeys[sample % 3]);
          name[byte] = static_cast<char>(name[byte] ^ (1 << bit));
          const std::uint64_t change = before ^ hash_name(name, kKeys[sample % 3]);
          for (int out = 0; out < kIndexBits; ++out) flips[out] += (change >> out) & 1;
        }
        for (int out = 0; out < kIndexBits; ++out) {
          // Half the time, give or take 7 standard deviations (0.025 each).
          ASSERT_NEAR(flips[out], kSamples / 2, 0.175 * kSamples)
              << "size " << size << ", byte " << byte << ", bit " << bit << ", index bit " << out;
        }
      }
    }
  }
}

TEST(NameHash, TheKeyDecidesWhereNamesLand) {
  const auto names = two_varying_bytes("abcdef", "");
  constexpr std::size_t kMask = 1023;
  // Names that share a slot under one key share it under another only by chance (1 in 1,024).
  std::size_t pairs = 0, still_paired = 0;
  for (std::size_t i = 0; i + 1 < names.size(); ++i) {
    for (std::size_t j = i + 1; j < names.size() && j < i + 200; ++j) {
      if ((hash_name(names[i], kKeys[0]) & kMask) != (hash_name(names[j], kKeys[0]) & kMask)) continue;
      ++pairs;
      still_paired += (hash_name(names[i], kKeys[1]) & kMask) == (hash_name(names[j], kKeys[1]) & kMask);
    }
  }
  EXPECT_GT(pairs, 300u);
  EXPECT_LT(still_paired, 10u);
}

TEST(NameHash, DependsOnTheBytesOnlyAndTheProcessKeyStays) {
  const std::string a = "element-name-of-some-length", b = a;
  ASSERT_NE(a.data(), b.data());
  EXPECT_EQ(hash_name(a, kKeys[0]), hash_name(b, kKeys[0]));
  EXPECT_NE(hash_name(a, kKeys[0]), hash_name(a, kKeys[1]));
  // The size counts: a name is not its own prefix padded with zero bytes.
  EXPECT_NE(hash_name(std::string_view("ab\0", 3), kKeys[0]), hash_name("ab", kKeys[0]));
  EXPECT_NE(hash_name("", kKeys[0]), hash_name(std::string_view("\0", 1), kKeys[0]));
  const NameHashKey& first = process_name_hash_key();
  EXPECT_EQ(&first, &process_name_hash_key());
  EXPECT_NE(first.seed, first.secret);
}

}  // namespace
}  // namespace velmora::convert
