#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

// A growable list of key texts, each its own copy, kept in blocks of a
// megabyte rather than one heap string apiece: two million keys of 17 bytes
// take about 44 MB instead of some 150, and growing never copies what is
// there.
class CKeyList {
 public:
  CKeyList() = default;
  CKeyList(const CKeyList&) = delete;
  CKeyList& operator=(const CKeyList&) = delete;

  // Appends a copy of `key`, up to its terminating zero.
  void append(const char* key);
  size_t size() const { return offsets_.size(); }
  bool empty() const { return offsets_.empty(); }
  // The text of entry `index` (below size()), zero-terminated; it stays
  // valid as long as the list.
  const char* operator[](size_t index) const;

 private:
  struct Block {
    std::unique_ptr<char[]> bytes;
    size_t capacity = 0;
    size_t used = 0;
    size_t firstKey = 0;  // index of the first key it holds
  };

  std::vector<Block> blocks_;
  std::deque<uint32_t> offsets_;  // of each key within its block
};
