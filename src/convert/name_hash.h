// The seeded hash of element and attribute names behind the key cache. Every byte of a name
// reaches every bit of the result, so which slot of the table a name lands in cannot be steered
// by choosing bytes the index leaves out; the key is drawn once per process from the kernel's
// random bytes, so no fixed set of names collides everywhere. No CPython header: the C++ tests
// check it on its own.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace velmora::convert {

struct NameHashKey {
  std::uint64_t seed;
  std::uint64_t secret;
  std::uint64_t finish;
};

// The key of this process, made on first use.
const NameHashKey& process_name_hash_key() noexcept;

namespace name_hash_detail {

// The 128-bit product folded to 64 bits: each bit of the high half depends on every bit of
// both factors, so a few multiplications spread every input byte over the whole result.
inline std::uint64_t fold_multiply(std::uint64_t a, std::uint64_t b) noexcept {
  const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
  return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

// A bijective finaliser (xor-shift, multiply, twice): each input bit flips each output bit
// about half the time, so the low bits that index the table depend on the whole state.
inline std::uint64_t finish(std::uint64_t h) noexcept {
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDull;
  h ^= h >> 33;
  h *= 0xC4CEB9FE1A85EC53ull;
  return h ^ (h >> 33);
}

inline std::uint64_t load8(const char* at) noexcept {
  std::uint64_t word;
  std::memcpy(&word, at, 8);
  return word;
}

inline std::uint64_t load4(const char* at) noexcept {
  std::uint32_t word;
  std::memcpy(&word, at, 4);
  return word;
}

}  // namespace name_hash_detail

inline std::uint64_t hash_name(std::string_view name, const NameHashKey& key) noexcept {
  using namespace name_hash_detail;
  const char* p = name.data();
  const std::size_t n = name.size();
  std::uint64_t state = key.seed ^ n;
  std::uint64_t a = 0, b = 0;
  if (n <= 16) {
    if (n >= 8) {  // two words, overlapping when shorter than 16
      a = load8(p);
      b = load8(p + n - 8);
    } else if (n >= 4) {
      a = load4(p) << 32 | load4(p + n - 4);
    } else if (n > 0) {
      a = std::uint64_t{static_cast<unsigned char>(p[0])} << 16 |
          std::uint64_t{static_cast<unsigned char>(p[n / 2])} << 8 |
          static_cast<unsigned char>(p[n - 1]);
    }
  } else {
    // 16 bytes at a time; the last block overlaps the one before when the size is no multiple.
    std::size_t i = 0;
    for (; i + 16 < n; i += 16)
      state = fold_multiply(load8(p + i) ^ key.secret, load8(p + i + 8) ^ state);
    a = load8(p + n - 16);
    b = load8(p + n - 8);
  }
  state = fold_multiply(a ^ key.secret, b ^ state);
  return finish(state ^ key.finish);
}

}  // namespace velmora::convert
