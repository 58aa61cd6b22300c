#pragma once

#include <cstdint>
#include <cstdio>

struct sqlite3;

// Two ways SQLite reaches files through the library rather than straight
// through the system's VFS, each a VFS of the library's own that passes all
// else on to the system's.
namespace rk {

// A database file that SQLite reads, and perhaps writes, through the library
// rather than by its name: a copy that has no name yet, an entry inside a
// pack.
//
// Such a file belongs to one connection of this process: nothing else can
// open it, so the VFS takes no locks and keeps no journal for it.
class CPageFile {
 public:
  virtual ~CPageFile() = default;
  // Reads up to `size` bytes at `offset`: the count read, fewer only at the
  // end of the file; -1 on an error.
  virtual int64_t readAt(void* buffer, size_t size, uint64_t offset) = 0;
  // False: not written (an error, or a file that is only read).
  virtual bool writeAt(const void* data, size_t size, uint64_t offset);
  virtual bool truncate(uint64_t size);
  // The size in bytes, or -1.
  virtual int64_t size() = 0;
};

// The pages of an open file, from its start; `file` is not owned and must
// outlive this object.
class CFilePages : public CPageFile {
 public:
  explicit CFilePages(std::FILE* file) : file_(file) {}
  int64_t readAt(void* buffer, size_t size, uint64_t offset) override;
  bool writeAt(const void* data, size_t size, uint64_t offset) override;
  bool truncate(uint64_t size) override;
  int64_t size() override;

 private:
  std::FILE* file_;
};

// Opens an SQLite connection on `file`, read-only or read-write, into `db`
// (which the caller closes, also on failure, as after sqlite3_open_v2).
// `file` must outlive the connection. Returns SQLite's result code.
//
// A connection that writes must turn the journal off (journal_mode = OFF)
// before its first write: there is nowhere to keep one.
int openPageFile(CPageFile& file, bool writable, sqlite3** db);

// The name of the VFS through which a database file is best read from end to
// end: the reads of the database file itself are served from the system
// VFS's memory map of it, rather than by a call into the system for every
// page; all else, locks and journals included, is the system VFS's own.
// Meant for connections that read.
const char* viewedVfs();

}  // namespace rk
