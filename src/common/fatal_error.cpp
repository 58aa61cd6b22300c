#include "common/fatal_error.h"

#include <cstdarg>
#include <cstdio>
#include <string>

void fatalError(const char* format, ...) {
  // vsnprintf always terminates, so a longer message is simply cut to the
  // first kMaxMessageLength characters.
  char buffer[kMaxMessageLength + 1];
  va_list values;
  va_start(values, format);
  const int length = std::vsnprintf(buffer, sizeof buffer, format, values);
  va_end(values);
  if (length < 0) buffer[0] = '\0';
  throw std::string(buffer);
}
