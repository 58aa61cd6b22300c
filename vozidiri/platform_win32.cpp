// clang-format off
#include <windows.h>  // first: the headers after it rely on its definitions
// clang-format on
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <vector>

#include "platform.h"

namespace rk::platform {

FilePtr createNewFile(const std::string& path, bool& nameTaken) {
  // CREATE_NEW fails on an existing name, a link included. Others may open
  // it meanwhile: SQLite writes a database copy into it by name.
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE | GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  nameTaken = handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS;
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    DeleteFileA(path.c_str());
    return nullptr;
  }
  FilePtr file(_fdopen(fd, "wb"));
  if (!file) {
    _close(fd);
    DeleteFileA(path.c_str());
  }
  return file;
}

bool flushToDisk(std::FILE* file) {
  if (std::fflush(file) != 0) return false;
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  return handle != INVALID_HANDLE_VALUE && FlushFileBuffers(handle) != 0;
}

RenameResult renameNoReplace(const std::string& from, const std::string& to) {
  // Without MOVEFILE_REPLACE_EXISTING the move fails when the name is taken.
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH)) return RenameResult::kDone;
  const DWORD error = GetLastError();
  return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? RenameResult::kTaken
                                                                     : RenameResult::kFailed;
}

bool copyWholeFile(std::FILE* from, std::FILE* to) {
  if (std::fflush(to) != 0 || _fseeki64(from, 0, SEEK_SET) != 0) return false;
  std::vector<char> buffer(1 << 20);
  for (;;) {
    const size_t got = std::fread(buffer.data(), 1, buffer.size(), from);
    if (got > 0 && std::fwrite(buffer.data(), 1, got, to) != got) return false;
    if (got < buffer.size()) return !std::ferror(from);
  }
}

int64_t fileSize(std::FILE* file) { return _filelengthi64(_fileno(file)); }

}  // namespace rk::platform
