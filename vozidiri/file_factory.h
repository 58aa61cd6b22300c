#pragma once

#include <string>

#include "ref_count.h"
#include "stream.h"

namespace rk {

// A place where named files live. A name is a path relative to the factory
// (it may contain folders); an absolute name means that file itself.
class CFileFactory : public CRefCount {
 public:
  // A stream reading the named file; null when this factory cannot read it.
  virtual TRefPointer<CStream> openRead(const std::string& name, int flags) = 0;
  // A stream creating the named file (see openFileForWrite); null when the
  // factory cannot create it.
  virtual TRefPointer<CStream> openWrite(const std::string& name, int flags) = 0;
  // Creates the folders that the name needs; false when that failed.
  virtual bool prepareWrite(const std::string& name, int flags) = 0;
  // True when this factory holds the named file.
  virtual bool hasFile(const std::string& name) = 0;
  // Where on disk the named file lies, for components that open files by path
  // (record databases); empty when this factory does not hold it as a plain
  // file.
  virtual std::string diskPath(const std::string& name) = 0;
};

// A folder on disk as a factory.
class CFolderFactory : public CFileFactory {
 public:
  explicit CFolderFactory(std::string folder) : folder_(std::move(folder)) {}

  const std::string& folder() const { return folder_; }

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
