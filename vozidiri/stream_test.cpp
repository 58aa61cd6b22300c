#include "vozidiri/stream.h"

#include <filesystem>

#include "gtest/gtest.h"
#include "testing/test_util.h"

namespace rk {
namespace {

using testutil::CTempDir;
using testutil::fileExists;
using testutil::readFile;
using testutil::writeFile;

size_t filesIn(const std::string& folder) {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) ++count;
  return count;
}

TEST(StreamTest, WrittenFileTakesItsNameOnlyWhenReleasedAndNeverReplacesOne) {
  CTempDir dir;
  TRefPointer<CStream> out = openFileForWrite(dir / "out");
  TRefPointer<CStream> late = openFileForWrite(dir / "out");
  ASSERT_TRUE(out && late);
  EXPECT_TRUE(out->write("first", 5));
  EXPECT_TRUE(late->write("second", 6));
  EXPECT_FALSE(fileExists(dir / "out"));
  EXPECT_EQ(filesIn(dir.path()), 2u) << "each stream has a temporary file of its own";
  out = nullptr;
  late = nullptr;
  EXPECT_EQ(readFile(dir / "out"), "first") << "the file that took the name first is kept";
  EXPECT_EQ(filesIn(dir.path()), 1u);
  EXPECT_FALSE(openFileForWrite(dir / "no/such/folder/file"));
}

TEST(StreamTest, CopyIsKeptOnlyWhenWholeAndARecordDatabase) {
  CTempDir dir;
  writeFile(dir / "text", "short, and no database");
  testutil::makeDatabase(dir / "db", {{"k", std::string(100000, 'v')}});
  writeFile(dir / "empty", "");
  struct Case {
    const char* source;
    int count;  // bytes asked for; -2: the source's getSize()
    bool kept;
  };
  const Case cases[] = {
      {"db", -2, true},    {"db", -1, true},
      {"empty", -2, true}, {"db", 100, false},  // stops short of the whole database
      {"text", -2, false}, {"text", 1000, false},
  };
  for (const Case& c : cases) {
    TRefPointer<CStream> in = openFileForRead(dir / c.source);
    TRefPointer<CStream> out = openFileForWrite(dir / "copy");
    const bool copied = out->copyFrom(in.get(), c.count == -2 ? in->getSize() : c.count);
    out = nullptr;
    EXPECT_EQ(fileExists(dir / "copy"), c.kept) << c.source << " " << c.count;
    if (c.kept) {
      EXPECT_TRUE(readFile(dir / "copy") == readFile(dir / c.source)) << c.source;
    }
    EXPECT_EQ(copied, c.count != 1000) << c.source << " " << c.count;
    std::filesystem::remove(dir / "copy");
    EXPECT_EQ(filesIn(dir.path()), 3u) << "no temporary file is left";
  }
}

}  // namespace
}  // namespace rk
