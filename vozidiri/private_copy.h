#pragma once

#include <memory>
#include <string>

#include "platform.h"
#include "sqlite_vfs.h"
#include "stream.h"

namespace rk {

// A copy of a database into the primary folder that belongs to this run
// alone until it takes its name.
//
// A job that writes a database which only the data folder or a pack holds
// writes a copy of it in the primary folder. The copy is made in a file that
// has no name yet (platform::CUnpublishedFile), under the folder's write lock
// (write_lock.h), and is handed to the write session that CDatabase::open
// starts on the name. SQLite writes it without a rollback journal, since
// nobody else can see the file; when the session ends the file is flushed
// to disk once and takes the name. So:
//  - a run that ends, normally or by a fatal error, leaves the copy under
//    the name, holding everything it stored;
//  - a write that failed may have damaged the copy, which then never takes
//    the name, and neither does a copy that is not a record database;
//  - a run that is killed leaves the name as it was and no file behind;
//  - a second run that wants the same name waits for the folder's lock, and
//    then finds this run's copy under the name and works on it.
class CPrivateCopy {
 public:
  CPrivateCopy(std::unique_ptr<platform::CUnpublishedFile> file,
               std::shared_ptr<platform::CFolderLock> folderLock);
  CPrivateCopy(const CPrivateCopy&) = delete;
  CPrivateCopy& operator=(const CPrivateCopy&) = delete;
  // Drops the copy unless it was published.
  ~CPrivateCopy();

  // The pages SQLite reads and writes; they stay valid as long as the copy.
  CPageFile& pages() { return pages_; }
  // Flushes the copy to disk and gives it its name. False: it could not,
  // or something took the name meanwhile; the copy is then dropped.
  [[nodiscard]] bool publish();

 private:
  std::unique_ptr<platform::CUnpublishedFile> file_;
  CFilePages pages_;
  // Held until the copy has its name, and let go after.
  std::shared_ptr<platform::CFolderLock> folderLock_;
};

// The stream through which the database `name` is copied into `folder`
// (the primary folder's openWrite). Its copyFrom copies a database file as
// SQLite sees it: a hot journal rolled back rather than copied, the committed
// pages of a database in WAL mode included; any other source byte for byte.
// When the last reference to it goes, a copy that succeeded waits for a
// write session (takePrivateCopy); one that failed is dropped.
//
// Null when the copy is not to be made: the folder's lock was not had,
// something has the name by then (another run's copy, say), or the file
// could not be created.
TRefPointer<CStream> openPrivateCopy(const std::string& folder, const std::string& name);

// The copy made for the file at `path` that no write session has taken yet;
// null when there is none.
std::unique_ptr<CPrivateCopy> takePrivateCopy(const std::string& path);

}  // namespace rk
