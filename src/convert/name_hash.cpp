// The per-process key of the name hash.
#include "convert/name_hash.h"

#include <sys/auxv.h>

#include <chrono>

namespace velmora::convert {
namespace {

std::uint64_t split_mix(std::uint64_t& state) noexcept {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// The kernel's 16 random bytes handed to every process at start (no call that can fail), mixed
// with the load address and the time for a system that does not provide them.
NameHashKey make_key() noexcept {
  static const int anchor = 0;
  std::uint64_t state = reinterpret_cast<std::uintptr_t>(&anchor) ^
                        static_cast<std::uint64_t>(
                            std::chrono::steady_clock::now().time_since_epoch().count());
  if (const auto* random = reinterpret_cast<const unsigned char*>(getauxval(AT_RANDOM))) {
    std::uint64_t words[2];
    std::memcpy(words, random, sizeof words);
    state ^= words[0];
    std::uint64_t second = words[1];
    state ^= split_mix(second);
  }
  const std::uint64_t seed = split_mix(state);
  const std::uint64_t secret = split_mix(state);
  return NameHashKey{seed, secret, split_mix(state)};
}

}  // namespace

const NameHashKey& process_name_hash_key() noexcept {
  static const NameHashKey key = make_key();
  return key;
}

}  // namespace velmora::convert
