#pragma once

#include <cstddef>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

// Reading a patch script: cutting the stream into lines and splitting a line
// into its token and value.

// The most characters one read takes; the rest of a longer line is read as
// further lines.
inline constexpr size_t kMaxScriptLineLength = 4095;

// Cuts a script into lines. It reads the source in blocks of its own and
// hands out each line as a view into them, so that a line costs one search
// for its line feed and no copy: scripts run to hundreds of megabytes.
//
// A line is taken up to its line feed (taken, not part of the line), the
// end of the source, or kMaxScriptLineLength characters; the rest of a
// longer line is read as the next line. A CR directly before the line feed
// belongs to the line end, so CR LF scripts read like LF scripts
// everywhere. A line of exactly kMaxScriptLineLength characters leaves its
// line feed to be read as an empty line.
//
// A read error of the source passes on as the source raises it; a stream
// with badbit in its exceptions() throws.
class CLineReader {
 public:
  // `source` is not owned and must outlive the reader; open it in binary
  // mode so that lines are counted in the same characters on every platform.
  explicit CLineReader(std::istream& source);
  CLineReader(const CLineReader&) = delete;
  CLineReader& operator=(const CLineReader&) = delete;

  // True once a read has run into the end of the source: one that took the
  // last line when it has no line end, or one that took nothing.
  bool eof() const { return atEnd_; }
  // The next character without taking it, or -1 at the end of the source.
  // A look never marks the end: only a read does.
  int peek();
  // The next line; after the end, an empty one. The view stays valid until
  // the next call on the reader.
  std::string_view readLine();

 private:
  // Moves what is unread to the front and reads more behind it; false when
  // the source gave nothing more.
  bool fill();

  std::istream& source_;
  std::vector<char> buffer_;
  size_t next_ = 0;  // the first unread character in buffer_
  size_t end_ = 0;   // the end of what buffer_ holds
  bool atEnd_ = false;
};

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
bool splitScriptLine(std::string_view line, std::string& token, std::string& value);
