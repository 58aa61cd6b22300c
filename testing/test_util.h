#pragma once

// Helpers shared by the tests: temporary folders, record databases and packs
// made and read with SQLite and libzip directly (not through the library
// under test), and runs of the whole program.

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace rk {
enum class eFault;  // vozidiri/fault_injection.h
}  // namespace rk

namespace testutil {

// A fresh empty folder, removed with everything in it when the object ends.
class CTempDir {
 public:
  CTempDir();
  CTempDir(const CTempDir&) = delete;
  CTempDir& operator=(const CTempDir&) = delete;
  ~CTempDir();

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

using Records = std::map<std::string, std::string>;

// Creates (or replaces) a record database file, and the folders it needs.
void makeDatabase(const std::string& path, const Records& records);
// Every record of a database file; fails the test when it cannot be read.
Records readDatabase(const std::string& path);
// Runs `sql` on the SQLite file `path`, creating it if need be.
void runSql(const std::string& path, const std::string& sql);
// The first column of the first row that `sql` gives on the SQLite file
// `path`, as text; empty when there is none.
std::string sqlText(const std::string& path, const std::string& sql);
// Leaves the SQLite file `path` as a writer killed in the middle of `sql`
// would: pages of the transaction already in the file, and the hot journal
// that undoes them beside it.
void leaveHotJournal(const std::string& path, const std::string& sql);

// Makes a database of 3,000 records of 296 bytes, keys "k10000" to "k12999",
// with three pages in its middle overwritten: it opens, and fails where a
// walk or a lookup reaches them. Returns the records it held before.
Records makeDamagedDatabase(const std::string& path);

// One entry of a pack; a name ending in '/' is a folder.
struct PackEntry {
  std::string name;
  std::string content;
  bool stored = false;     // kept as it is rather than deflated
  bool encrypted = false;  // AES-256, with a password nobody passes
  std::string file = "";   // when given, the content is this file's
};
// Creates (or replaces) the ZIP archive `path`, and the folders it needs.
void makePack(const std::string& path, const std::vector<PackEntry>& entries);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
bool fileExists(const std::string& path);
// Every file directly in `folder`, by name, with its content (a folder's is
// "<folder>").
std::map<std::string, std::string> filesIn(const std::string& folder);

// The whole content that the file factory `factory` gives for `name`, or
// "<none>" when it holds no such readable file; hasFile must agree with
// openRead, and getSize with what is read.
template <class TFactory>
std::string contentOf(TFactory& factory, const std::string& name) {
  const auto stream = factory.openRead(name, 32);
  EXPECT_EQ(bool(stream), factory.hasFile(name)) << name;
  if (!stream) return "<none>";
  std::string content(static_cast<size_t>(stream->getSize()), '\0');
  EXPECT_EQ(stream->read(content.data(), stream->getSize()), stream->getSize());
  char more = 0;
  EXPECT_EQ(stream->read(&more, 1), 0) << name << ": getSize is the whole file";
  return content;
}

// The message of the fatal error that `action` raises, or "(no fatal error)".
template <class TAction>
std::string fatalMessageOf(TAction&& action) {
  try {
    action();
  } catch (const std::string& message) {
    return message;
  }
  return "(no fatal error)";
}

struct RunResult {
  int exitStatus = -1;
  std::string out;  // with LF line ends on every platform
  std::string err;
  bool hasErrorFile = false;
  std::string errorFile;  // content of "tovrin.error" when present
};

// Starts the tovrin binary once per entry of `runs`, all at once, in `cwd`
// with standard input from /dev/null and, when `fileSizeLimit` is not
// negative, that limit on the files it writes (POSIX only); waits for all.
// Standard output goes to `outPath` when one is given (`out` stays empty).
std::vector<RunResult> runTovrinTogether(const std::vector<std::vector<std::string>>& runs,
                                         const std::string& cwd, long fileSizeLimit = -1,
                                         const std::string& outPath = "");
RunResult runTovrin(const std::vector<std::string>& args, const std::string& cwd,
                    long fileSizeLimit = -1, const std::string& outPath = "");
// The peak resident memory, in MiB, of one run of the tovrin binary with
// `args` in `cwd`, its standard output thrown away; -1 where the system does
// not say (Windows).
double peakMemoryMiB(const std::vector<std::string>& args, const std::string& cwd);
// Fills in the error file that a run left in `cwd`.
void collectErrorFile(RunResult& result, const std::string& cwd);

// Runs the whole program in this process, as `tovrin args...` in `cwd` with a
// fresh global file system and standard input from the null device, so that
// a fault armed with an rk::CFaultScope hits it.
// Only the tool's tests link it, and expectFatal.
RunResult runInProcess(const std::vector<std::string>& args, const std::string& cwd);

// A run that must end in a fatal error.
struct FatalRun {
  std::vector<std::string> args;
  std::string message;                // the whole error file
  std::string out = "";               // all of standard output
  std::optional<rk::eFault> fault{};  // armed for the run with `nth` and `key`
  int nth = 1;
  std::string key = "";
};
// Runs `run` in `cwd` and checks that it ends with exit status 1, its message
// in the error file, its output, and on standard error only the line
// "Tovrin has reported an error: <message>\n"; what it left
// in the databases is the caller's to check. It runs in this process unless
// it needs one of its own: for a limit on the size of the files it writes
// (not negative), or for standard output sent to `outPath`.
void expectFatal(const FatalRun& run, const std::string& cwd, long fileSizeLimit = -1,
                 const std::string& outPath = "");

}  // namespace testutil
