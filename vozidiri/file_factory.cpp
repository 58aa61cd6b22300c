#include "file_factory.h"

#include <filesystem>
#include <system_error>

namespace rk {

std::string CFolderFactory::pathOf(const std::string& name) const {
  return (std::filesystem::path(folder_) / name).string();
}

bool CFolderFactory::hasFile(const std::string& name) {
  std::error_code error;
  return !name.empty() && std::filesystem::is_regular_file(pathOf(name), error);
}

std::string CFolderFactory::diskPath(const std::string& name) {
  return hasFile(name) ? pathOf(name) : std::string();
}

}  // namespace rk
