#include "write_lock.h"

#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <system_error>
#include <thread>

#include "fault_injection.h"
#include "file_system.h"

namespace rk {
namespace {

std::map<std::string, ConnectionPtr>& heldWrites() {
  static std::map<std::string, ConnectionPtr> writes;
  return writes;
}

bool isRegularFile(const std::string& path) {
  std::error_code error;
  return std::filesystem::is_regular_file(path, error);
}

}  // namespace

std::shared_ptr<platform::CFolderLock> lockFolder(const std::string& folder) {
  // The lock is the process's, not an object's: a second hold in the same
  // process must share the first rather than wait for it.
  static std::map<std::string, std::weak_ptr<platform::CFolderLock>> held;
  std::error_code error;
  std::string key = std::filesystem::weakly_canonical(folder, error).string();
  if (error) key = folder;
  if (std::shared_ptr<platform::CFolderLock> lock = held[key].lock()) return lock;
  std::shared_ptr<platform::CFolderLock> lock =
      platform::CFolderLock::acquire(folder, lockWaitMs());
  if (lock) held[key] = lock;
  return lock;
}

ConnectionPtr beginWrite(const std::string& path, std::string& failure) {
  ConnectionPtr db;
  // SQLite opens a file that does not open for writing read-only instead,
  // and says so only at the first write. On Windows a passing conflict does
  // that too: the handle through which another run has just renamed its
  // copy into place still shuts out writers. So it is tried again a while.
  for (int attempt = 0;; ++attempt) {
    db = isRegularFile(path) ? openConnection(path, SQLITE_OPEN_READWRITE) : nullptr;
    if (!db) {
      failure = "missing";
      return nullptr;
    }
    if (sqlite3_db_readonly(db.get(), "main") != 1) break;
    if (attempt == 40) {
      failure = "read-only";
      return nullptr;
    }
    db.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  configureWriter(db.get());
  if (!execOk(db.get(), "BEGIN IMMEDIATE")) {
    const int code = sqlite3_errcode(db.get());
    failure = code == SQLITE_BUSY     ? "locked"
              : code == SQLITE_NOTADB ? "not a record database"
                                      : sqlite3_errmsg(db.get());
    return nullptr;
  }
  return db;
}

ConnectionPtr takeHeldWrite(const std::string& path) {
  const auto found = heldWrites().find(path);
  if (found == heldWrites().end()) return nullptr;
  ConnectionPtr db = std::move(found->second);
  heldWrites().erase(found);
  return db;
}

CWriteLock::CWriteLock(const std::string& name) {
  CGlobalFileSystem* fileSystem = TSingleton<CGlobalFileSystem>::_instance;
  if (!fileSystem) return;
  const std::string path = fileSystem->primaryFolder().writePath(name);
  if (path.empty()) return;
  // Whether the folder holds the name is asked under the folder's lock, so
  // that a copy another run is making cannot take the name in between.
  folderLock_ = lockFolder(fileSystem->primaryFolder().folder());
  if (!folderLock_) return;
  if (!isRegularFile(path)) {
    held_ = true;  // until this run's copy has taken the name
    return;
  }
  // A name once there stays there: its own lock is enough from here on.
  folderLock_.reset();
  std::string failure;
  ConnectionPtr db = beginWrite(path, failure);
  if (!db) return;
  path_ = path;
  heldWrites()[path_] = std::move(db);
  held_ = true;
}

CWriteLock::~CWriteLock() {
  if (!path_.empty()) heldWrites().erase(path_);
}

}  // namespace rk
