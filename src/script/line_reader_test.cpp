#include "script/line_reader.h"

#include <sstream>
#include <vector>

#include "gtest/gtest.h"

namespace {

TEST(LineReaderTest, SplitsTokenAndValue) {
  struct Case {
    const char* line;
    const char* token;
    const char* value;
    bool result;
  };
  const Case cases[] = {
      {"db : a b.db", "db", "a b.db", true},
      {"\ttemplateName : name", "templateName", "name", true},
      {"key two words :  a:b  ", "key", "a:b  ", true},
      {"  #x : y", "#x", "y", true},
      {"data", "data", "", false},
      {"key: v", "key:", "", false},
      {"key :v", "key", "", false},
      {"key :   ", "key", "", false},
      {" \t\v", "", "before", false},
      {"", "", "before", false},
  };
  for (const Case& c : cases) {
    std::string token = "before";
    std::string value = "before";
    EXPECT_EQ(c.result, splitScriptLine(c.line, token, value)) << c.line;
    EXPECT_EQ(c.token, token) << c.line;
    EXPECT_EQ(c.value, value) << c.line;
  }
}

// Every line that reads give, and whether the stream was at its end after it.
std::vector<std::pair<std::string, bool>> readAll(const std::string& text) {
  std::istringstream script(text);
  std::vector<std::pair<std::string, bool>> lines;
  std::string line;
  while (!script.eof()) {
    readScriptLine(script, line);
    lines.emplace_back(line, script.eof());
  }
  return lines;
}

TEST(LineReaderTest, CutsLinesAndFindsTheEnd) {
  using Lines = std::vector<std::pair<std::string, bool>>;
  EXPECT_EQ((Lines{{"", true}}), readAll(""));
  EXPECT_EQ((Lines{{"a", false}, {"b", true}}), readAll("a\nb"));
  EXPECT_EQ((Lines{{"a", false}, {"", true}}), readAll("a\n"));
  EXPECT_EQ((Lines{{"a", false}, {"", false}, {"b\rc\r", false}, {"", true}}),
            readAll("a\r\n\r\nb\rc\r\r\n"));

  const std::string full(kMaxScriptLineLength, 'x');
  const Lines fullLine{{full, false}, {"", false}, {"n", true}};
  EXPECT_EQ(fullLine, readAll(full + "\nn"));
  EXPECT_EQ(fullLine, readAll(full + "\r\nn"));
  EXPECT_EQ((Lines{{full, false}, {"yz", false}, {"", true}}), readAll(full + "yz\n"));
  const std::string almost(kMaxScriptLineLength - 1, 'x');
  EXPECT_EQ((Lines{{almost, false}, {"n", true}}), readAll(almost + "\r\nn"));
}

}  // namespace
