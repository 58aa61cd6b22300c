#include "file_system.h"

#include <filesystem>
#include <system_error>

namespace rk {
namespace {

// Two spellings of one folder ("." and "./", or a path through a link) must
// compare equal, whether or not the folder exists yet.
std::string canonicalFolder(const std::string& folder) {
  std::error_code error;
  std::filesystem::path path = std::filesystem::weakly_canonical(folder, error);
  if (error) path = std::filesystem::absolute(folder, error).lexically_normal();
  std::string text = path.string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

}  // namespace

CFileFactoryGroup::CFileFactoryGroup(TRefPointer<CFileFactory> primary) {
  factories_.push_back(std::move(primary));
}

void CFileFactoryGroup::addFactory(TRefPointer<CFileFactory> factory) {
  factories_.push_back(std::move(factory));
}

TRefPointer<CStream> CFileFactoryGroup::openRead(const std::string& name, int flags) {
  for (const auto& factory : factories_) {
    if (TRefPointer<CStream> stream = factory->openRead(name, flags)) return stream;
  }
  return nullptr;
}

TRefPointer<CStream> CFileFactoryGroup::openWrite(const std::string& name, int flags) {
  return getPrimaryFactory()->openWrite(name, flags);
}

bool CFileFactoryGroup::prepareWrite(const std::string& name, int flags) {
  return getPrimaryFactory()->prepareWrite(name, flags);
}

bool CFileFactoryGroup::hasFile(const std::string& name) {
  for (const auto& factory : factories_) {
    if (factory->hasFile(name)) return true;
  }
  return false;
}

std::string CFileFactoryGroup::diskPath(const std::string& name) {
  for (const auto& factory : factories_) {
    std::string path = factory->diskPath(name);
    if (!path.empty()) return path;
  }
  return {};
}

CFileSystem::CFileSystem(const std::string& primaryFolder)
    : CFileFactoryGroup(new CFolderFactory(primaryFolder)) {}

void CFileSystem::initPath(const std::string& dir, const std::string& /*packExtension*/) {
  const std::string wanted = canonicalFolder(dir);
  for (const auto& factory : factories()) {
    const auto* folder = dynamic_cast<const CFolderFactory*>(factory.get());
    if (folder && canonicalFolder(folder->folder()) == wanted) return;
  }
  addFactory(new CFolderFactory(dir));
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
