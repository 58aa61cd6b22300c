#include "script/line_reader.h"

#include <algorithm>

namespace {

// White space as the scan's "%s" knows it.
bool isWhite(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool isGap(char c) { return c == ' ' || c == '\t'; }

}  // namespace

void readScriptLine(std::istream& script, std::string& line) {
  using Traits = std::istream::traits_type;
  line.clear();
  std::streambuf* buffer = script.rdbuf();
  if (script.eof() || !buffer) return;
  while (line.size() < kMaxScriptLineLength) {
    Traits::int_type c = buffer->sbumpc();
    if (Traits::eq_int_type(c, Traits::eof())) {
      script.setstate(std::ios::eofbit);
      return;
    }
    // Joining CR LF before counting makes a CR LF line cut exactly where the
    // same LF line is cut.
    if (c == '\r' && buffer->sgetc() == '\n') c = buffer->sbumpc();
    if (c == '\n') return;
    line.push_back(Traits::to_char_type(c));
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
