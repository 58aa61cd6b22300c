#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "file_ptr.h"

// The few operating system services the library needs beyond the C and C++
// libraries. Each platform has its own file (platform_posix.cpp,
// platform_win32.cpp), chosen by the build.
namespace rk::platform {

// Creates the file `path` and opens it for binary writing, exclusively: an
// existing file or link of that name is never opened, so a planted link
// cannot redirect the write. Null: not created; `nameTaken` then tells
// whether something had the name already.
FilePtr createNewFile(const std::string& path, bool& nameTaken);

// Flushes the C library's buffer and then the operating system's, so that a
// rename after it cannot expose a file whose bytes are not on disk yet.
[[nodiscard]] bool flushToDisk(std::FILE* file);

enum class RenameResult { kDone, kTaken, kFailed };
// Gives the file `from` the name `to` only if no file has that name:
// kTaken when one has (and `from` is left as it was).
[[nodiscard]] RenameResult renameNoReplace(const std::string& from, const std::string& to);

// Copies everything from the start of `from` to the end of `to`, with the
// kernel's help where it offers it; holes stay holes where it can keep them.
// Sizes are not limited to 2 GiB. False: a read or write failed.
[[nodiscard]] bool copyWholeFile(std::FILE* from, std::FILE* to);

// The size in bytes of the open file, or -1.
int64_t fileSize(std::FILE* file);

}  // namespace rk::platform
