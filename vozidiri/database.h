#pragma once

#include <memory>
#include <string>

#include "lookup_cursor.h"
#include "sqlite_connection.h"
#include "walk_stream.h"

namespace rk {

class CFileFactory;
class CPageFile;
class CPrivateCopy;

// A record database: text keys, each mapping to a blob of bytes.
//
// On disk a record database is an SQLite 3 file holding
//   CREATE TABLE records(key TEXT PRIMARY KEY NOT NULL, data BLOB NOT NULL)
//       WITHOUT ROWID
// Keys are bound as text byte for byte, so the default BINARY collation walks
// them in ascending byte order. A file with no pages (an empty file, also
// once the journal of a killed first write is rolled back) is an empty
// database; opening one for writing creates the table and marks the file
// with PRAGMA application_id = 0x564F5A49 and user_version = 1.
//
// Files that other programs made open when every key is one the tool can
// name. A file whose records table has no key column that is its one primary
// key in the BINARY collation, or that holds a key stored as anything but
// text (a BLOB, as Python stores bytes; a number; NULL), is not a record
// database. A text key with a zero byte inside is an error of the walk that
// meets it. So walks and lookups always agree, byte for byte.
//
// Each open session is one transaction: read mode holds a read transaction
// (one consistent snapshot, no locking per call); write mode holds a write
// transaction from open to close, and close() commits it. A database the
// primary folder holds is written in place with a rollback journal, so a
// process that dies before close leaves the file as it was; one copied
// there for this run is written without a journal and takes its name at
// close (private_copy.h). A lock held by another process is waited for up
// to a minute (write_lock.h).
//
// An SQLite error in the middle of a session (a corrupt page, an I/O error,
// a full disk) puts the object in a failed state: that call and every later
// one answer false, close() included, so a walk cut short by damage can
// never pass for the end of the keys, and a write session that failed keeps
// nothing it stored. open() starts afresh.
//
// Names are found through the global file system when it exists: read mode
// opens the file of the first factory that holds the name, reading a pack's
// entry in place; write mode opens the primary factory's file, or the copy
// ensurePrimaryCopy made of it, and only for names that stay inside its
// folder (staysInside). Without a global file system a name is a path.
// open never creates a file.
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
  // Ends the session: commits in write mode, and gives a copy its name.
  // False: that failed or the session met an error, and in write mode
  // nothing stored in this session was kept. Closing a closed database is
  // true.
  [[nodiscard]] bool close();
  bool isOpen() const { return db_ != nullptr; }
  // Why the last call that answered false did: "missing", "locked", "not a
  // record database", "no such key", or SQLite's own message.
  const std::string& lastError() const { return lastError_; }

  // True when the key is stored.
  bool exists(const char* key);
  // Sets `data` and `length` to the key's record. The bytes belong to the
  // database and stay valid until the next fetch, store, remove, nextKey or
  // close on this object; calls on other objects do not touch them. An empty
  // record gives length 0 and a non-null pointer. False: no such key, or a
  // failure.
  [[nodiscard]] bool fetch(const char* key, const void*& data, int& length);
  // Creates the key or replaces its data; the bytes are copied before it
  // returns. False: failure (read mode, negative length, I/O).
  [[nodiscard]] bool store(const char* key, const void* data, int length);
  // Removes the key. False: the key was not stored, or a failure.
  [[nodiscard]] bool remove(const char* key);

  // Walks all keys in ascending byte order. The key text belongs to the
  // database and stays valid until the next firstKey/nextKey or close; fetch,
  // exists and calls on other databases do not disturb the walk. A database
  // file opened for reading is walked ahead on a thread of its own
  // (CWalkStream), where the file allows it.
  // False: no (further) key, or a failure.
  [[nodiscard]] bool firstKey(const char*& key);
  [[nodiscard]] bool nextKey(const char*& key);

 private:
  bool openFile(const std::string& path);
  bool openPackEntry(CFileFactory& factory, const std::string& name);
  bool openCopy(std::unique_ptr<CPrivateCopy> copy);
  // Checks the file and prepares the statements, inside the transaction
  // that `db_` has begun. False: abandoned, with the reason.
  bool startSession();
  // Ends the walk's stream and finalizes the statements.
  void releaseStatements();
  // Lets go of the statements, then of the connection and what it reads.
  void endSession();
  bool abandon(const std::string& reason);
  // Records why the current call fails and answers false.
  bool fail(const std::string& reason);
  // The same for an error that latches the failed state.
  bool failSession(const std::string& reason);
  bool usable(const char* key);
  bool stepWalk(const char*& key);

  // Declared before the connection, which must go first.
  std::unique_ptr<CPageFile> pages_;    // the pack entry a session reads
  std::unique_ptr<CPrivateCopy> copy_;  // the copy a session writes
  ConnectionPtr db_;
  CLookupCursor exists_, fetch_;
  StatementPtr store_, remove_, walk_;
  // Where a read session's file can be walked ahead; empty where it cannot.
  std::string streamPath_;
  ConnectionPtr streamDb_;               // the connection its walks go through
  std::unique_ptr<CWalkStream> stream_;  // the walk, when it is walked ahead
  CWalkStream::Row streamRow_{};
  eOpenFlags mode_ = eOpenRead;
  // False for an empty database opened for reading: it has no table.
  bool hasTable_ = false;
  bool failed_ = false;
  // A finished walk stays finished: SQLite would restart a done statement.
  bool walking_ = false;
  // The walk's row holds the record of walkKey_ until the walk steps or a
  // write changes the table.
  bool walkRowCurrent_ = false;
  const char* walkKey_ = nullptr;
  const void* lastFetched_ = nullptr;  // the record fetch last handed out
  int lastFetchedLength_ = 0;
  std::string lastError_;
};

}  // namespace rk
