#pragma once

#include <memory>
#include <string>

#include "platform.h"

namespace rk {

// The write lock of a database that a job reads before it writes it.
//
// Runs that write the same database must end as if they had run one after
// the other. So a job that decides what to write from what it reads takes
// the lock before its first read and holds it until its last write:
//  - for a database the primary folder holds, SQLite's own write lock on
//    the file (a write transaction, begun at once), which other programs
//    respect too. The write session that CDatabase::open(name, eOpenWrite)
//    then starts in this process takes that transaction over;
//  - for a name the primary folder does not hold yet, the name's lock,
//    which every run that copies a database to that name holds until its
//    copy has taken the name (database_copy.h). Once another run's copy has
//    the name, the lock is that database's own, as above.
// A lock that another run or program holds is waited for (a minute: long
// enough for a normal job); when the wait runs out, as in a deadlock between
// waiting runs, the lock is not had and the job cannot write.
class CWriteLock {
 public:
  // Takes the lock of the database `name` in the primary folder of the
  // global file system.
  explicit CWriteLock(const std::string& name);
  CWriteLock(const CWriteLock&) = delete;
  CWriteLock& operator=(const CWriteLock&) = delete;
  // Ends a transaction that no write session took over, writing nothing.
  ~CWriteLock();

  // False: not had, so the name cannot be written: there is no global file
  // system, the name is not written there, the database does not open for
  // writing, or another holds it longer than the wait.
  bool held() const { return held_; }

 private:
  std::string identity_;  // of a database whose transaction is held
  std::shared_ptr<platform::CNameLock> nameLock_;
  bool held_ = false;
};

}  // namespace rk
