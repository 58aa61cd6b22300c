#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "fault_injection.h"

struct sqlite3;
struct sqlite3_stmt;

namespace rk {

class CFileFactory;

// A record database: text keys, each mapping to a blob of bytes.
//
// On disk a record database is an SQLite 3 file holding
//   CREATE TABLE records(key TEXT PRIMARY KEY NOT NULL, data BLOB NOT NULL)
//       WITHOUT ROWID
// Keys are bound as text byte for byte, so the default BINARY collation walks
// them in ascending byte order. An empty (zero-byte) file is an empty
// database; opening one for writing creates the table and marks the file with
// PRAGMA application_id = 0x564F5A49 and user_version = 1. A file that is not
// SQLite, or an SQLite file without the records table, does not open.
//
// Each open session is one transaction: read mode holds a read transaction
// (one consistent snapshot, no locking per call) and write mode holds
// BEGIN IMMEDIATE from open to close. close() commits, so a process that dies
// before close leaves the file as it was. A lock held by another process is
// waited for a few seconds before open gives up.
//
// An SQLite error in the middle of a session (a corrupt page, an I/O error)
// puts the object in a failed state: that call and every later one answer
// false, close() included, so a walk cut short by damage can never pass for
// the end of the keys. open() starts afresh.
//
// Names are found through the global file system when it exists: read mode
// opens the file of the first factory that holds the name, a pack entry
// being read into memory (released at close); write mode opens the primary
// factory's file, and only for names that stay inside its folder
// (staysInside). Without a global file system a name is a path. open never
// creates a file.
class CDatabase {
 public:
  enum eOpenFlags { eOpenRead = 1, eOpenWrite = 2 };

  CDatabase();
  CDatabase(const CDatabase&) = delete;
  CDatabase& operator=(const CDatabase&) = delete;
  // Closes the database, committing what was stored; the result is lost, so
  // writers call close() themselves when they must know.
  ~CDatabase();

  // Opens the named database in `mode`; an open database is closed first.
  // False: not opened (missing, not a record database, locked, or the
  // previous database could not be committed); lastError() says which.
  [[nodiscard]] bool open(const std::string& name, eOpenFlags mode);
  // Ends the session: commits in write mode. False: the commit failed or the
  // session met an error, and in write mode nothing stored in this session
  // was kept. Closing a closed database is true.
  [[nodiscard]] bool close();
  bool isOpen() const { return db_ != nullptr; }
  // Why the last call that answered false did: "missing", "locked", "not a
  // record database", or SQLite's own message. Empty before any failure.
  const std::string& lastError() const { return lastError_; }

  // True when the key is stored.
  bool exists(const char* key);
  // Sets `data` and `length` to the key's record. The bytes belong to the
  // database and stay valid until the next fetch, store, remove, nextKey or
  // close on this object; calls on other objects do not touch them. An empty record
  // gives length 0 and a non-null pointer. False: no such key, or a failure.
  [[nodiscard]] bool fetch(const char* key, const void*& data, int& length);
  // Creates the key or replaces its data; the bytes are copied before it
  // returns. False: failure (read mode, negative length, I/O).
  [[nodiscard]] bool store(const char* key, const void* data, int length);
  // Removes the key. False: the key was not stored, or a failure.
  [[nodiscard]] bool remove(const char* key);

  // Walks all keys in ascending byte order. The key text belongs to the
  // database and stays valid until the next firstKey/nextKey or close; fetch,
  // exists and calls on other databases do not disturb the walk.
  // False: no (further) key, or a failure.
  [[nodiscard]] bool firstKey(const char*& key);
  [[nodiscard]] bool nextKey(const char*& key);

  // Closes an SQLite connection; every connection of the library has one.
  struct ConnectionCloser {
    void operator()(sqlite3* db) const;
  };

 private:
  struct StatementFinalizer {
    void operator()(sqlite3_stmt* statement) const;
  };
  using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;
  enum class Outcome { kRow, kDone, kFailed };

  bool openFile(const std::string& path, eOpenFlags mode);
  // Reads the named entry of `factory`, a pack, into memory and opens it.
  bool openPackEntry(CFileFactory& factory, const std::string& name);
  // `emptyFile`: the file had no bytes when it was opened.
  bool startSession(eOpenFlags mode, bool emptyFile);
  Statement prepare(const char* sql);
  // True when `fault` is armed to fail this call; latches the failed state.
  bool injected(eFault fault);
  // Steps `statement`; an error, or an armed `fault`, latches the failed
  // state.
  Outcome step(sqlite3_stmt* statement, eFault fault = eFault::kNone);
  // Steps a statement bound for one lookup and resets it.
  Outcome stepOnce(sqlite3_stmt* statement, eFault fault = eFault::kNone);
  bool stepWalk(const char*& key);
  // A lookup cursor: a range scan that, after each lookup, stands on the
  // first key at or after the key asked for. Lookups that come in ascending
  // order (the comparison's, walking another database) step it forward
  // instead of searching the B-tree anew for each key.
  struct Cursor {
    Statement statement;
    bool positioned = false;    // it stands on a row
    const char* key = nullptr;  // the key of that row
    size_t keyLength = 0;
  };
  // Moves `cursor` to `key`: kRow when the key is stored (the cursor's row
  // is then its row), kDone when it is not.
  Outcome seek(Cursor& cursor, const char* key, eFault fault);
  void forgetCursors();
  // Records why the current call fails and answers false.
  bool fail(const std::string& reason);
  bool usable() const { return hasTable_ && !failed_; }

  std::unique_ptr<sqlite3, ConnectionCloser> db_;
  eOpenFlags mode_ = eOpenRead;
  // False for an empty file opened for reading: it has no table to query.
  bool hasTable_ = false;
  bool failed_ = false;
  Cursor exists_, fetch_;
  Statement store_, remove_, walk_;
  const char* walkKey_ = nullptr;      // the walk's row's, until it steps
  const void* lastFetched_ = nullptr;  // the record fetch last handed out
  int lastFetchedLength_ = 0;
  // A finished walk stays finished: SQLite would restart a done statement.
  bool walking_ = false;
  std::string lastError_;
};

// True when the file at `path` opens as a record database (an empty file is
// an empty one).
bool isRecordDatabaseFile(const std::string& path);

// Copies the SQLite file `fromPath` (open as `from`) into the new, empty file
// `toPath` (open as `to`) as SQLite sees it, inside one read transaction:
// a hot journal is rolled back (or the copy refused) rather than copied as
// data, and the committed pages of a database in WAL mode are included (the
// copy is then in rollback-journal mode). False: the source could not be read
// consistently or the copy failed.
bool copyDatabaseFile(std::FILE* from, const std::string& fromPath, std::FILE* to,
                      const std::string& toPath);

}  // namespace rk
