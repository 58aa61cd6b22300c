#include "script/line_reader.h"

#include <algorithm>
#include <cstring>

namespace {

// Big enough that a read of the source is rare next to the lines it brings.
constexpr size_t kBlockSize = 1 << 20;

// White space as the scan's "%s" knows it.
bool isWhite(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool isGap(char c) { return c == ' ' || c == '\t'; }

// The same as assign(), which takes a general path through
// std::string::_M_replace that costs more than the rest of a line's split.
void setText(std::string& text, const char* from, size_t length) {
  text.clear();
  text.append(from, length);
}

}  // namespace

CLineReader::CLineReader(std::istream& source) : source_(source), buffer_(kBlockSize) {}

bool CLineReader::fill() {
  std::memmove(buffer_.data(), buffer_.data() + next_, end_ - next_);
  end_ -= next_;
  next_ = 0;
  if (!source_.rdbuf()) return false;
  source_.read(buffer_.data() + end_, static_cast<std::streamsize>(buffer_.size() - end_));
  const auto taken = static_cast<size_t>(source_.gcount());
  end_ += taken;
  return taken > 0;
}

int CLineReader::peek() {
  if (atEnd_ || (next_ == end_ && !fill())) return -1;
  return static_cast<unsigned char>(buffer_[next_]);
}

std::string_view CLineReader::readLine() {
  if (atEnd_) return {};
  // Where the line ends is known once its longest form and the character
  // after it are in the buffer, or the source has nothing more.
  if (end_ - next_ <= kMaxScriptLineLength) fill();
  const char* start = buffer_.data() + next_;
  const size_t available = end_ - next_;
  const auto* feed = static_cast<const char*>(
      std::memchr(start, '\n', std::min(available, kMaxScriptLineLength + 1)));
  if (!feed) {
    const size_t length = std::min(available, kMaxScriptLineLength);
    atEnd_ = length == available;
    next_ += length;
    return {start, length};
  }
  const auto length = static_cast<size_t>(feed - start);
  next_ += length + 1;
  // A CR that the line feed follows belongs to the line end.
  if (length > 0 && start[length - 1] == '\r') return {start, length - 1};
  // A full line: its line feed is read as the next line.
  if (length == kMaxScriptLineLength) --next_;
  return {start, length};
}

bool splitScriptLine(std::string_view line, std::string& token, std::string& value) {
  if (const void* zero = std::memchr(line.data(), '\0', line.size())) {
    line = line.substr(0, static_cast<const char*>(zero) - line.data());
  }
  const size_t end = line.size();
  size_t tokenStart = 0;
  while (tokenStart < end && isWhite(line[tokenStart])) ++tokenStart;
  size_t tokenEnd = tokenStart;
  while (tokenEnd < end && !isWhite(line[tokenEnd])) ++tokenEnd;
  setText(token, line.data() + tokenStart, tokenEnd - tokenStart);
  if (token.empty()) return false;

  value.clear();
  // The token ends at white space, so any colon found is preceded by at
  // least one separator character.
  const size_t colon = line.find(':', tokenEnd);
  if (colon == std::string_view::npos) return false;
  size_t valueStart = colon + 1;
  while (valueStart < end && isGap(line[valueStart])) ++valueStart;
  if (valueStart == colon + 1 || valueStart == end) return false;
  setText(value, line.data() + valueStart, end - valueStart);
  return true;
}
