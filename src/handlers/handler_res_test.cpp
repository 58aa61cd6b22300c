#include "handlers/handler_res.h"

#include <cstdio>
#include <sstream>

#include "gtest/gtest.h"
#include "testing/test_util.h"

namespace {

using testutil::fatalMessageOf;

std::string recordOf(const CHandlerRes& handler) {
  int length = 0;
  const void* data = nullptr;
  handler.getData(length, data);
  return std::string(static_cast<const char*>(data), static_cast<size_t>(length));
}

TEST(HandlerResTest, TextFieldsAreCutOrZeroPaddedAndResetEmptiesThem) {
  CHandlerRes handler;
  handler.processToken("templateName", std::string(31, 't'));
  handler.processToken("fileName", std::string(255, 'f'));
  EXPECT_EQ(std::string(30, 't') + std::string(255, 'f') + std::string(11, '\0'),
            recordOf(handler));

  // A shorter second value leaves nothing of the first.
  handler.processToken("templateName", "ab");
  handler.processToken("fileName", std::string(256, 'g'));
  handler.processToken("fileName", "c");
  EXPECT_EQ("ab" + std::string(28, '\0') + "c" + std::string(265, '\0'), recordOf(handler));

  // Neither text may stay empty.
  handler.reset();
  handler.processToken("fileName", "f");
  EXPECT_EQ("Handler 'CHandlerRes': the templateName field has not been filled in",
            fatalMessageOf([&] { recordOf(handler); }));
  handler.reset();
  handler.processToken("templateName", "t");
  EXPECT_EQ("Handler 'CHandlerRes': the fileName field has not been filled in",
            fatalMessageOf([&] { recordOf(handler); }));
}

TEST(HandlerResTest, FloatsAreReadLikeScanfAndStoredLittleEndian) {
  CHandlerRes handler;
  handler.processToken("templateName", "t");
  handler.processToken("fileName", "f");
  // Texts between '|'; strtof would keep the payload of "nan(123)" and read
  // numbers in "-INFIN" and "-0x", where the scan finds none.
  std::istringstream texts(
      "3|word 2|-0x1|0x10|+2.5|1e40|-1e-50|.5|-.5|1e| -1.5e2 word|inf|-nan|00012.50|1.17549435e-38|"
      "\t7|-||nan(123)|NAN(abc)|-nan(1)| +infinity|-INFIN|-0x|0X1P-2x");
  for (std::string text; std::getline(texts, text, '|');) {
    float expected = 0;  // the hosts we build on are little-endian
    std::sscanf(text.c_str(), "%f", &expected);
    handler.processToken("fArg1", text);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&expected), 4), recordOf(handler).substr(288, 4))
        << text;
  }
}

}  // namespace
