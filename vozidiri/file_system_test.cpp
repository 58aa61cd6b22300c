#include "vozidiri/file_system.h"

#include <filesystem>

#include "gtest/gtest.h"
#include "testing/test_util.h"

namespace rk {
namespace {

using testutil::CScopedCurrentDir;
using testutil::CTempDir;
using testutil::makePack;
using testutil::readFile;
using testutil::writeFile;

std::string readAll(const TRefPointer<CStream>& stream) {
  if (!stream) return "<none>";
  std::string content(static_cast<size_t>(stream->getSize()), '\0');
  EXPECT_EQ(stream->read(content.data(), stream->getSize()), stream->getSize());
  return content;
}

TEST(FileSystemTest, LooksInEachFolderThenItsPacksInTheOrderAdded) {
  CScopedCurrentDir cwd;
  CTempDir data, more;
  writeFile("a", "primary");
  makePack("p1.zq", {{"a", "p1"}, {"b", "p1"}});
  makePack("p2.zq", {{"b", "p2"}, {"c", "p2"}});
  makePack("P3.ZQ", {{"d", "P3"}});  // the extension is case-sensitive
  writeFile("broken.zq", "not a pack");
  writeFile(data / "c", "data");
  writeFile(data / "e", "data");
  makePack(data / "x.zq", {{"e", "x"}, {"f", "x"}});
  writeFile(more / "f", "more");
  writeFile(more / "g", "more");

  TRefPointer<CFileSystem> fs = CGlobalFileSystem::create(".", "");
  fs->initPath(".", ".zq");
  fs->initPath("./", ".zq");
  fs->initPath(data.path(), ".zq");
  fs->initPath(more.path(), ".zq");
  fs->initPath(data.path() + "/", ".zq");
  EXPECT_EQ(fs->factories().size(), 6u) << "each folder and pack is searched once";

  const std::pair<const char*, const char*> cases[] = {
      {"a", "primary"}, {"b", "p1"}, {"c", "p2"},   {"d", "<none>"},
      {"e", "data"},    {"f", "x"},  {"g", "more"}, {"none", "<none>"},
  };
  for (const auto& [name, content] : cases) {
    EXPECT_EQ(readAll(fs->openRead(name, 32)), content) << name;
    EXPECT_EQ(fs->hasFile(name), std::string(content) != "<none>") << name;
  }
  EXPECT_EQ(fs->diskPath("e"), (std::filesystem::path(data.path()) / "e").string());
  EXPECT_EQ(fs->diskPath("b"), "") << "a packed file lies on no path";
  EXPECT_FALSE(fs->getPrimaryFactory()->hasFile("b"));
  EXPECT_TRUE(fs->getPrimaryFactory()->hasFile("a"));
}

TEST(FileSystemTest, WritesOnlyNamesInsideThePrimaryFolder) {
  CScopedCurrentDir cwd;
  CTempDir data;
  TRefPointer<CFileSystem> fs = CGlobalFileSystem::create(".", "");
  fs->initPath(data.path(), ".zq");
  ASSERT_TRUE(fs->prepareWrite("sub/dir/file", 0));
  ASSERT_TRUE(fs->openWrite("sub/dir/file", 32)->write("abc", 3));
  EXPECT_EQ(readFile("sub/dir/file"), "abc");
  for (const std::string& name : {data / "abs", std::string("../up"), std::string("a/../../up")}) {
    EXPECT_FALSE(fs->prepareWrite(name, 0) || fs->openWrite(name, 32)) << name;
  }
  EXPECT_TRUE(staysInside("a/../b"));
  // Reading any name is allowed: an absolute one is that file itself.
  writeFile(data / "abs", "absolute");
  EXPECT_EQ(readAll(fs->getPrimaryFactory()->openRead(data / "abs", 32)), "absolute");
}

}  // namespace
}  // namespace rk
