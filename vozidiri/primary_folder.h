#pragma once

#include <set>
#include <string>

#include "file_factory.h"
#include "holdings.h"

namespace rk {

// True when `name` is relative and does not climb out of the folder it is
// relative to: "a/../b" stays inside, "/x", "../x" and "a/../../x" do not.
bool staysInside(const std::string& name);

// The folder a run writes: the primary factory of the file system, which
// owns what the run holds (holdings.h). It writes only databases, as copies
// that take their names when the write session on them ends.
//
// Names are written only inside the folder, so that a script passed around
// cannot write anywhere its user can: a name with ".." only when the folder
// it leads to, links followed, lies inside. A link the user placed is
// followed. Names the user gave on the command line (allowWriting) are
// written where they lie.
class CPrimaryFolder : public CFolderFactory {
 public:
  explicit CPrimaryFolder(std::string folder) : CFolderFactory(std::move(folder)) {}

  CHoldings& holdings() { return holdings_; }

  // Lets the name be written where it lies, also outside the folder.
  void allowWriting(const std::string& name) { allowed_.insert(name); }
  // Where the named file lies or would lie when written (pathOf); empty for
  // a name that is not to be written.
  std::string writePath(const std::string& name) const;

  // A stream that fills a new copy of a database that is to take the name.
  // Its copyFrom copies a database file as the run's snapshot of it sees it
  // (committed pages in a WAL file included), anything else byte for byte.
  // When the stream goes, a whole copy waits in the holdings for its write
  // session; one that failed is dropped. Null when no copy is to be made:
  // the name is not written here, its lock was not had, something has the
  // name by then (another run's copy, say), or the copy cannot be created.
  TRefPointer<CStream> openWrite(const std::string& name, int flags) override;
  // True when the name is written here. The folders a copy needs are made
  // with it, and removed again with a copy that never takes its name.
  bool prepareWrite(const std::string& name, int flags) override;

  // Takes the write lock of the database `name` for the rest of the run.
  // Runs that write the same database must end as if they had run one after
  // the other, so a job that decides what to write from what it reads takes
  // it before its first read:
  //  - for a database the folder holds, SQLite's own write lock on the file
  //    (a write transaction, begun at once), which other programs respect
  //    too; the write session CDatabase::open(name, eOpenWrite) starts in
  //    this run takes that transaction over;
  //  - for a name the folder does not hold yet, the name's lock, which every
  //    run that copies a database to that name holds until its copy has the
  //    name. Once another run's copy has it, the lock is that database's own.
  // A lock another run or program holds is waited for (a minute); when the
  // wait runs out, as in a deadlock between waiting runs, it is not had.
  // False: not had, so the name cannot be written.
  [[nodiscard]] bool lockForWriting(const std::string& name);

 private:
  std::set<std::string> allowed_;
  CHoldings holdings_;
};

}  // namespace rk
