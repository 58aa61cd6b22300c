#pragma once

// Helpers shared by the tests: fresh temporary folders, record databases made
// and read with SQLite directly (independently of the library under test),
// and running the built tovrin binary.

#include <map>
#include <string>
#include <vector>

namespace testutil {

// A fresh empty folder, removed with everything in it when the object ends.
class CTempDir {
 public:
  CTempDir();
  CTempDir(const CTempDir&) = delete;
  CTempDir& operator=(const CTempDir&) = delete;
  ~CTempDir();

  const std::string& path() const { return path_; }
  // path() joined with a relative name.
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

using Records = std::map<std::string, std::string>;

// Creates (or replaces) a record database file holding `records`, with the
// schema the library uses; creates the folders it needs.
void makeDatabase(const std::string& path, const Records& records);
// Every record of a database file. Fails the test when it cannot be read.
Records readDatabase(const std::string& path);

// One entry of a pack made by makePack. A name ending in '/' is a folder.
struct PackEntry {
  std::string name;
  std::string content;
  bool stored = false;     // kept as it is rather than deflated
  bool encrypted = false;  // AES-256, with a password nobody passes
};
// Creates (or replaces) the ZIP archive `path` holding `entries`, with libzip;
// creates the folders it needs.
void makePack(const std::string& path, const std::vector<PackEntry>& entries);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
bool fileExists(const std::string& path);

// Makes the current directory a fresh temporary folder for the lifetime of the
// object, so relative names reach it; the previous one is restored after.
class CScopedCurrentDir {
 public:
  CScopedCurrentDir();
  CScopedCurrentDir(const CScopedCurrentDir&) = delete;
  CScopedCurrentDir& operator=(const CScopedCurrentDir&) = delete;
  ~CScopedCurrentDir();

  const CTempDir& dir() const { return dir_; }

 private:
  CTempDir dir_;
  std::string previous_;
};

struct RunResult {
  int exitStatus = -1;
  std::string out;
  std::string err;
  bool hasErrorFile = false;
  std::string errorFile;  // content of "tovrin.error" when present
};

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

// Runs the tovrin binary with `args` in the folder `cwd`, standard input from
// /dev/null and, when `fileSizeLimit` is not negative, that limit on the size
// of files it writes; collects standard output, standard error, the exit
// status and the error file that the run left in `cwd`.
RunResult runTovrin(const std::vector<std::string>& args, const std::string& cwd,
                    long fileSizeLimit = -1);
// Starts one run per entry of `runs` at once, all in `cwd`, and waits for all.
std::vector<RunResult> runTovrinTogether(const std::vector<std::vector<std::string>>& runs,
                                         const std::string& cwd, long fileSizeLimit = -1);

}  // namespace testutil
