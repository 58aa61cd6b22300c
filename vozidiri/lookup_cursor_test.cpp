#include "vozidiri/lookup_cursor.h"

#include <random>

#include "gtest/gtest.h"
#include "testing/test_util.h"
#include "vozidiri/database.h"

namespace rk {
namespace {

TEST(LookupCursorTest, LookupsInAnyOrderAgreeWithAModel) {
  // Lookups step a cursor forward while they ascend; every other order, and
  // writes between them, must give the same answers as a plain map.
  testutil::CTempDir dir;
  testutil::Records model;
  for (int i = 0; i < 400; i += 2) model["k" + std::to_string(1000 + i)] = std::to_string(i);
  testutil::makeDatabase(dir / "a.db", model);
  CDatabase db;
  ASSERT_TRUE(db.open(dir / "a.db", CDatabase::eOpenWrite));
  auto fetched = [&](const char* key) {
    const void* data = nullptr;
    int length = 0;
    return db.fetch(key, data, length)
               ? std::string(static_cast<const char*>(data), static_cast<size_t>(length))
               : "<none>";
  };
  std::mt19937 random(11);
  const char* walked = nullptr;
  bool walking = db.firstKey(walked);
  int at = 990;
  for (int i = 0; i < 5000; ++i) {
    // Mostly small steps up, sometimes back or far ahead, past both ends.
    const int move = static_cast<int>(random() % 100);
    at += move < 70 ? move % 4 : move < 85 ? -static_cast<int>(random() % 50) : move - 40;
    if (at < 990 || at > 1410) at = 990 + static_cast<int>(random() % 420);
    const std::string key = "k" + std::to_string(at);
    if (move == 99) {  // a write between lookups
      model[key] = "stored";
      ASSERT_TRUE(db.store(key.c_str(), "stored", 6));
      walking = false;
    }
    const auto known = model.find(key);
    ASSERT_EQ(db.exists(key.c_str()), known != model.end()) << key;
    ASSERT_EQ(fetched(key.c_str()), known != model.end() ? known->second : "<none>") << key;
    if (walking && i % 3 == 0) {
      ASSERT_EQ(fetched(walked), model[walked]) << "the walk's own key";
      walking = db.nextKey(walked);
    }
  }
}

}  // namespace
}  // namespace rk
