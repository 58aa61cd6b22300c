#pragma once

#include <cstdint>
#include <string>

namespace rk {

// A hash of `text` (FNV-1a), one of many, chosen by `seed`: for names of a
// fixed length made from texts of any length, and for checks within names.
inline uint64_t fingerprint(const std::string& text, uint64_t seed) {
  uint64_t hash = 14695981039346656037ull ^ seed;
  for (const unsigned char c : text) hash = (hash ^ c) * 1099511628211ull;
  return hash;
}

}  // namespace rk
