#include "handlers/handler.h"

#include <cstdio>

#include "gtest/gtest.h"
#include "testing/test_util.h"

namespace {

using testutil::fatalMessageOf;

// Records which parser saw which value.
class CRecordingHandler : public CHandler {
 public:
  CRecordingHandler() {
    addField("name", CFieldSetter::bind(this, &CRecordingHandler::parseFirst));
    addField("name", CFieldSetter::bind(this, &CRecordingHandler::parseSecond));
    addField("unbound", CFieldSetter{});
  }
  const char* getName() const override { return "CRecordingHandler"; }

  std::string seen;

 private:
  void parseFirst(const std::string& value) { seen += "first:" + value + ";"; }
  void parseSecond(const std::string& value) { seen += "second:" + value + ";"; }
};

TEST(HandlerTest, ProcessTokenCallsTheLastSetterEnteredForTheExactToken) {
  CRecordingHandler handler;
  handler.processToken("name", "a b");
  handler.processToken("unbound", "ignored");
  EXPECT_EQ("second:a b;", handler.seen);

  EXPECT_EQ("Handler 'CRecordingHandler' does not know how to process token 'Name'",
            fatalMessageOf([&] { handler.processToken("Name", "x"); }));
  EXPECT_EQ("Handler 'CRecordingHandler' does not know how to process token 'name '",
            fatalMessageOf([&] { handler.processToken("name ", "x"); }));
  EXPECT_EQ("second:a b;", handler.seen);
}

TEST(HandlerTest, StoreRecordRefusesAnEmptyRecordAndAFailedStore) {
  rk::CDatabase closed;
  CHandler base;
  char expected[200];
  std::snprintf(expected, sizeof expected,
                "Handler 'CHandler' data function returned invalid info: key k1, datLen 0, "
                "pData %p",
                static_cast<const void*>(nullptr));
  EXPECT_EQ(expected, fatalMessageOf([&] { base.storeRecord(closed, "k1"); }));

  // A database that is not open for writing refuses every store.
  class CFixedHandler : public CHandler {
    void getData(int& length, const void*& data) const override {
      length = 3;
      data = "abc";
    }
  } fixed;
  EXPECT_EQ("Handler 'CHandler' could not store the key 'k2'",
            fatalMessageOf([&] { fixed.storeRecord(closed, "k2"); }));
}

}  // namespace
