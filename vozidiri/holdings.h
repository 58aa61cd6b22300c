#pragma once

#include <map>
#include <memory>
#include <string>
#include <utility>

#include "database_copy.h"
#include "file_ptr.h"
#include "platform.h"
#include "sqlite_connection.h"

namespace rk {

// One text for the file at `path`, whatever the spelling: links and ".."
// resolved as far as the path exists. Holdings are kept under it.
std::string identityOf(const std::string& path);

// What a run holds of the databases it reads and writes, each under its
// file's identity (reached as CFileSystem::primaryFolder().holdings()):
//  - a name's lock, so that runs writing the same name take turns, and runs
//    writing different names do not wait for each other;
//  - a copy made for a name, or a write transaction begun early
//    (CPrimaryFolder::lockForWriting), until a write session takes it over;
//  - a read snapshot kept from one read session of a file to the next, so
//    that a run reads each database, and copies it, in one state.
// All ends with the holdings, with the file system after the job: snapshots
// end, waiting copies are dropped, begun writes roll back.
class CHoldings {
 public:
  CHoldings() = default;
  CHoldings(const CHoldings&) = delete;
  CHoldings& operator=(const CHoldings&) = delete;
  ~CHoldings();

  // This run's hold on the lock of `identity`: shared by everything in the
  // run that holds it, and released by the last. Null when another process
  // held it longer than the wait.
  std::shared_ptr<platform::CNameLock> lockName(const std::string& identity);
  // Holds `lock` until the holdings end.
  void keepLock(const std::string& identity, std::shared_ptr<platform::CNameLock> lock) {
    held_[identity].keptLock = std::move(lock);
  }

  // A copy or a begun write waits here for the write session that takes it.
  void keepCopy(const std::string& identity, std::unique_ptr<CDatabaseCopy> copy) {
    held_[identity].copy = std::move(copy);
  }
  std::unique_ptr<CDatabaseCopy> takeCopy(const std::string& identity) {
    return std::move(held_[identity].copy);
  }
  void keepWrite(const std::string& identity, ConnectionPtr db) {
    held_[identity].write = std::move(db);
  }
  ConnectionPtr takeWrite(const std::string& identity) { return std::move(held_[identity].write); }

  // Marks the file as one this run writes. It keeps no snapshot from then
  // on: its read lock would shut out the run's own commit.
  void markWritten(const std::string& identity);
  // Keeps the snapshot connection `db` (openSnapshot) for the next read of
  // the file; drops it for a file this run writes.
  void keepSnapshot(const std::string& identity, ConnectionPtr db);
  ConnectionPtr takeSnapshot(const std::string& identity) {
    return std::move(held_[identity].snapshot);
  }

  // The file at `path` open for reading (or platform::startWriteBack),
  // kept open until the holdings end: closing any descriptor of a file ends
  // every lock the process holds on it (POSIX), a snapshot's included. Null
  // when it does not open.
  std::FILE* rawFile(const std::string& identity, const std::string& path);

 private:
  // In this order so that connections end before the raw file.
  struct Held {
    FilePtr file;
    std::unique_ptr<CDatabaseCopy> copy;
    ConnectionPtr write;
    ConnectionPtr snapshot;
    std::weak_ptr<platform::CNameLock> lock;
    std::shared_ptr<platform::CNameLock> keptLock;
    bool written = false;
  };

  std::map<std::string, Held> held_;
};

}  // namespace rk
