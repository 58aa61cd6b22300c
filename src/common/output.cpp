#include "common/output.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/fatal_error.h"

namespace {

bool gFailed = false;  // a write failed since the last check
int gReason = 0;       // errno of the first failure; 0 when it left none

void noteFailure() {
  if (gFailed) return;
  gFailed = true;
  gReason = errno;
}

}  // namespace

void printOutput(const char* format, ...) {
  va_list values;
  va_start(values, format);
  errno = 0;  // so that a failure that sets none is not blamed on an old one
  const int written = std::vprintf(format, values);
  va_end(values);
  if (written < 0) noteFailure();
}

void checkOutput() {
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) noteFailure();
  const bool failed = gFailed;
  const int reason = gReason;
  gFailed = false;
  gReason = 0;
  std::clearerr(stdout);
  if (!failed) return;
  if (reason == 0) fatalError("Could not write to standard output");
  fatalError("Could not write to standard output: %s", std::strerror(reason));
}
