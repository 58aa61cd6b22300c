#include "script/line_reader.h"

#include <algorithm>

namespace {

// White space as the scan's "%s" knows it.
bool isWhite(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool isGap(char c) { return c == ' ' || c == '\t'; }

}  // namespace

void readScriptLine(std::istream& script, std::string& line) {
  line.clear();
  if (script.eof() || !script.rdbuf()) return;
  char buffer[kMaxScriptLineLength + 1];
  // getline scans the stream's buffer a block at a time. It stops after a
  // line feed (taken, not stored), at the end of the file, or when
  // kMaxScriptLineLength characters are stored and the next is no line feed
  // (failbit; the rest stays in the stream).
  script.getline(buffer, sizeof buffer, '\n');
  const auto taken = static_cast<size_t>(script.gcount());
  const bool lineFeed = !script.fail() && !script.eof();
  // Reaching the limit or the end is no failure of the script's.
  if (!script.bad()) script.clear(script.rdstate() & ~std::ios::failbit);
  line.assign(buffer, taken - (lineFeed ? 1 : 0));
  if (!lineFeed) return;
  if (!line.empty() && line.back() == '\r') {
    line.pop_back();  // a CR that the line feed follows belongs to the line end
  } else if (line.size() == kMaxScriptLineLength) {
    script.unget();  // a full line: its line feed is read as the next line
  }
}

bool splitScriptLine(const std::string& line, std::string& token, std::string& value) {
  const size_t end = std::min(line.find('\0'), line.size());
  size_t tokenStart = 0;
  while (tokenStart < end && isWhite(line[tokenStart])) ++tokenStart;
  size_t tokenEnd = tokenStart;
  while (tokenEnd < end && !isWhite(line[tokenEnd])) ++tokenEnd;
  token.assign(line, tokenStart, tokenEnd - tokenStart);
  if (token.empty()) return false;

  value.clear();
  // The token ends at white space, so any colon found is preceded by at
  // least one separator character.
  const size_t colon = line.find(':', tokenEnd);
  if (colon >= end) return false;
  size_t valueStart = colon + 1;
  while (valueStart < end && isGap(line[valueStart])) ++valueStart;
  if (valueStart == colon + 1 || valueStart == end) return false;
  value.assign(line, valueStart, end - valueStart);
  return true;
}
