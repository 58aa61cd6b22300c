#include "handlers/handler_res.h"

#include <cstring>

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

// Decodes the little-endian float at `offset` of a stored record.
float floatAt(const std::string& record, size_t offset) {
  uint32_t bits = 0;
  for (int i = 3; i >= 0; --i) bits = bits << 8 | static_cast<unsigned char>(record[offset + i]);
  float number = 0;
  std::memcpy(&number, &bits, sizeof number);
  return number;
}

TEST(HandlerResTest, TextFieldsAreCutOrZeroPaddedToTheirWidth) {
  CHandlerRes handler;
  handler.reset();
  handler.processToken("templateName", std::string(31, 't'));
  handler.processToken("fileName", std::string(256, 'f'));
  std::string record = recordOf(handler);
  ASSERT_EQ(296u, record.size());
  EXPECT_EQ(std::string(30, 't') + std::string(255, 'f') + std::string(11, '\0'), record);

  handler.processToken("templateName", std::string(30, 'u'));
  handler.processToken("fileName", std::string(255, 'g'));
  EXPECT_EQ(std::string(30, 'u') + std::string(255, 'g'), recordOf(handler).substr(0, 285));

  // A shorter second value leaves nothing of the first.
  handler.processToken("templateName", "ab");
  handler.processToken("fileName", "c");
  record = recordOf(handler);
  EXPECT_EQ("ab" + std::string(28, '\0') + "c" + std::string(265, '\0'), record);
}

TEST(HandlerResTest, FloatsAreParsedLikeScanfAndStoredLittleEndian) {
  CHandlerRes handler;
  handler.processToken("templateName", "t");
  handler.processToken("fileName", "f");
  handler.processToken("fArg1", "1.5");
  handler.processToken("fArg2", "  -1.5e2 word");
  std::string record = recordOf(handler);
  EXPECT_EQ(std::string("\x00\x00\xC0\x3F", 4), record.substr(288, 4));
  EXPECT_EQ(-150.0f, floatAt(record, 292));

  handler.processToken("fArg1", "3");
  handler.processToken("fArg2", "word 2");
  record = recordOf(handler);
  EXPECT_EQ(3.0f, floatAt(record, 288));
  EXPECT_EQ(std::string(4, '\0'), record.substr(292, 4));
}

TEST(HandlerResTest, BothTextFieldsMustBeFilledInAndResetEmptiesTheRecord) {
  CHandlerRes handler;
  handler.processToken("templateName", "t");
  handler.processToken("fileName", "f");
  handler.processToken("fArg1", "2");
  handler.reset();
  EXPECT_EQ("Handler 'CHandlerRes': the templateName field has not been filled in",
            fatalMessageOf([&] { recordOf(handler); }));
  handler.processToken("fileName", "f");
  EXPECT_EQ("Handler 'CHandlerRes': the templateName field has not been filled in",
            fatalMessageOf([&] { recordOf(handler); }));
  handler.reset();
  handler.processToken("templateName", "t");
  EXPECT_EQ("Handler 'CHandlerRes': the fileName field has not been filled in",
            fatalMessageOf([&] { recordOf(handler); }));
  handler.processToken("fileName", "f");
  EXPECT_EQ("t" + std::string(29, '\0') + "f" + std::string(265, '\0'), recordOf(handler));

  EXPECT_EQ("Handler 'CHandlerRes' does not know how to process token 'filename'",
            fatalMessageOf([&] { handler.processToken("filename", "f"); }));
}

}  // namespace
