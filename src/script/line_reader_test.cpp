#include "script/line_reader.h"

#include <sstream>
#include <vector>

#include "gtest/gtest.h"

namespace {

TEST(LineReaderTest, SplitsTokenAndValue) {
  using namespace std::string_view_literals;
  struct Case {
    std::string_view line;
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
      {"key : a\0b"sv, "key", "a", true},
      {"key\0 : a"sv, "key", "", false},
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
  std::istringstream source(text);
  CLineReader script(source);
  std::vector<std::pair<std::string, bool>> lines;
  while (!script.eof()) {
    const std::string_view line = script.readLine();
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

TEST(LineReaderTest, LinesAcrossTheReadersBlocksComeWhole) {
  std::string text;
  for (int i = 0; i < 100000; ++i) text += "\tfileName : models/obj_" + std::to_string(i) + "\r\n";
  const auto lines = readAll(text);
  ASSERT_EQ(100001u, lines.size());
  for (int i = 0; i < 100000; ++i) {
    ASSERT_EQ("\tfileName : models/obj_" + std::to_string(i), lines[i].first);
  }
}

TEST(LineReaderTest, ALookNeverMarksTheEnd) {
  std::istringstream source("\tx");
  CLineReader script(source);
  EXPECT_EQ('\t', script.peek());
  EXPECT_EQ("\tx", script.readLine());
  EXPECT_TRUE(script.eof());
  EXPECT_EQ(-1, script.peek());
  std::istringstream empty("");
  CLineReader nothing(empty);
  EXPECT_EQ(-1, nothing.peek());
  EXPECT_FALSE(nothing.eof());
}

}  // namespace
