#include "walk_stream.h"

#include <sqlite3.h>

#include <cstdint>
#include <cstring>

#include "sqlite_vfs.h"

namespace rk {
namespace {

constexpr size_t kBatchBytes = 1 << 20;
// Room past kBatchBytes for the row that crosses it: a batch that had to
// grow for it would be copied whole, and then zeroed anew once read.
constexpr size_t kBatchRoom = kBatchBytes + (64 << 10);
constexpr int kBatches = 4;

// A row in a batch: key length, data length, the key and a zero, the data.
struct RowHeader {
  uint32_t keyLength;
  uint32_t length;
};

}  // namespace

ConnectionPtr CWalkStream::openConnection(const std::string& path) {
  ConnectionPtr db = rk::openConnection(path, SQLITE_OPEN_READONLY, viewedVfs());
  return db && execOk(db.get(), "BEGIN") ? std::move(db) : nullptr;
}

std::unique_ptr<CWalkStream> CWalkStream::start(sqlite3* db) {
  StatementPtr walk = prepare(db, "SELECT key, data FROM records ORDER BY key");
  if (!walk) return nullptr;
  return std::unique_ptr<CWalkStream>(new CWalkStream(db, std::move(walk)));
}

CWalkStream::CWalkStream(sqlite3* db, StatementPtr walk) : db_(db), walk_(std::move(walk)) {
  for (int i = 0; i < kBatches; ++i) {
    empty_.push_back(std::make_unique<Batch>());
    empty_.back()->bytes.resize(kBatchRoom);
  }
  thread_ = std::thread([this] { produce(); });
}

CWalkStream::~CWalkStream() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void CWalkStream::produce() {
  sqlite3_stmt* walk = walk_.get();
  int rc = SQLITE_ROW;
  while (rc == SQLITE_ROW) {
    std::unique_ptr<Batch> batch;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return stopping_ || !empty_.empty(); });
      if (stopping_) return;
      batch = std::move(empty_.back());
      empty_.pop_back();
    }
    batch->used = 0;
    while ((rc = sqlite3_step(walk)) == SQLITE_ROW) {
      // A damaged file may hold a NULL key, which reads as the empty one.
      const auto* key = static_cast<const char*>(sqlite3_column_blob(walk, 0));
      const auto keyLength = static_cast<size_t>(sqlite3_column_bytes(walk, 0));
      const void* data = sqlite3_column_blob(walk, 1);
      const auto length = static_cast<size_t>(sqlite3_column_bytes(walk, 1));
      const size_t size = sizeof(RowHeader) + keyLength + 1 + length;
      if (batch->used + size > batch->bytes.size()) batch->bytes.resize(batch->used + size);
      char* at = batch->bytes.data() + batch->used;
      const RowHeader header{static_cast<uint32_t>(keyLength), static_cast<uint32_t>(length)};
      std::memcpy(at, &header, sizeof header);
      at += sizeof header;
      if (keyLength > 0) std::memcpy(at, key, keyLength);
      at[keyLength] = '\0';
      if (length > 0) std::memcpy(at + keyLength + 1, data, length);
      batch->used += size;
      if (batch->used >= kBatchBytes) break;
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    full_.push_back(std::move(batch));
    if (rc != SQLITE_ROW) {
      ended_ = true;
      result_ = rc;
      if (rc != SQLITE_DONE) error_ = sqlite3_errmsg(db_);
    }
    changed_.notify_all();
  }
}

CWalkStream::eNext CWalkStream::next(Row& row) {
  while (!reading_ || offset_ >= reading_->used) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (reading_) {
      // A batch that grew for a large record gives the memory back.
      if (reading_->bytes.size() > kBatchRoom) std::vector<char>(kBatchRoom).swap(reading_->bytes);
      empty_.push_back(std::move(reading_));
      changed_.notify_all();
    }
    changed_.wait(lock, [this] { return ended_ || !full_.empty(); });
    if (full_.empty()) return result_ == SQLITE_DONE ? eNext::kEnd : eNext::kFailed;
    reading_ = std::move(full_.front());
    full_.pop_front();
    offset_ = 0;
  }
  const char* at = reading_->bytes.data() + offset_;
  RowHeader header{};
  std::memcpy(&header, at, sizeof header);
  row.key = at + sizeof header;
  row.keyLength = header.keyLength;
  row.data = row.key + header.keyLength + 1;
  row.length = static_cast<int>(header.length);
  offset_ += sizeof header + header.keyLength + 1 + header.length;
  return eNext::kRow;
}

}  // namespace rk
