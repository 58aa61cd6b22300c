#include "app/error_report.h"

#include <cstdio>

#include "app/console.h"
#include "vozidiri/file_ptr.h"

void removeErrorReport() { std::remove(kErrorFileName); }

void reportFatalError(const std::string& message) {
  // Binary mode: the message is written exactly as formatted, on every platform.
  rk::FilePtr file(std::fopen(kErrorFileName, "wb"));
  if (file) {
    std::fwrite(message.data(), 1, message.size(), file.get());
    // The message is on disk while the box waits for the user.
    std::fflush(file.get());
  }
  showErrorBox(kErrorBoxTitle, message);
}
