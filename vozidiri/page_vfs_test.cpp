#include "page_vfs.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <random>
#include <string>

#include "file_ptr.h"
#include "sqlite_connection.h"

namespace rk {
namespace {

// Reads ahead and gathered writes are the VFS's own: whatever order of
// walks, jumps back and writes, every read gives the bytes last written.
TEST(PageVfsTest, ReadsGiveTheLastBytesWrittenInAnyOrder) {
  FilePtr file(std::tmpfile());
  CStreamPages pages(file.get());
  std::string model(3 << 20, '\0'), page(4096, '\0');
  ASSERT_TRUE(pages.writeAt(model.data(), model.size(), 0));
  const ConnectionPtr db = openPageConnection(pages, true);
  sqlite3_file* handle = mainFile(db.get());
  std::mt19937 random(7);
  for (int64_t step = 0, at = 0; step < 20000; ++step) {
    const int kind = static_cast<int>(random() % 8);
    // Mostly forward by a page or a few, sometimes back or far away.
    at = kind == 0 ? random() % 768 : std::max<int64_t>(0, at + kind - 3) % 768;
    if (kind == 1) {
      page.assign(page.size(), static_cast<char>(step));
      ASSERT_EQ(SQLITE_OK, handle->pMethods->xWrite(handle, page.data(), 4096, at * 4096));
      model.replace(static_cast<size_t>(at) * 4096, 4096, page);
    } else {
      ASSERT_EQ(SQLITE_OK, handle->pMethods->xRead(handle, page.data(), 4096, at * 4096));
      ASSERT_EQ(model.substr(static_cast<size_t>(at) * 4096, 4096), page) << "step " << step;
    }
  }
  ASSERT_EQ(SQLITE_OK, handle->pMethods->xSync(handle, SQLITE_SYNC_NORMAL));
  std::string written(model.size(), '\0');  // with the gathered writes
  ASSERT_EQ(pages.readAt(written.data(), written.size(), 0), static_cast<int64_t>(model.size()));
  EXPECT_TRUE(written == model);
}

}  // namespace
}  // namespace rk
