#pragma once

#include <cstddef>

// The longest message a fatal error carries, in characters.
inline constexpr size_t kMaxMessageLength = 1023;

// The program's one error mechanism: formats the message printf-style, cut to
// at most 1023 characters, and throws it as a std::string. Only main catches
// it (and the script interpreter, to add its line prefix and raise it again).
[[noreturn]] void fatalError(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
