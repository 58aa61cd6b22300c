#include "file_factory.h"

#include <filesystem>
#include <system_error>

namespace rk {

std::string CFolderFactory::pathOf(const std::string& name) const {
  return (std::filesystem::path(folder_) / name).string();
}

TRefPointer<CStream> CFolderFactory::openRead(const std::string& name, int) {
  return openFileForRead(pathOf(name));
}

TRefPointer<CStream> CFolderFactory::openWrite(const std::string& name, int) {
  return openFileForWrite(pathOf(name));
}

bool CFolderFactory::prepareWrite(const std::string& name, int) {
  const std::filesystem::path parent = std::filesystem::path(pathOf(name)).parent_path();
  if (parent.empty()) return true;
  std::error_code error;
  std::filesystem::create_directories(parent, error);
  return !error;
}

bool CFolderFactory::hasFile(const std::string& name) {
  std::error_code error;
  return !name.empty() && std::filesystem::is_regular_file(pathOf(name), error);
}

std::string CFolderFactory::diskPath(const std::string& name) {
  return hasFile(name) ? pathOf(name) : std::string();
}

}  // namespace rk
