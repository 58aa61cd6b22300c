#include "file_factory.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "private_copy.h"

namespace rk {

bool staysInside(const std::string& name) {
  const std::filesystem::path path(name);
  if (name.empty() || path.has_root_name() || path.has_root_directory()) return false;
  int depth = 0;
  for (const auto& part : path) {
    if (part == "..") {
      if (--depth < 0) return false;
    } else if (!part.empty() && part != ".") {
      ++depth;
    }
  }
  return true;
}

std::unique_ptr<CPageFile> CFileFactory::openPages(const std::string&) { return nullptr; }

std::string CFolderFactory::pathOf(const std::string& name) const {
  return (std::filesystem::path(folder_) / name).string();
}

std::string CFolderFactory::writePath(const std::string& name) const {
  if (!staysInside(name)) return {};
  const std::filesystem::path path = std::filesystem::path(folder_) / name;
  // A link the user placed is followed, but a ".." after one would climb out
  // of where it points: such a name must still end up inside the folder.
  if (name.find("..") != std::string::npos) {
    std::error_code error;
    const auto inside = std::filesystem::weakly_canonical(folder_, error);
    const auto real = std::filesystem::weakly_canonical(path.parent_path(), error);
    const auto [end, at] = std::mismatch(inside.begin(), inside.end(), real.begin(), real.end());
    if (error || end != inside.end()) return {};
  }
  return path.lexically_normal().string();
}

TRefPointer<CStream> CFolderFactory::openRead(const std::string& name, int) {
  return openFileForRead(pathOf(name));
}

TRefPointer<CStream> CFolderFactory::openWrite(const std::string& name, int) {
  const std::string path = writePath(name);
  return path.empty() ? nullptr : openPrivateCopy(folder_, path);
}

bool CFolderFactory::prepareWrite(const std::string& name, int) {
  const std::string path = writePath(name);
  if (path.empty()) return false;
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
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
