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

TEST(StreamTest, ReadStreamKnowsItsSizeAndReadsEverything) {
  CTempDir dir;
  writeFile(dir / "in", std::string("ab\0cd", 5));
  TRefPointer<CStream> in = openFileForRead(dir / "in");
  ASSERT_TRUE(in);
  EXPECT_EQ(in->getSize(), 5);
  char buffer[8] = {};
  EXPECT_EQ(in->read(buffer, 8), 5);
  EXPECT_EQ(std::string(buffer, 5), std::string("ab\0cd", 5));
  EXPECT_FALSE(in->write("x", 1));

  EXPECT_FALSE(openFileForRead(dir / "missing"));
  EXPECT_FALSE(openFileForRead(dir.path()));  // a folder is not a file
}

TEST(StreamTest, WrittenFileAppearsOnlyWhenTheStreamIsReleased) {
  CTempDir dir;
  writeFile(dir / "in", std::string(200000, 'z'));
  TRefPointer<CStream> in = openFileForRead(dir / "in");
  TRefPointer<CStream> out = openFileForWrite(dir / "out");
  ASSERT_TRUE(out);
  EXPECT_EQ(out->copyFrom(in.get(), in->getSize()), 200000);
  EXPECT_FALSE(fileExists(dir / "out"));
  out = nullptr;
  EXPECT_EQ(readFile(dir / "out"), std::string(200000, 'z'));
  EXPECT_FALSE(fileExists(dir / "out.partial"));
}

TEST(StreamTest, ShortCopyLeavesNoFileAndKeepsTheOldOne) {
  CTempDir dir;
  writeFile(dir / "in", "short");
  writeFile(dir / "old", "old content");
  {
    TRefPointer<CStream> in = openFileForRead(dir / "in");
    TRefPointer<CStream> fresh = openFileForWrite(dir / "fresh");
    TRefPointer<CStream> old = openFileForWrite(dir / "old");
    EXPECT_EQ(fresh->copyFrom(in.get(), 100), 5);  // the source ends early
    EXPECT_EQ(old->copyFrom(in.get(), -1), 0);     // an unknown size copies nothing
  }
  EXPECT_FALSE(fileExists(dir / "fresh"));
  EXPECT_EQ(readFile(dir / "old"), "old content");
  EXPECT_FALSE(fileExists(dir / "fresh.partial"));
  EXPECT_FALSE(fileExists(dir / "old.partial"));

  EXPECT_FALSE(openFileForWrite(dir / "no/such/folder/file"));
}

}  // namespace
}  // namespace rk
