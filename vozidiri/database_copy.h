#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform.h"
#include "sqlite_connection.h"

namespace rk {

// A copy, to take a name in the folder a run writes, of a database that only
// a data folder or a pack holds: a file with no name yet
// (platform::CUnpublishedFile), made under the name's lock, that SQLite
// writes without a journal, since nobody else sees it; when the write
// session ends it is flushed once and takes the name. A failed write or a
// copy that is no record database never takes it; a killed run leaves the
// name as it was and no file behind. A name with a journal or WAL file
// beside it is never taken: SQLite would roll that file into the copy.
class CDatabaseCopy {
 public:
  // A new, empty copy that is to take the name `path`, holding `lock` (the
  // name's) until then, and the folders `path` needs. Null when it cannot
  // be made, or something has the name or a journal or WAL file beside it.
  static std::unique_ptr<CDatabaseCopy> create(const std::string& path,
                                               std::shared_ptr<platform::CNameLock> lock);
  CDatabaseCopy(const CDatabaseCopy&) = delete;
  CDatabaseCopy& operator=(const CDatabaseCopy&) = delete;
  // Drops a copy that was not published, and the folders made for it.
  ~CDatabaseCopy();

  // The bytes SQLite reads and writes; they stay valid as long as the copy.
  CPageSource& pages() { return pages_; }

  // Fills the empty copy with the database as the snapshot `source`
  // (openSnapshot) sees it: page by page through SQLite for a file read
  // through its WAL, else the bytes of `sourceFile`, which must be the same
  // file. False: a read or write failed.
  [[nodiscard]] bool copyDatabase(sqlite3* source, std::FILE* sourceFile);
  // Makes the header of a filled copy say rollback-journal mode: a copy is
  // read and written without a WAL file. False: it could not be written.
  [[nodiscard]] bool markRollbackMode();

  // Flushes the copy to disk and gives it its name. False: it could not, or
  // something took the name, or a journal or WAL file appeared beside it;
  // the copy is then dropped. The name's lock is let go either way.
  [[nodiscard]] bool publish();

 private:
  CDatabaseCopy(std::unique_ptr<platform::CUnpublishedFile> file, std::string path,
                std::shared_ptr<platform::CNameLock> lock, std::vector<std::string> folders);
  std::unique_ptr<platform::CUnpublishedFile> file_;
  CStreamPages pages_;
  std::string path_;
  std::shared_ptr<platform::CNameLock> lock_;
  std::vector<std::string> folders_;  // made for the copy, the outermost first
  bool published_ = false;
};

}  // namespace rk
