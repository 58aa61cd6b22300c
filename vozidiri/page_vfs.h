#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "sqlite_connection.h"

namespace rk {

// Bytes that SQLite reads, and perhaps writes, as a database file through
// the library rather than by a name of their own: a copy that has no name
// yet, an entry inside a pack, or a file on disk whose read lock another
// connection holds.
//
// Such bytes belong to one connection of this process: nothing else opens
// them through SQLite, so the connection takes no locks and keeps no journal.
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

// The main database file of the connection `db`, read through the handle
// SQLite itself holds, so that no other descriptor of the file is ever
// opened or closed beside SQLite's locks. The connection must hold its read
// transaction (openSnapshot) while this object is read, and outlive it: the
// bytes cannot change meanwhile, and their size is the one at construction.
class CConnectionPages : public CPageSource {
 public:
  explicit CConnectionPages(sqlite3* db);
  int64_t readAt(void* buffer, size_t size, uint64_t offset) override;
  int64_t size() override { return size_; }

 private:
  sqlite3_file* file_;
  int64_t size_ = -1;
};

// Opens an SQLite connection on `pages`, read-only or read-write. `pages`
// must outlive the connection. Null when it cannot be opened.
//
// A connection that writes must turn the journal off (journal_mode = OFF)
// before its first write: there is nowhere to keep one. A read-only one
// reads ahead: reads that move forward through the file, as walks do, are
// served from one larger read, and a header that says WAL mode reads as
// rollback-journal mode (the bytes are the whole database without a WAL).
ConnectionPtr openPageConnection(CPageSource& pages, bool writable);

}  // namespace rk
