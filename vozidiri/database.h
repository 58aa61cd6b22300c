#pragma once

#include <memory>
#include <string>

namespace rk {

class CLookupCursor;

// A record database: text keys, each mapping to a blob of bytes, in an
// SQLite 3 file holding
//   CREATE TABLE records(key TEXT PRIMARY KEY NOT NULL, data BLOB NOT NULL)
//       WITHOUT ROWID
// Keys are bound as text byte for byte, so the BINARY collation walks them
// in ascending byte order. A file with no pages (empty, also once a killed
// first write is rolled back) is an empty database; opened for writing it
// gets the table and PRAGMA application_id = 0x564F5A49, user_version = 1.
//
// Other programs' files open when their keys are texts kept as they are: a
// UTF-8 file whose records table has `key` as its one primary key, in the
// BINARY collation, of TEXT or BLOB affinity (ANY in a STRICT table: "007"
// is no number), with every key stored as text (not a BLOB, as Python
// stores bytes; a number; NULL). A key with a zero byte fails the walk that
// meets it. So walks and lookups agree byte for byte. A store changes
// `data` alone, and fails when a trigger leaves no record stored.
//
// A session is one transaction. Read mode reads one snapshot, which the run
// keeps for its next read of the file (holdings.h). Write mode holds a write
// transaction from open to close, which commits it: in place with a
// rollback journal, so that a process that dies first leaves the file as it
// was, or in a copy that then takes the name (database_copy.h). Another
// process's lock is waited for up to a minute. A file outside the primary
// folder is only read: nothing there is written, created or removed.
//
// An SQLite error mid-session (a corrupt page, an I/O error, a full disk, a
// file cut short) fails the session: that call and every later one answer
// false, close() included, so a walk cut short by damage never passes for
// the end of the keys, and a failed write session keeps nothing it stored.
// open() starts afresh.
//
// Names go through the global file system when it exists: read mode opens
// the file of the first factory holding the name (a pack's entry in place),
// write mode the primary folder's file, or the copy ensurePrimaryCopy made
// of it. Without one a name is a path. open never creates a file.
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
  // previous database could not be committed).
  [[nodiscard]] bool open(const std::string& name, eOpenFlags mode);
  // Ends the session: commits in write mode, and gives a copy its name.
  // False: that failed or the session had failed; a write session then kept
  // nothing. Closing a closed database is true.
  [[nodiscard]] bool close();
  bool isOpen() const { return session_ != nullptr; }
  // A short text saying why the last call that answered false did ("missing",
  // "locked", "not a record database", "no such key", SQLite's message...),
  // for tests and for a person debugging; callers never branch on it.
  const std::string& lastError() const { return lastError_; }

  // True when the key is stored.
  bool exists(const char* key);
  // Sets `data` and `length` to the key's record (an empty one: length 0, a
  // non-null pointer). The bytes are the database's, valid until the next
  // fetch, store, remove, nextKey or close on this object, whatever is done
  // with other objects. False: no such key, or a failure.
  [[nodiscard]] bool fetch(const char* key, const void*& data, int& length);
  // Creates the key or replaces its data; the bytes are copied before it
  // returns. False: failure (read mode, negative length, I/O, not stored).
  [[nodiscard]] bool store(const char* key, const void* data, int length);
  // Removes the key. False: the key was not stored, or a failure.
  [[nodiscard]] bool remove(const char* key);

  // Walks all keys in ascending byte order. The key text is the database's,
  // valid until the next firstKey/nextKey or close, which alone disturb the
  // walk. False: no (further) key, or a failure.
  [[nodiscard]] bool firstKey(const char*& key);
  [[nodiscard]] bool nextKey(const char*& key);

 private:
  struct CSession;  // what an open database holds (database.cpp)

  // Record why the call fails and answer false; failSession also fails the
  // session.
  bool fail(const std::string& reason);
  bool failSession(const std::string& reason);
  bool usable(const char* key);
  // Moves `cursor` to `key`; false, with the reason, when it is not stored.
  bool seek(CLookupCursor& cursor, const char* key);
  bool stepWalk(const char*& key);

  std::unique_ptr<CSession> session_;
  std::string lastError_;
};

}  // namespace rk
