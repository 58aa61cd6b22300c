// Times the three jobs against what a user would otherwise reach for on the
// same SQLite files, as whole processes, and prints one table:
//   tovrin -diff            vs  sqldiff --primarykey
//   tovrin -autopatch       vs  cp of the target out of the data folder, then
//                               sqldiff --primarykey piped into sqlite3 inside
//                               BEGIN/COMMIT on the copy
//   tovrin script (N blocks) vs sqlite3 running the same records as INSERTs
//                               in one transaction
// Each figure is the median of several runs after a warm-up, tovrin and its
// peer alternating; peak RSS is the largest process's. Then the same at N/10,
// and the growth from N/10 to N.
//
//   tovrin_bench TOVRIN_BINARY WORK_FOLDER [N [RUNS]]
//   tovrin_bench --make FOLDER N     only makes the data, into FOLDER/data
//                                    and FOLDER/run, to try things by hand

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "handlers/handler_res.h"
#include "vozidiri/database.h"

namespace fs = std::filesystem;

namespace {

struct Measure {
  double seconds = 0;
  double peakMiB = 0;
};

// Runs `command` with /bin/sh in `folder`; ends the benchmark if it fails.
Measure run(const std::string& command, const std::string& folder) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child == 0) {
    if (chdir(folder.c_str()) != 0) _exit(127);
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (child < 0 || wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "failed (status %d): %s\n", status, command.c_str());
    std::exit(1);
  }
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  return {took.count(), usage.ru_maxrss / 1024.0};
}

std::string key(const char* prefix, int i) {
  char text[32];
  std::snprintf(text, sizeof text, "%s%07d", prefix, i);
  return text;
}

// The sResDef record of object i, built by the tool's own handler.
std::string record(CHandlerRes& handler, int i, const char* fArg1) {
  handler.reset();
  handler.processToken("templateName", "tmpl_" + std::to_string(i % 97));
  handler.processToken("fileName", "models/" + key("obj_", i) + ".mdl");
  handler.processToken("fArg1", fArg1);
  handler.processToken("fArg2", "0.25");
  int length = 0;
  const void* data = nullptr;
  handler.getData(length, data);
  return std::string(static_cast<const char*>(data), static_cast<size_t>(length));
}

void storeAll(const std::string& path,
              const std::vector<std::pair<std::string, std::string>>& all) {
  std::ofstream(path, std::ios::binary | std::ios::trunc);  // an empty database
  rk::CDatabase db;
  bool ok = db.open(path, rk::CDatabase::eOpenWrite);
  for (const auto& [name, data] : all) {
    ok = ok && db.store(name.c_str(), data.data(), static_cast<int>(data.size()));
  }
  if (!db.close() || !ok) {
    std::fprintf(stderr, "could not write %s\n", path.c_str());
    std::exit(1);
  }
}

// data/one.db and data/two.db of about n records each (1% only in one, 1%
// only in two, 1% changed), and a script of n data blocks with the same
// records as INSERT statements for the sqlite3 shell.
void generate(const fs::path& folder, int n) {
  fs::remove_all(folder);
  fs::create_directories(folder / "data");
  fs::create_directories(folder / "run");
  CHandlerRes handler;
  std::vector<std::pair<std::string, std::string>> one, two;
  for (int i = 1; i <= n; ++i) {
    const std::string name = key("res/obj_", i);
    const std::string data = record(handler, i, "1.5");
    if (i % 100 != 2) one.emplace_back(name, data);
    if (i % 100 != 1) two.emplace_back(name, i % 100 == 3 ? record(handler, i, "2.5") : data);
  }
  storeAll((folder / "data/one.db").string(), one);
  storeAll((folder / "data/two.db").string(), two);
  one.clear();
  two.clear();

  std::ofstream script(folder / "run/patch.txt", std::ios::binary);
  std::ofstream sql(folder / "run/inserts.sql", std::ios::binary);
  script << "db : script.db\nstruct : sResDef\n";
  sql << "BEGIN;\nCREATE TABLE records(key TEXT PRIMARY KEY NOT NULL, data BLOB NOT NULL) "
         "WITHOUT ROWID;\n";
  static const char kHex[] = "0123456789ABCDEF";
  for (int i = 1; i <= n; ++i) {
    const std::string name = key("res/new_", i);
    script << "key : " << name << "\ndata\n\ttemplateName : tmpl_" << i % 97
           << "\n\tfileName : models/" << key("obj_", i) << ".mdl\n\tfArg1 : 1.5\n\tfArg2 : 0.25\n";
    std::string hex;
    for (unsigned char byte : record(handler, i, "1.5")) {
      hex += kHex[byte >> 4];
      hex += kHex[byte & 15];
    }
    sql << "INSERT INTO records VALUES('" << name << "', X'" << hex << "');\n";
  }
  sql << "COMMIT;\n";
}

struct Job {
  const char* name;
  // Runs untimed before each timed run, and then sync, so that no run pays
  // for writing back what the one before it wrote.
  std::string setup, tovrin, peer;
};

struct Result {
  Measure tovrin, peer;
};

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

std::vector<Result> measure(const std::string& binary, const fs::path& folder, int n, int runs) {
  std::fprintf(stderr, "Making %d records in %s...\n", n, folder.c_str());
  // In a child: a process keeps its peak memory across fork and exec, so
  // this one must stay small for the peaks of the runs it starts to be theirs.
  const pid_t child = fork();
  if (child == 0) {
    generate(folder, n);
    _exit(0);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || status != 0) std::exit(1);
  const std::string where = (folder / "run").string();
  const std::vector<Job> jobs = {
      {"-diff", "true", binary + " -diff ../data/one.db ../data/two.db >/dev/null",
       "sqldiff --primarykey ../data/one.db ../data/two.db >/dev/null"},
      {"-autopatch", "rm -f one.db one.db-journal",
       binary + " -autopatch ../data one.db two.db >/dev/null",
       // sqldiff reads the data folder's target, not the copy that sqlite3
       // writes at the same time, which would deadlock them over its lock.
       "cp ../data/one.db one.db && sqldiff --primarykey ../data/one.db ../data/two.db | "
       "(echo 'BEGIN;'; cat; echo 'COMMIT;') | sqlite3 one.db"},
      {"script", "rm -f script.db script.db-journal && : >script.db",
       binary + " patch.txt ../data >/dev/null", "sqlite3 script.db <inserts.sql"},
  };
  std::vector<Result> results;
  for (const Job& job : jobs) {
    std::fprintf(stderr, "Timing %s...\n", job.name);
    std::vector<double> times[2], peaks[2];
    for (int i = 0; i <= runs; ++i) {  // run 0 is the warm-up
      for (int side = 0; side < 2; ++side) {
        run(job.setup + " && sync", where);
        const Measure m = run(side == 0 ? job.tovrin : job.peer, where);
        if (i == 0) continue;
        times[side].push_back(m.seconds);
        peaks[side].push_back(m.peakMiB);
      }
    }
    results.push_back({{median(times[0]), *std::max_element(peaks[0].begin(), peaks[0].end())},
                       {median(times[1]), *std::max_element(peaks[1].begin(), peaks[1].end())}});
  }
  fs::remove_all(folder);
  return results;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--make") {
    generate(argv[2], std::atoi(argv[3]));
    return 0;
  }
  if (argc < 3) {
    std::fprintf(stderr, "usage: tovrin_bench TOVRIN_BINARY WORK_FOLDER [N [RUNS]]\n");
    return 2;
  }
  const std::string binary = fs::absolute(argv[1]).string();
  const fs::path folder = fs::absolute(argv[2]);
  const int n = argc > 3 ? std::atoi(argv[3]) : 1000000;
  const int runs = argc > 4 ? std::max(1, std::atoi(argv[4])) : 5;
  const std::vector<Result> big = measure(binary, folder / "n", n, runs);
  const std::vector<Result> small = measure(binary, folder / "n10", n / 10, runs);

  const char* names[] = {"-diff", "-autopatch", "script"};
  std::printf("Median of %d runs after a warm-up; peak RSS of the largest process.\n\n", runs);
  for (int size = 0; size < 2; ++size) {
    const std::vector<Result>& results = size == 0 ? big : small;
    std::printf("N = %d\n", size == 0 ? n : n / 10);
    std::printf("| job | tovrin | peer | ratio | tovrin peak RSS | peer peak RSS |\n");
    std::printf("|---|---|---|---|---|---|\n");
    for (size_t j = 0; j < results.size(); ++j) {
      const Result& r = results[j];
      std::printf("| %s | %.2f s | %.2f s | %.2f | %.1f MiB | %.1f MiB |\n", names[j],
                  r.tovrin.seconds, r.peer.seconds, r.tovrin.seconds / r.peer.seconds,
                  r.tovrin.peakMiB, r.peer.peakMiB);
    }
    std::printf("\n");
  }
  std::printf("Growth from N/10 to N (tovrin's time at N over its time at N/10):");
  for (size_t j = 0; j < big.size(); ++j) {
    std::printf(" %s %.1f x%s", names[j], big[j].tovrin.seconds / small[j].tovrin.seconds,
                j + 1 < big.size() ? "," : "\n");
  }
  return 0;
}
