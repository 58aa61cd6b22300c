#include "write_lock.h"

#include <filesystem>
#include <system_error>

#include "file_system.h"

namespace rk {

CWriteLock::CWriteLock(const std::string& name) {
  CGlobalFileSystem* fileSystem = TSingleton<CGlobalFileSystem>::_instance;
  if (!fileSystem) return;
  const std::string path = fileSystem->primaryFolder().writePath(name);
  if (path.empty()) return;
  CHoldings& holdings = fileSystem->primaryFolder().holdings();
  const std::string identity = identityOf(path);
  // Whether the folder holds the name is asked under the name's lock, so
  // that a copy another run is making cannot take the name in between.
  nameLock_ = holdings.lockName(identity);
  if (!nameLock_) return;
  holdings.markWritten(identity);
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) {
    held_ = true;  // until this run's copy has taken the name
    return;
  }
  // A name once there stays there: its own lock is enough from here on.
  nameLock_.reset();
  std::string failure;
  ConnectionPtr db = beginWrite(path, failure);
  if (!db) return;
  holdings.keepWrite(identity, std::move(db));
  identity_ = identity;
  held_ = true;
}

CWriteLock::~CWriteLock() {
  CGlobalFileSystem* fileSystem = TSingleton<CGlobalFileSystem>::_instance;
  if (fileSystem && !identity_.empty())
    (void)fileSystem->primaryFolder().holdings().takeWrite(identity_);
}

}  // namespace rk
