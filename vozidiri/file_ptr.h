#pragma once

#include <cstdio>
#include <memory>

namespace rk {

// Owns a C stream and closes it when it ends; whoever must know whether the
// close succeeded calls std::fclose(file.release()) itself.
struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace rk
