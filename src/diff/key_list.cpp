#include "diff/key_list.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr size_t kBlockBytes = 1 << 20;

}  // namespace

void CKeyList::append(const char* key) {
  const size_t length = std::strlen(key) + 1;
  if (blocks_.empty() || blocks_.back().capacity - blocks_.back().used < length) {
    Block block;
    // A key longer than a block has a block of its own.
    block.capacity = std::max(kBlockBytes, length);
    block.bytes = std::make_unique<char[]>(block.capacity);
    block.firstKey = offsets_.size();
    blocks_.push_back(std::move(block));
  }
  Block& block = blocks_.back();
  std::memcpy(block.bytes.get() + block.used, key, length);
  offsets_.push_back(static_cast<uint32_t>(block.used));
  block.used += length;
}

const char* CKeyList::operator[](size_t index) const {
  // The last block whose first key is at or before `index`.
  const auto block = std::upper_bound(blocks_.begin(), blocks_.end(), index,
                                      [](size_t at, const Block& b) { return at < b.firstKey; });
  return std::prev(block)->bytes.get() + offsets_[index];
}
