#pragma once

#include <set>
#include <string>

#include "file_factory.h"
#include "holdings.h"

namespace rk {

// True when `name` is relative and does not climb out of the folder it is
// relative to: "a/../b" stays inside, "/x", "../x" and "a/../../x" do not.
bool staysInside(const std::string& name);

// The folder a run writes: the primary factory of the file system. It reads
// like any folder, and writes only databases, as copies (database_copy.h)
// that take their names when the write session on them ends. It owns what
// the run holds (holdings.h).
//
// Names are written only where they stay inside the folder, so that a
// script passed around cannot write anywhere its user can: a name with ".."
// is written only when the folder it leads to, links followed, lies inside.
// A link the user placed at a name, or on the way to it, is followed. Names
// the user gave on the command line (allowWriting) are written where they
// lie, wherever that is.
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
  // Its copyFrom copies a database file as SQLite sees it: a snapshot of
  // it, committed pages in a WAL file included, a hot journal outside this
  // folder refused; anything else byte for byte. When the last reference to
  // the stream goes, a whole copy waits in the holdings for its write
  // session; one that failed is dropped. Null when no copy is to be made:
  // the name is not written here, the name's lock was not had, something
  // has the name by then (another run's copy, say), or the copy could not
  // be created.
  TRefPointer<CStream> openWrite(const std::string& name, int flags) override;
  // True when the name is written here. The folders a copy needs are made
  // with it, and removed again with a copy that never takes its name.
  bool prepareWrite(const std::string& name, int flags) override;

 private:
  std::set<std::string> allowed_;
  CHoldings holdings_;
};

}  // namespace rk
