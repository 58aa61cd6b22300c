#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace rk {

// A database file begins with these 16 bytes, the terminating zero included.
inline constexpr char kSQLiteMagic[16] = "SQLite format 3";
// Its header's bytes 18 and 19 (the write and read versions) are 2 in WAL
// mode, 1 with a rollback journal; kHeaderBytes reaches past them.
inline constexpr size_t kVersionOffset = 18;
inline constexpr size_t kHeaderBytes = 20;

// True when `header` (kHeaderBytes bytes) begins a database file in WAL mode.
bool isWalHeader(const unsigned char* header);
// Makes `header` say rollback-journal mode, for a file read or written
// without a WAL file of its own (a copy, a pack's entry).
void markRollbackMode(unsigned char* header);

// Bytes that SQLite reads, and perhaps writes, as a database file with no
// name of its own (a copy not yet published, a pack's entry), for one
// connection of this process, which takes no locks and keeps no journal.
class CPageSource {
 public:
  virtual ~CPageSource() = default;
  // Reads up to `size` bytes at `offset`: the count read, fewer only at the
  // end; -1 on an error.
  virtual int64_t readAt(void* buffer, size_t size, uint64_t offset) = 0;
  // False: not written (an error, or bytes that are only read).
  virtual bool writeAt(const void*, size_t, uint64_t) { return false; }
  virtual bool truncate(uint64_t) { return false; }
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

// The name of the VFS through which the library opens every file: the
// system's own, but gathering writes that continue one another and reading
// ahead as reads move forward, never with a view of its own; and page
// sources, by pagesName. A page source only read whose header says WAL mode
// reads as rollback-journal mode: its bytes are the whole database.
const char* libraryVfs();
// The URI by which a connection opens `pages` through the library's VFS.
std::string pagesName(CPageSource& pages);

}  // namespace rk
