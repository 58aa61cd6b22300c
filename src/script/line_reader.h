#pragma once

#include <cstddef>
#include <istream>
#include <string>

// Reading a patch script: cutting the stream into lines and splitting a line
// into its token and value.

// The most characters one read takes; the rest of a longer line is read as
// further lines.
inline constexpr size_t kMaxScriptLineLength = 4095;

// Reads the next line of `script` into `line`, without its line end, taking
// at most kMaxScriptLineLength characters; the rest of a longer line stays in
// the stream. A CR directly before an LF is part of the line end, so CR LF
// scripts read like LF scripts everywhere. The stream is at its end (eof())
// once a read has run into the end of the file; a read then gives an empty
// line. The stream should be opened in binary mode so that the count of
// characters is the same on every platform.
void readScriptLine(std::istream& script, std::string& line);

// Splits `line` as the scan format "%s%*[^:]:%*[ \t]%[^\n]" does: the token
// is the first run of non-white characters; the value is everything after
// the first colon that follows the token and after the spaces and tabs that
// follow that colon. The colon must be preceded by at least one character
// after the token and followed by at least one space or tab, and the value
// must not be empty. The line ends at a zero byte, if it has one.
//
// A line with no token sets `token` empty, leaves `value` as it was and
// answers false. A line with a token but no value sets `value` empty and
// answers false. True: both were found.
bool splitScriptLine(const std::string& line, std::string& token, std::string& value);
