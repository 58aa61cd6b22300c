#include "handlers/handler.h"

#include <cstdio>

#include "gtest/gtest.h"
#include "testing/test_util.h"

namespace {

using testutil::fatalMessageOf;

// Records which parser saw which value, and hands out a fixed record.
class CRecordingHandler : public CHandler {
 public:
  CRecordingHandler() {
    addField("name", CFieldSetter::bind(this, &CRecordingHandler::parseFirst));
    addField("name", CFieldSetter::bind(this, &CRecordingHandler::parseSecond));
    addField("unbound", CFieldSetter{});
  }
  void getData(int& length, const void*& data) const override {
    length = 3;
    data = "abc";
  }

  std::string seen;

 private:
  void parseFirst(const std::string& value) { seen += "first:" + value + ";"; }
  void parseSecond(const std::string& value) { seen += "second:" + value + ";"; }
};

TEST(HandlerTest, FieldsAndStoreRecordFailures) {
  CRecordingHandler handler;
  handler.processToken("name", "a b");
  handler.processToken("unbound", "ignored");
  EXPECT_EQ("second:a b;", handler.seen) << "the setter entered last, for the exact token";
  EXPECT_EQ("Handler 'CHandler' does not know how to process token 'name '",
            fatalMessageOf([&] { handler.processToken("name ", "x"); }));

  rk::CDatabase closed;  // refuses every store
  EXPECT_EQ("Handler 'CHandler' could not store the key 'k2'",
            fatalMessageOf([&] { handler.storeRecord(closed, "k2"); }));
  CHandler empty;
  char expected[200];
  std::snprintf(expected, sizeof expected,
                "Handler 'CHandler' data function returned invalid info: key k1, datLen 0, "
                "pData %p",
                static_cast<const void*>(nullptr));
  EXPECT_EQ(expected, fatalMessageOf([&] { empty.storeRecord(closed, "k1"); }));
}

}  // namespace
