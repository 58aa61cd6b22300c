#include "vozidiri/platform.h"

#include <cstdlib>
#include <filesystem>

#include "gtest/gtest.h"
#include "testing/test_util.h"

namespace rk::platform {
namespace {

using testutil::CTempDir;
using testutil::readFile;

TEST(PlatformTest, AnUnpublishedFileTakesOnlyAFreeName) {
  CTempDir dir;
  testutil::writeFile(dir / "taken", "kept");
  for (const char* name : {"free", "taken"}) {
    std::unique_ptr<CUnpublishedFile> file =
        CUnpublishedFile::create(dir / name, dir / (std::string(name) + ".partial"));
    ASSERT_TRUE(file);
    ASSERT_TRUE(writeAt(file->file(), "new", 3, 0));
    EXPECT_EQ(file->publish(), std::string(name) == "free") << name;
  }
  EXPECT_EQ(readFile(dir / "free"), "new");
  EXPECT_EQ(readFile(dir / "taken"), "kept");
  const auto files = std::filesystem::directory_iterator(dir.path());
  EXPECT_EQ(std::distance(begin(files), end(files)), 2) << "nothing else is left";
}

#ifndef _WIN32
TEST(PlatformTest, ATemporaryFileIsMadeWhereverTmpdirPoints) {
  const char* chosen = std::getenv("TMPDIR");
  const std::string previous = chosen ? chosen : "";
  setenv("TMPDIR", "/nonexistent", 1);
  const FilePtr file = createTemporaryFile();  // in the system's folder instead
  previous.empty() ? unsetenv("TMPDIR") : setenv("TMPDIR", previous.c_str(), 1);
  ASSERT_TRUE(file);
  EXPECT_TRUE(writeAt(file.get(), "x", 1, 0));
}
#endif

}  // namespace
}  // namespace rk::platform
