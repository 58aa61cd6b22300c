#include "vozidiri/file_system.h"

#include <filesystem>

#include "gtest/gtest.h"
#include "testing/test_util.h"
#include "vozidiri/fault_injection.h"

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
  EXPECT_EQ(fs->findFactory("e")->diskPath("e"),
            (std::filesystem::path(data.path()) / "e").string());
  EXPECT_EQ(fs->findFactory("b")->diskPath("b"), "") << "a packed file lies on no path";
}

TEST(FileSystemTest, WritesOnlyNamesInsideThePrimaryFolderWhereTheSystemPutsThem) {
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
    EXPECT_TRUE(std::filesystem::is_directory(primary / "sub/dir"));
    EXPECT_FALSE(out->copyFrom(&broken, -1));
  }
  EXPECT_FALSE(testutil::fileExists(primary / "sub")) << "no folder made for a dropped copy";
  // A link is followed; a ".." after it climbs from where it points, as the
  // system has it, and only a name that ends up inside is written.
  std::error_code error;
  std::filesystem::create_directories(primary / "real/inner");
  std::filesystem::create_directory_symlink(primary / "real/inner", primary / "in", error);
  if (!error) std::filesystem::create_directory_symlink(data.path(), primary / "out", error);
  const std::string into = fs->primaryFolder().writePath("in/../x.db");
  EXPECT_TRUE(error || identityOf(into) == identityOf(primary / "real/x.db")) << into;
  for (const std::string& name : {data / "abs", std::string("../up"), std::string("a/../../up"),
                                  std::string(error ? "../up" : "out/../up")}) {
    EXPECT_FALSE(fs->prepareWrite(name, 0) || fs->openWrite(name, 32)) << name;
    EXPECT_FALSE(fs->primaryFolder().lockForWriting(name)) << name << ": nor locked";
  }
  // Reading any name is allowed: an absolute one is that file itself.
  writeFile(data / "abs", "absolute");
  EXPECT_EQ(testutil::contentOf(*fs, data / "abs"), "absolute");
  // A name given on the command line is written where it lies.
  fs->primaryFolder().allowWriting(data / "abs");
  EXPECT_EQ(fs->primaryFolder().writePath(data / "abs"), data / "abs");
}

#ifndef _WIN32
TEST(FileSystemTest, PacksHoldNoDescriptorOnceSearchedAndAnUnreadableOneIsAnError) {
  CTempDir primary, data;
  for (int i = 0; i < 40; ++i) makePack(data / (std::to_string(i) + ".zq"), {{"a", "a"}});
  makePack(data / "z.zq", {{"last", "found"}});
  auto descriptors = [] {
    const auto open = std::filesystem::directory_iterator("/proc/self/fd");
    return std::distance(begin(open), end(open));
  };
  const auto before = descriptors();
  TRefPointer<CFileSystem> fs = CGlobalFileSystem::create(primary.path(), "");
  fs->initPath(data.path(), ".zq");
  EXPECT_EQ(testutil::contentOf(*fs, "last"), "found");
  EXPECT_LE(descriptors(), before + 1);
  CFaultScope faults;
  faults.inject(eFault::kUnreadable);
  TRefPointer<CFileSystem> other = CGlobalFileSystem::create(primary.path(), "");
  EXPECT_THROW(other->initPath(data.path(), ".zq"), std::runtime_error);
}
#endif

}  // namespace
}  // namespace rk
