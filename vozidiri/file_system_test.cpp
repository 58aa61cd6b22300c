#include "vozidiri/file_system.h"

#include "gtest/gtest.h"
#include "testing/test_util.h"

namespace rk {
namespace {

using testutil::CScopedCurrentDir;
using testutil::CTempDir;
using testutil::fileExists;
using testutil::readFile;
using testutil::writeFile;

std::string readAll(const TRefPointer<CStream>& stream) {
  std::string content(static_cast<size_t>(stream->getSize()), '\0');
  EXPECT_EQ(stream->read(content.data(), stream->getSize()), stream->getSize());
  return content;
}

TEST(FileSystemTest, LooksInThePrimaryFolderFirstThenInTheOrderAdded) {
  CScopedCurrentDir cwd;
  CTempDir first, second;
  writeFile("both", "primary");
  writeFile(first / "both", "first");
  writeFile(first / "shared", "first");
  writeFile(second / "shared", "second");
  writeFile(second / "only", "second");

  TRefPointer<CFileSystem> fs = CGlobalFileSystem::create(".", "");
  fs->initPath(".", ".zq");
  fs->initPath("./", ".zq");
  fs->initPath(first.path(), ".zq");
  fs->initPath(second.path(), ".zq");
  fs->initPath(first.path() + "/", ".zq");
  EXPECT_EQ(fs->factories().size(), 3u) << "no folder is searched twice";

  EXPECT_EQ(readAll(fs->openRead("both", 32)), "primary");
  EXPECT_EQ(readAll(fs->openRead("shared", 32)), "first");
  EXPECT_EQ(readAll(fs->openRead("only", 32)), "second");
  EXPECT_FALSE(fs->openRead("none", 32));
  EXPECT_EQ(fs->diskPath("shared"), first.path() + "/shared");

  EXPECT_TRUE(fs->hasFile("only"));
  EXPECT_FALSE(fs->getPrimaryFactory()->hasFile("only"));
  EXPECT_TRUE(fs->getPrimaryFactory()->hasFile("both"));
  EXPECT_EQ(fs->getPrimaryFactory()->diskPath("only"), "");
}

TEST(FileSystemTest, WritesGoToThePrimaryFolderAndCreateItsFolders) {
  CScopedCurrentDir cwd;
  CTempDir data;
  TRefPointer<CFileSystem> fs = CGlobalFileSystem::create(".", "");
  fs->initPath(data.path(), ".zq");
  EXPECT_EQ(TSingleton<CGlobalFileSystem>::_instance, fs.get());

  EXPECT_TRUE(fs->prepareWrite("sub/dir/file", 0));
  TRefPointer<CStream> out = fs->openWrite("sub/dir/file", 32);
  ASSERT_TRUE(out);
  EXPECT_TRUE(out->write("abc", 3));
  out = nullptr;
  EXPECT_EQ(readFile("sub/dir/file"), "abc");
  EXPECT_FALSE(fileExists(data / "sub"));

  // An absolute name is that file itself, whatever the factory.
  writeFile(data / "abs", "absolute");
  EXPECT_EQ(readAll(fs->getPrimaryFactory()->openRead(data / "abs", 32)), "absolute");

  fs = nullptr;
  EXPECT_EQ(TSingleton<CGlobalFileSystem>::_instance, nullptr);
}

}  // namespace
}  // namespace rk
