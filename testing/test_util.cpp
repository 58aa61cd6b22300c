#include "testing/test_util.h"

#include <sqlite3.h>
#include <zip.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "gtest/gtest.h"

namespace testutil {
namespace fs = std::filesystem;

CTempDir::CTempDir() {
  std::random_device seed;
  fs::path path;
  do {
    path = fs::temp_directory_path() / ("tovrin-test-" + std::to_string(seed()));
  } while (!fs::create_directory(path));
  path_ = path.generic_string();
}

CTempDir::~CTempDir() {
  std::error_code error;
  fs::remove_all(path_, error);
}

namespace {

void createParentOf(const std::string& path) {
  if (fs::path(path).has_parent_path()) fs::create_directories(fs::path(path).parent_path());
  fs::remove(path);
}

// One word of a command for the shell that std::system starts. cmd.exe
// leaves quotes to the C runtime, which takes a quoted word as it stands as
// long as it holds no quote and does not end in a backslash; no test needs
// either.
std::string shellWord(const std::string& word) {
#ifdef _WIN32
  if (word.find('"') != std::string::npos || (!word.empty() && word.back() == '\\')) {
    ADD_FAILURE() << "cannot pass " << word;
  }
  return '"' + word + '"';
#else
  std::string text = "'";
  for (char c : word) text += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return text + "'";
#endif
}

// The command line that runs tovrin with `args` in `cwd`, standard input
// from the null device, standard output and error into files.
std::string commandFor(const std::vector<std::string>& args, const std::string& cwd,
                       [[maybe_unused]] long fileSizeLimit, const std::string& out,
                       const std::string& err) {
  std::string binary = TOVRIN_BINARY;
#ifdef _WIN32
  if (binary.front() == '/') binary = "Z:" + binary;  // Wine shows the host's root as Z:
  std::string command = "cd /d " + shellWord(cwd) + " && " + shellWord(binary);
  const char* nullDevice = "NUL";
#else
  std::string command = "cd " + shellWord(cwd) + " && ";
  // sh counts the limit in blocks of 512 bytes.
  if (fileSizeLimit >= 0) command += "ulimit -f " + std::to_string(fileSizeLimit / 512) + " && ";
  command += "exec " + shellWord(binary);
  const char* nullDevice = "/dev/null";
#endif
  for (const std::string& arg : args) command += " " + shellWord(arg);
  return command + " <" + nullDevice + " >" + shellWord(out) + " 2>" + shellWord(err);
}

// Copies `from` over `to`. Not copy_file's overwrite_existing: MinGW's
// library takes any two files of one drive for the same file (Windows' stat
// has no inode numbers) and refuses to copy one over the other.
void copyOver(const std::string& from, const std::string& to) {
  fs::remove(to);
  fs::copy_file(from, to);
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

void runSql(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  char* error = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK ||
      sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    ADD_FAILURE() << sql << ": " << (error ? error : sqlite3_errmsg(db));
  }
  sqlite3_free(error);
  sqlite3_close(db);
}

std::string sqlText(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  sqlite3_stmt* select = nullptr;
  std::string text;
  if (sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
      sqlite3_prepare_v2(db, sql.c_str(), -1, &select, nullptr) == SQLITE_OK &&
      sqlite3_step(select) == SQLITE_ROW && sqlite3_column_text(select, 0)) {
    text = reinterpret_cast<const char*>(sqlite3_column_text(select, 0));
  }
  sqlite3_finalize(select);
  sqlite3_close(db);
  return text;
}

void leaveHotJournal(const std::string& path, const std::string& sql) {
  // A live writer whose tiny cache spills the transaction into the file; a
  // copy of its file and journal, taken meanwhile, is what a kill leaves.
  const std::string live = path + "-live";
  copyOver(path, live);
  sqlite3* writer = nullptr;
  sqlite3_open(live.c_str(), &writer);
  ASSERT_EQ(sqlite3_exec(writer, ("PRAGMA cache_size = 1; BEGIN;" + sql).c_str(), nullptr, nullptr,
                         nullptr),
            SQLITE_OK);
  ASSERT_TRUE(fileExists(live + "-journal"));
  copyOver(live, path);
  copyOver(live + "-journal", path + "-journal");
  sqlite3_close(writer);
  fs::remove(live);
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

Records makeDamagedDatabase(const std::string& path) {
  Records records;
  for (int i = 0; i < 3000; ++i) records["k" + std::to_string(10000 + i)] = std::string(296, 'r');
  makeDatabase(path, records);
  std::string bytes = readFile(path);
  for (size_t i = 100 * 4096; i < 103 * 4096; ++i) bytes[i] = static_cast<char>(i * 7919 >> 3);
  writeFile(path, bytes);
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
    zip_source_t* source = entry.file.empty() ? zip_source_buffer(archive, entry.content.data(),
                                                                  entry.content.size(), 0)
                                              : zip_source_file(archive, entry.file.c_str(), 0, 0);
    const zip_int64_t index = zip_file_add(archive, entry.name.c_str(), source, ZIP_FL_ENC_RAW);
    ASSERT_GE(index, 0) << entry.name;
    const auto at = static_cast<zip_uint64_t>(index);
    // The fastest deflate: tests pack large files of zeros.
    zip_set_file_compression(archive, at, entry.stored ? ZIP_CM_STORE : ZIP_CM_DEFLATE, 1);
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

std::map<std::string, std::string> filesIn(const std::string& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::directory_iterator(folder)) {
    files[entry.path().filename().string()] =
        entry.is_directory() ? "<folder>" : readFile(entry.path().string());
  }
  return files;
}

void collectErrorFile(RunResult& result, const std::string& cwd) {
  result.hasErrorFile = fileExists(cwd + "/tovrin.error");
  if (result.hasErrorFile) result.errorFile = readFile(cwd + "/tovrin.error");
}

std::vector<RunResult> runTovrinTogether(const std::vector<std::vector<std::string>>& runs,
                                         const std::string& cwd, long fileSizeLimit,
                                         const std::string& outPath) {
  CTempDir capture;
  std::vector<RunResult> results(runs.size());
  std::vector<std::thread> threads;
  for (size_t i = 0; i < runs.size(); ++i) {
    const std::string out = outPath.empty() ? capture / std::to_string(i) : outPath;
    const std::string command =
        commandFor(runs[i], cwd, fileSizeLimit, out, capture / ("err" + std::to_string(i)));
    threads.emplace_back([&result = results[i], command] {
      int status = std::system(command.c_str());
#ifdef _WIN32
      // Under Wine, programs started at once now and then fail to start: no
      // shell (-1) or no program (9009). Nothing ran, so it is started again.
      for (int retry = 0; retry < 5 && (status == -1 || status == 9009); ++retry) {
        status = std::system(command.c_str());
      }
      result.exitStatus = status;
#else
      result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
#endif
    });
  }
  for (size_t i = 0; i < runs.size(); ++i) {
    threads[i].join();
    std::string& out = results[i].out = readFile(capture / std::to_string(i));
    // Windows programs write CR LF; the tests compare what the tool means.
    for (size_t at; (at = out.find("\r\n")) != std::string::npos;) out.erase(at, 1);
    results[i].err = readFile(capture / ("err" + std::to_string(i)));
    collectErrorFile(results[i], cwd);
  }
  return results;
}

double peakMemoryMiB(const std::vector<std::string>& args, const std::string& cwd) {
#ifdef _WIN32
  (void)args, (void)cwd;
  return -1;
#else
  std::vector<std::string> words{TOVRIN_BINARY};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    const int null = open("/dev/null", O_RDWR);
    if (chdir(cwd.c_str()) != 0 || dup2(null, 0) < 0 || dup2(null, 1) < 0) _exit(127);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (child < 0 || wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    ADD_FAILURE() << "the run failed: " << status;
  }
  return usage.ru_maxrss / 1024.0;
#endif
}

RunResult runTovrin(const std::vector<std::string>& args, const std::string& cwd,
                    long fileSizeLimit, const std::string& outPath) {
  return runTovrinTogether({args}, cwd, fileSizeLimit, outPath).front();
}

}  // namespace testutil
