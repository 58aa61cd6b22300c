#pragma once

#include <set>
#include <string>

#include "file_factory.h"
#include "holdings.h"

namespace rk {

// The folder a run writes: the file system's primary factory, owner of what
// the run holds (holdings.h). It writes only databases, as copies that take
// their names when the write session on them ends. Names are written only
// inside it, so that a script passed around cannot write anywhere its user
// can: a link the user placed is followed, but a name with ".." is written
// only when the folder it leads to, links followed, lies inside. Names given
// on the command line (allowWriting) are written where they lie.
class CPrimaryFolder : public CFolderFactory {
 public:
  explicit CPrimaryFolder(std::string folder) : CFolderFactory(std::move(folder)) {}

  CHoldings& holdings() { return holdings_; }

  // Lets the name be written where it lies, also outside the folder.
  void allowWriting(const std::string& name) { allowed_.insert(name); }
  // Where the named file lies or would lie when written (pathOf); empty for
  // a name that is not to be written.
  std::string writePath(const std::string& name) const;

  // A stream filling a new copy that is to take the name: copyFrom copies a
  // database file as the run's snapshot of it sees it (committed pages in a
  // WAL file included), anything else byte for byte. When the stream goes, a
  // whole copy waits in the holdings for its write session; a failed one is
  // dropped. Null when the name is not written here, its lock was not had,
  // something has it by then (another run's copy), or no copy can be made.
  TRefPointer<CStream> openWrite(const std::string& name, int flags) override;
  // True when the name is written here. The folders a copy needs are made
  // with it, and removed again with a copy that never takes its name.
  bool prepareWrite(const std::string& name, int flags) override;

  // Takes the write lock of the database `name` for the rest of the run, so
  // that runs writing one database end as if run one after the other; a job
  // that decides what to write from what it reads takes it before its first
  // read. For a database the folder holds it is SQLite's own write lock (a
  // write transaction begun at once, which other programs respect too, and
  // which this run's write session on the name takes over); for a name not
  // there yet, the name's lock, held by every run copying to the name until
  // its copy has the name (whose own lock rules from then on). Another's
  // lock is waited for a minute; when the wait runs out (as in a deadlock
  // between waiting runs) it is not had. False: not had, not to be written.
  [[nodiscard]] bool lockForWriting(const std::string& name);

 private:
  std::set<std::string> allowed_;
  CHoldings holdings_;
};

}  // namespace rk
