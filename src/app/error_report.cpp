#include "app/error_report.h"

#include <cstdio>
#include <memory>

#include "app/error_box.h"

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

void removeErrorReport() { std::remove(kErrorFileName); }

void reportFatalError(const std::string& message) {
  // Binary mode: the message is written exactly as formatted, on every platform.
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(kErrorFileName, "wb"));
  if (file) {
    std::fwrite(message.data(), 1, message.size(), file.get());
    // The message is on disk while the box waits for the user.
    std::fflush(file.get());
  }
  showErrorBox(kErrorBoxTitle, message);
}
