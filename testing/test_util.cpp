#include "testing/test_util.h"

#include <sqlite3.h>
#include <zip.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "gtest/gtest.h"

namespace testutil {
namespace fs = std::filesystem;

CTempDir::~CTempDir() {
  std::error_code error;
  fs::remove_all(path_, error);
}

namespace {

void createParentOf(const std::string& path) {
  if (fs::path(path).has_parent_path()) fs::create_directories(fs::path(path).parent_path());
  fs::remove(path);
}

}  // namespace

void makeDatabase(const std::string& path, const Records& records) {
  createParentOf(path);
  sqlite3* db = nullptr;
  sqlite3_stmt* insert = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  sqlite3_exec(db,
               "CREATE TABLE records(key TEXT PRIMARY KEY NOT NULL, data BLOB NOT NULL) "
               "WITHOUT ROWID; BEGIN",
               nullptr, nullptr, nullptr);
  sqlite3_prepare_v2(db, "INSERT INTO records VALUES(?, ?)", -1, &insert, nullptr);
  for (const auto& [key, data] : records) {
    sqlite3_bind_text(insert, 1, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
    sqlite3_bind_blob(insert, 2, data.data(), static_cast<int>(data.size()), SQLITE_STATIC);
    EXPECT_EQ(sqlite3_step(insert), SQLITE_DONE) << sqlite3_errmsg(db);
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  EXPECT_EQ(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
}

Records readDatabase(const std::string& path) {
  Records records;
  sqlite3* db = nullptr;
  sqlite3_stmt* select = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK ||
      sqlite3_prepare_v2(db, "SELECT key, data FROM records", -1, &select, nullptr) != SQLITE_OK) {
    ADD_FAILURE() << "cannot read " << path;
  }
  while (select && sqlite3_step(select) == SQLITE_ROW) {
    auto column = [&](int i) {
      const auto* bytes = static_cast<const char*>(sqlite3_column_blob(select, i));
      return std::string(bytes ? bytes : "", static_cast<size_t>(sqlite3_column_bytes(select, i)));
    };
    records[column(0)] = column(1);
  }
  sqlite3_finalize(select);
  sqlite3_close(db);
  return records;
}

void makePack(const std::string& path, const std::vector<PackEntry>& entries) {
  createParentOf(path);
  int error = 0;
  zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_EXCL, &error);
  ASSERT_NE(archive, nullptr) << "cannot create " << path;
  for (const PackEntry& entry : entries) {
    if (entry.name.back() == '/') {
      zip_dir_add(archive, entry.name.c_str(), ZIP_FL_ENC_RAW);
      continue;
    }
    // libzip reads the bytes when the archive is closed; the entries outlive that.
    zip_source_t* source =
        zip_source_buffer(archive, entry.content.data(), entry.content.size(), 0);
    const zip_int64_t index = zip_file_add(archive, entry.name.c_str(), source, ZIP_FL_ENC_RAW);
    ASSERT_GE(index, 0) << entry.name;
    const auto at = static_cast<zip_uint64_t>(index);
    zip_set_file_compression(archive, at, entry.stored ? ZIP_CM_STORE : ZIP_CM_DEFLATE, 0);
    if (entry.encrypted) zip_file_set_encryption(archive, at, ZIP_EM_AES_256, "secret");
  }
  ASSERT_EQ(zip_close(archive), 0) << zip_strerror(archive);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

bool fileExists(const std::string& path) {
  std::error_code error;
  return fs::exists(path, error);
}

void collectErrorFile(RunResult& result, const std::string& cwd) {
  result.hasErrorFile = fileExists(cwd + "/tovrin.error");
  if (result.hasErrorFile) result.errorFile = readFile(cwd + "/tovrin.error");
}

RunResult runTovrin(const std::vector<std::string>& args, const std::string& cwd,
                    long fileSizeLimit) {
  return runTovrinTogether({args}, cwd, fileSizeLimit).front();
}

}  // namespace testutil
