#pragma once

#include <set>
#include <string>
#include <vector>

#include "file_factory.h"
#include "primary_folder.h"

namespace rk {

// Factories searched in order as one. The first is the primary factory: the
// only one written to. Reads take the first factory that holds the name.
class CFileFactoryGroup : public CFileFactory {
 public:
  explicit CFileFactoryGroup(TRefPointer<CFileFactory> primary) : factories_{std::move(primary)} {}

  // Never null.
  TRefPointer<CFileFactory> getPrimaryFactory() const { return factories_.front(); }
  // Appends a factory to the search order.
  void addFactory(TRefPointer<CFileFactory> factory) { factories_.push_back(std::move(factory)); }
  const std::vector<TRefPointer<CFileFactory>>& factories() const { return factories_; }

  // The first factory that holds the name; null when none does.
  TRefPointer<CFileFactory> findFactory(const std::string& name) const;

  TRefPointer<CStream> openRead(const std::string& name, int flags) override;
  TRefPointer<CStream> openWrite(const std::string& name, int flags) override;
  bool prepareWrite(const std::string& name, int flags) override;
  bool hasFile(const std::string& name) override { return bool(findFactory(name)); }

 private:
  std::vector<TRefPointer<CFileFactory>> factories_;
};

// The file system: a factory group whose primary factory is the folder a run
// writes, with further folders and their packs added by initPath.
class CFileSystem : public CFileFactoryGroup {
 public:
  explicit CFileSystem(const std::string& primaryFolder);

  // Adds the folder `dir` to the end of the search path (the primary folder
  // is there already), then its packs: the regular files directly in it
  // whose names end with `packExtension` (".zq", case-sensitive), in byte
  // order of name. A file that is not a ZIP archive is left out; one that
  // cannot be read throws std::runtime_error. A folder given again, in any
  // spelling, changes nothing.
  void initPath(const std::string& dir, const std::string& packExtension);

  // The primary factory as the folder it is.
  CPrimaryFolder& primaryFolder() const { return *primaryFolder_; }

 private:
  explicit CFileSystem(CPrimaryFolder* primary);

  CPrimaryFolder* primaryFolder_;      // owned by the group, as its first factory
  std::set<std::string> initialized_;  // identities of the folders initPath has seen
};

// The process-wide file system, reachable through
// TSingleton<CGlobalFileSystem>::_instance while it exists.
class CGlobalFileSystem : public CFileSystem, public TSingleton<CGlobalFileSystem> {
 public:
  // Creates the global file system with `primaryFolder` (".") as its primary
  // factory. `options` is reserved; the only defined value is the empty text.
  // The returned handle keeps it alive; it is destroyed with the last handle.
  static TRefPointer<CFileSystem> create(const std::string& primaryFolder,
                                         const std::string& options);
  ~CGlobalFileSystem() override;

 private:
  explicit CGlobalFileSystem(const std::string& primaryFolder);
};

}  // namespace rk
