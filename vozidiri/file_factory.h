#pragma once

#include <memory>
#include <string>

#include "ref_count.h"
#include "sqlite_vfs.h"
#include "stream.h"

namespace rk {

// A place where named files live. A name is a path relative to the factory
// (it may contain folders); an absolute name means that file itself.
class CFileFactory : public CRefCount {
 public:
  // A stream reading the named file; null when this factory cannot read it.
  virtual TRefPointer<CStream> openRead(const std::string& name, int flags) = 0;
  // A stream creating the named file; null when the factory cannot create
  // it.
  virtual TRefPointer<CStream> openWrite(const std::string& name, int flags) = 0;
  // Creates the folders that the name needs; false when that failed.
  virtual bool prepareWrite(const std::string& name, int flags) = 0;
  // True when this factory holds the named file and can read it.
  virtual bool hasFile(const std::string& name) = 0;
  // Where on disk the named file lies, for components that open files by path
  // (record databases); empty when this factory does not hold it as a plain
  // file (a pack's entries are read through openRead).
  virtual std::string diskPath(const std::string& name) = 0;
  // The named file as pages to be read in place, for a factory whose files
  // lie on no path of their own (a pack's entries); null otherwise.
  virtual std::unique_ptr<CPageFile> openPages(const std::string& name);
};

// True when `name` is relative and does not climb out of the folder it is
// relative to: "a/../b" stays inside, "/x", "../x" and "a/../../x" do not.
// Only such names are ever written, so a script passed around cannot write
// anywhere its user can.
bool staysInside(const std::string& name);

// A folder on disk as a factory. It reads any name, but writes (openWrite,
// prepareWrite) only names that stay inside it. What it writes are copies of
// databases (openPrivateCopy), which take their names when the write
// session on them ends.
class CFolderFactory : public CFileFactory {
 public:
  explicit CFolderFactory(std::string folder) : folder_(std::move(folder)) {}

  const std::string& folder() const { return folder_; }
  // Where the named file lies or would lie when written, spelled alike for
  // every spelling of the name; empty for a name that does not stay inside.
  std::string writePath(const std::string& name) const;

  TRefPointer<CStream> openRead(const std::string& name, int flags) override;
  TRefPointer<CStream> openWrite(const std::string& name, int flags) override;
  bool prepareWrite(const std::string& name, int flags) override;
  bool hasFile(const std::string& name) override;
  std::string diskPath(const std::string& name) override;

 private:
  std::string pathOf(const std::string& name) const;

  std::string folder_;
};

}  // namespace rk
