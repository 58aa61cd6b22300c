#pragma once

#include <memory>
#include <string>

#include "page_vfs.h"
#include "ref_count.h"
#include "stream.h"

namespace rk {

// A place where named files live. A name is a path relative to the factory
// (it may contain folders); an absolute name means that file itself.
class CFileFactory : public CRefCount {
 public:
  // A stream reading the named file; null when this factory cannot read it.
  virtual TRefPointer<CStream> openRead(const std::string& name, int flags) = 0;
  // A stream creating the named file; null when the factory cannot create
  // it. Only the primary folder creates files (primary_folder.h).
  virtual TRefPointer<CStream> openWrite(const std::string&, int) { return nullptr; }
  // Readies openWrite of the name; false when it cannot be written here.
  virtual bool prepareWrite(const std::string&, int) { return false; }
  // True when this factory holds the named file and can read it.
  virtual bool hasFile(const std::string& name) = 0;
  // Where on disk the named file lies, for opening by path (record
  // databases); empty when it is no plain file here (a pack's entry).
  virtual std::string diskPath(const std::string&) { return {}; }
  // The named file as pages to be read in place, for a factory whose files
  // lie on no path of their own (a pack's entries); null otherwise.
  virtual std::unique_ptr<CPageSource> openPages(const std::string&) { return nullptr; }
};

// A folder on disk as a factory that reads any name.
class CFolderFactory : public CFileFactory {
 public:
  explicit CFolderFactory(std::string folder) : folder_(std::move(folder)) {}

  const std::string& folder() const { return folder_; }
  // The path of the named file as the operating system means it: the name
  // below the folder, spelled as given, so that links and ".." in it lead
  // where the system leads them. An absolute name is that path itself.
  std::string pathOf(const std::string& name) const;

  TRefPointer<CStream> openRead(const std::string& name, int) override {
    return openFileForRead(pathOf(name));
  }
  bool hasFile(const std::string& name) override;
  std::string diskPath(const std::string& name) override;

 private:
  std::string folder_;
};

}  // namespace rk
