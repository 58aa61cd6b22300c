#include "file_factory.h"

#include <filesystem>
#include <system_error>

namespace rk {

TRefPointer<CStream> CFileFactory::openWrite(const std::string&, int) { return nullptr; }

bool CFileFactory::prepareWrite(const std::string&, int) { return false; }

std::string CFileFactory::diskPath(const std::string&) { return {}; }

std::unique_ptr<CPageSource> CFileFactory::openPages(const std::string&) { return nullptr; }

std::string CFolderFactory::pathOf(const std::string& name) const {
  return (std::filesystem::path(folder_) / name).string();
}

TRefPointer<CStream> CFolderFactory::openRead(const std::string& name, int) {
  return openFileForRead(pathOf(name));
}

bool CFolderFactory::hasFile(const std::string& name) {
  std::error_code error;
  return !name.empty() && std::filesystem::is_regular_file(pathOf(name), error);
}

std::string CFolderFactory::diskPath(const std::string& name) {
  return hasFile(name) ? pathOf(name) : std::string();
}

}  // namespace rk
