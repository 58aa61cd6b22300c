#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "sqlite_connection.h"

namespace rk {

// Bytes that SQLite reads, and perhaps writes, as a database file through
// the library rather than by a name of their own: a copy that has no name
// yet, an entry inside a pack, or a file on disk whose read lock another
// connection holds. They belong to one connection of this process, which
// takes no locks and keeps no journal.
class CPageSource {
 public:
  virtual ~CPageSource() = default;
  // Reads up to `size` bytes at `offset`: the count read, fewer only at the
  // end; -1 on an error.
  virtual int64_t readAt(void* buffer, size_t size, uint64_t offset) = 0;
  // False: not written (an error, or bytes that are only read).
  virtual bool writeAt(const void* data, size_t size, uint64_t offset);
  virtual bool truncate(uint64_t size);
  // The size in bytes, or -1.
  virtual int64_t size() = 0;
};

// The bytes of an open C stream, from its start; `file` is not owned and
// must outlive this object.
class CStreamPages : public CPageSource {
 public:
  explicit CStreamPages(std::FILE* file) : file_(file) {}
  int64_t readAt(void* buffer, size_t size, uint64_t offset) override;
  bool writeAt(const void* data, size_t size, uint64_t offset) override;
  bool truncate(uint64_t size) override;
  int64_t size() override;

 private:
  std::FILE* file_;
};

// The main database file of the connection `db`, read through SQLite's own
// handle, so that no other descriptor of the file is opened or closed beside
// SQLite's locks. The connection must hold its read transaction
// (openSnapshot) and outlive this object: the bytes cannot change meanwhile.
class CConnectionPages : public CPageSource {
 public:
  explicit CConnectionPages(sqlite3* db);
  int64_t readAt(void* buffer, size_t size, uint64_t offset) override;
  int64_t size() override { return size_; }

 private:
  sqlite3_file* file_;
  int64_t size_ = -1;
};

// Opens an SQLite connection on `pages`, which must outlive it, read-only or
// read-write; null when it cannot be opened. One that writes must turn the
// journal off (journal_mode = OFF) before its first write. A read-only one
// reads ahead, serving reads that move forward, as walks do, from one larger
// read, and a header that says WAL mode reads as rollback-journal mode (the
// bytes are the whole database without a WAL).
ConnectionPtr openPageConnection(CPageSource& pages, bool writable);

}  // namespace rk
