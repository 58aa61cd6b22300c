#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sqlite_connection.h"

namespace rk {

// A walk of a database file's records in key order, read ahead of its
// reader on a thread of its own. A comparison walks one database while it
// looks keys up in another, step for step; with the walk here, the two run
// on two cores.
//
// The thread reads through a connection of its own, which must see exactly
// what the reader's own connection sees. The caller makes sure of that: it
// starts a stream only on a database in rollback-journal mode whose read
// transaction its connection holds, since that read lock keeps every writer
// out until the stream has ended.
//
// Rows travel in batches of about a megabyte, a few batches ahead; a record
// larger than that makes a batch of its own.
class CWalkStream {
 public:
  struct Row {
    const char* key;  // zero-terminated, `keyLength` bytes before the zero
    size_t keyLength;
    const void* data;
    int length;
  };
  enum class eNext { kRow, kEnd, kFailed };

  // Opens the connection through which streams walk the file at `path`, its
  // read transaction begun; null when it cannot be opened.
  static ConnectionPtr openConnection(const std::string& path);
  // Starts walking the file through `db`, which must outlive the stream and
  // serve no other stream meanwhile; null when the walk cannot be prepared.
  static std::unique_ptr<CWalkStream> start(sqlite3* db);
  CWalkStream(const CWalkStream&) = delete;
  CWalkStream& operator=(const CWalkStream&) = delete;
  // Stops the thread and closes its connection.
  ~CWalkStream();

  // The next row; its bytes stay valid until the next call. kFailed: SQLite
  // failed, and error() says why.
  eNext next(Row& row);
  const std::string& error() const { return error_; }

 private:
  struct Batch {
    std::vector<char> bytes;
    size_t used = 0;
  };

  CWalkStream(sqlite3* db, StatementPtr walk);
  // The thread: fills batches until the walk ends, fails or is stopped.
  void produce();

  sqlite3* db_;
  StatementPtr walk_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::unique_ptr<Batch>> full_;    // filled, in key order
  std::vector<std::unique_ptr<Batch>> empty_;  // to be filled again
  bool ended_ = false;                         // the thread has filled its last batch
  bool stopping_ = false;
  int result_ = 0;                  // the walk's last SQLite result, once ended_
  std::string error_;               // SQLite's message when it failed
  std::unique_ptr<Batch> reading_;  // the batch whose rows next() hands out
  size_t offset_ = 0;
  std::thread thread_;  // last: it starts once everything above exists
};

}  // namespace rk
