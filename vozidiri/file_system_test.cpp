#include "vozidiri/file_system.h"

#include <filesystem>

#include "gtest/gtest.h"
#include "testing/test_util.h"
#include "vozidiri/write_lock.h"

namespace rk {
namespace {

using testutil::CTempDir;
using testutil::makePack;
using testutil::readFile;
using testutil::writeFile;

TEST(FileSystemTest, LooksInEachFolderThenItsPacksInTheOrderAdded) {
  CTempDir primary, data, more;
  writeFile(primary / "a", "primary");
  makePack(primary / "p1.zq", {{"a", "p1"}, {"b", "p1"}});
  makePack(primary / "p2.zq", {{"b", "p2"}, {"c", "p2"}});
  makePack(primary / "P3.ZQ", {{"d", "P3"}});  // the extension is case-sensitive
  writeFile(primary / "broken.zq", "not a pack");
  makePack(data / "cut.zq", {{"c", std::string(5000, 'c')}});
  const std::string pack = readFile(data / "cut.zq");
  writeFile(data / "cut.zq", pack.substr(0, pack.size() - 30));  // its directory cut short
  writeFile(data / "c", "data");
  writeFile(data / "e", "data");
  makePack(data / "x.zq", {{"e", "x"}, {"f", "x"}});
  writeFile(more / "f", "more");
  writeFile(more / "g", "more");

  TRefPointer<CFileSystem> fs = CGlobalFileSystem::create(primary.path(), "");
  for (const std::string& folder :
       {primary.path(), primary / ".", data.path(), more.path(), data.path() + "/"}) {
    fs->initPath(folder, ".zq");
  }
  EXPECT_EQ(fs->factories().size(), 6u) << "each folder and pack is searched once";

  const std::pair<const char*, const char*> cases[] = {
      {"a", "primary"}, {"b", "p1"}, {"c", "p2"},   {"d", "<none>"},
      {"e", "data"},    {"f", "x"},  {"g", "more"}, {"none", "<none>"},
  };
  for (const auto& [name, content] : cases)
    EXPECT_EQ(testutil::contentOf(*fs, name), content) << name;
  EXPECT_EQ(fs->diskPath("e"), (std::filesystem::path(data.path()) / "e").string());
  EXPECT_EQ(fs->diskPath("b"), "") << "a packed file lies on no path";
}

TEST(FileSystemTest, WritesOnlyNamesInsideThePrimaryFolder) {
  CTempDir primary, data;
  TRefPointer<CFileSystem> fs = CGlobalFileSystem::create(primary.path(), "");
  ASSERT_TRUE(fs->prepareWrite("sub/dir/file", 0));
  {
    // A stream that cannot be read to its end is no whole copy.
    struct CBrokenStream : CStream {
      int getSize() override { return -1; }
      int read(void*, int) override { return -1; }
      bool write(const void*, int) override { return false; }
    } broken;
    const TRefPointer<CStream> out = fs->openWrite("sub/dir/file", 32);
    ASSERT_TRUE(out && out->write("abc", 3));
    EXPECT_FALSE(out->copyFrom(&broken, -1));
  }
  EXPECT_TRUE(std::filesystem::is_directory(primary / "sub/dir"));
  EXPECT_FALSE(testutil::fileExists(primary / "sub/dir/file")) << "it takes its name when written";
  // A link is followed, but not out of where it points.
  std::error_code error;
  std::filesystem::create_directory_symlink(data.path(), primary / "out", error);
  EXPECT_TRUE(error || fs->prepareWrite("out/x", 0));
  for (const std::string& name : {data / "abs", std::string("../up"), std::string("a/../../up"),
                                  std::string(error ? "../up" : "out/../up")}) {
    EXPECT_FALSE(fs->prepareWrite(name, 0) || fs->openWrite(name, 32)) << name;
    EXPECT_FALSE(CWriteLock(name).held()) << name << ": nor locked";
  }
  // Reading any name is allowed: an absolute one is that file itself.
  writeFile(data / "abs", "absolute");
  EXPECT_EQ(testutil::contentOf(*fs, data / "abs"), "absolute");
}

}  // namespace
}  // namespace rk
