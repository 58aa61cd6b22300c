#include "file_system.h"

#include <filesystem>
#include <system_error>

#include "pack_factory.h"

namespace rk {

TRefPointer<CFileFactory> CFileFactoryGroup::findFactory(const std::string& name) const {
  for (const auto& factory : factories_) {
    if (factory->hasFile(name)) return factory;
  }
  return nullptr;
}

TRefPointer<CStream> CFileFactoryGroup::openRead(const std::string& name, int flags) {
  const TRefPointer<CFileFactory> factory = findFactory(name);
  return factory ? factory->openRead(name, flags) : nullptr;
}

TRefPointer<CStream> CFileFactoryGroup::openWrite(const std::string& name, int flags) {
  return getPrimaryFactory()->openWrite(name, flags);
}

bool CFileFactoryGroup::prepareWrite(const std::string& name, int flags) {
  return getPrimaryFactory()->prepareWrite(name, flags);
}

CFileSystem::CFileSystem(const std::string& primaryFolder)
    : CFileSystem(new CPrimaryFolder(primaryFolder)) {}

CFileSystem::CFileSystem(CPrimaryFolder* primary)
    : CFileFactoryGroup(primary), primaryFolder_(primary) {}

void CFileSystem::initPath(const std::string& dir, const std::string& packExtension) {
  const std::string wanted = identityOf(dir);
  if (!initialized_.insert(wanted).second) return;
  if (wanted != identityOf(primaryFolder_->folder())) addFactory(new CFolderFactory(dir));
  if (packExtension.empty()) return;

  std::set<std::string> packs;  // in ascending byte order
  std::error_code error;
  for (std::filesystem::directory_iterator entry(dir, error), end; !error && entry != end;
       entry.increment(error)) {
    const std::string name = entry->path().filename().string();
    const size_t length = packExtension.size();
    std::error_code typeError;
    if (name.size() >= length && name.compare(name.size() - length, length, packExtension) == 0 &&
        entry->is_regular_file(typeError)) {
      packs.insert(name);
    }
  }
  for (const std::string& name : packs) {
    if (TRefPointer<CPackFactory> pack =
            CPackFactory::open((std::filesystem::path(dir) / name).string())) {
      addFactory(pack);
    }
  }
}

CGlobalFileSystem::CGlobalFileSystem(const std::string& primaryFolder)
    : CFileSystem(primaryFolder) {
  _instance = this;
}

CGlobalFileSystem::~CGlobalFileSystem() {
  if (_instance == this) _instance = nullptr;
}

TRefPointer<CFileSystem> CGlobalFileSystem::create(const std::string& primaryFolder,
                                                   const std::string& /*options*/) {
  return new CGlobalFileSystem(primaryFolder);
}

}  // namespace rk
