// Times tovrin's jobs against what a user would otherwise reach for on the
// same SQLite files, as whole processes, on two layouts of the same records:
// databases made by tovrin's own library ("tool") and by the sqlite3 shell
// with its default page size ("shell").
//   -diff                     vs  sqldiff --primarykey
//   -autopatch, copy out      vs  cp of the target out of the data folder,
//                                 then sqldiff's INSERTs and UPDATEs piped
//                                 into sqlite3 inside BEGIN/COMMIT on the copy
//   -autopatch, in place,     vs  the same pipeline on the run folder's target,
//     peer diffs a twin           with sqldiff reading the data folder's
//                                 untimed twin of it
//   -autopatch, in place,     vs  what a user patching in place must do:
//     peer diffs the target       sqldiff of the run folder's target into a
//                                 file, then that applied to the same target
//   script, empty database    vs  sqlite3 running the same records as INSERTs
//                                 in one transaction into a fresh file
//   script, copied database   vs  cp of the target, then sqlite3 running the
//                                 same records as INSERT OR REPLACE statements
// The peers never delete, as -autopatch does not: sqldiff's DELETEs are
// filtered out. Each job runs on all the CPUs this may use, and then with both
// sides pinned to CPU 0 as `taskset -c 0` pins tovrin and the peer's whole
// pipeline: one core is what a run gets among many jobs side by side. At
// each setting, RUNS timed runs after a warm-up,
// tovrin and its peer alternating, each run after an untimed setup and sync;
// the table shows the spread of wall and CPU seconds (user + sys, of the
// process and the children it waited for). tovrin runs with no shell in
// between, so that its private memory can be sampled while it runs; ru_maxrss
// is kept for both sides. Then the same at N/10, and the growth from N/10 to N.
// The tables are markdown, to paste into the README.
//
//   tovrin_bench TOVRIN_BINARY WORK_FOLDER [N [RUNS]]
//   tovrin_bench --make FOLDER N     only makes the data, to try things by hand

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "handlers/handler_res.h"
#include "vozidiri/database.h"

namespace fs = std::filesystem;

namespace {

// Each layout's data/ holds one.db and two.db, and its run/ is the current
// folder of the jobs; source/ holds the scripts and the SQL of both layouts.
const char* const kLayouts[] = {"tool", "shell"};
constexpr int kSampleMilliseconds = 2;

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// What the process holds in memory of its own: RssAnon + RssShmem of
// /proc/PID/status, open as `fd`.
double privateMiB(int fd) {
  char text[4096];
  const ssize_t length = pread(fd, text, sizeof text - 1, 0);
  if (length <= 0) return 0;
  text[length] = '\0';
  long kib = 0;
  for (const char* field : {"RssAnon:", "RssShmem:"}) {
    if (const char* at = std::strstr(text, field)) kib += std::atol(at + std::strlen(field));
  }
  return kib / 1024.0;
}

struct Measure {
  double seconds = 0;
  double cpuSeconds = 0;  // user + sys, of the process and the children it waited for
  double privateMiB = 0;  // sampled, for a program run directly
  double peakMiB = 0;     // ru_maxrss of the largest process
};

double seconds(const timeval& time) { return time.tv_sec + time.tv_usec / 1e6; }

// Runs `argv` in `folder` and waits for it; ends the benchmark if it fails.
// `direct`: argv is the program itself, not a shell, so the child's pid is
// its own: its standard input and output are /dev/null and its private
// memory is sampled every few milliseconds while it runs. `oneCore`: the
// child and all it starts run on CPU 0 alone.
Measure run(const std::vector<std::string>& argv, const fs::path& folder, bool direct,
            bool oneCore) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  int execed[2];  // closes on exec, so reading it waits for the exec
  if (pipe2(execed, O_CLOEXEC) != 0) std::exit(1);
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child == 0) {
    const int null = open("/dev/null", O_RDWR);
    if (chdir(folder.c_str()) != 0 || null < 0) _exit(127);
    if (direct && (dup2(null, STDIN_FILENO) < 0 || dup2(null, STDOUT_FILENO) < 0)) _exit(127);
    if (oneCore) {  // what `taskset -c 0` does: the affinity is inherited across fork and exec
      cpu_set_t cpus;
      CPU_ZERO(&cpus);
      CPU_SET(0, &cpus);
      if (sched_setaffinity(0, sizeof cpus, &cpus) != 0) _exit(127);
    }
    execv(args[0], args.data());
    _exit(127);
  }
  close(execed[1]);
  char byte;
  while (read(execed[0], &byte, 1) < 0 && errno == EINTR) {
  }
  close(execed[0]);
  Measure m;
  if (direct && child > 0) {
    const int statusFile = open(("/proc/" + std::to_string(child) + "/status").c_str(), O_RDONLY);
    // Through syscall: glibc 2.36's pidfd_open lacks C linkage for C++.
    pollfd exited{static_cast<int>(syscall(SYS_pidfd_open, child, 0)), POLLIN, 0};
    do {
      m.privateMiB = std::max(m.privateMiB, privateMiB(statusFile));
    } while (exited.fd >= 0 && poll(&exited, 1, kSampleMilliseconds) == 0);
    close(exited.fd);
    close(statusFile);
  }
  int status = 0;
  rusage usage{};
  if (child < 0 || wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "failed (status %d) in %s:", status, folder.c_str());
    for (const std::string& arg : argv) std::fprintf(stderr, " %s", arg.c_str());
    std::fprintf(stderr, "\n");
    std::ifstream error(folder / "tovrin.error");  // why tovrin failed, when it says
    if (direct && error) std::cerr << error.rdbuf() << "\n";
    std::exit(1);
  }
  m.seconds = secondsSince(start);
  m.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  m.peakMiB = usage.ru_maxrss / 1024.0;
  return m;
}

Measure shell(const std::string& command, const fs::path& folder, bool oneCore = false) {
  return run({"/bin/sh", "-c", command}, folder, false, oneCore);
}

std::string key(int i) {
  char text[32];
  std::snprintf(text, sizeof text, "res/obj_%07d", i);
  return text;
}

// The fields of object i's record, as a script's data block gives them.
std::vector<std::pair<const char*, std::string>> fields(int i, const char* fArg1) {
  return {{"templateName", "tmpl_" + std::to_string(i % 97)},
          {"fileName", "models/obj_" + key(i).substr(8) + ".mdl"},
          {"fArg1", fArg1},
          {"fArg2", "0.25"}};
}

// The sResDef record of those fields, built by the tool's own handler.
std::string record(CHandlerRes& handler, int i, const char* fArg1) {
  handler.reset();
  for (const auto& [name, value] : fields(i, fArg1)) handler.processToken(name, value);
  int length = 0;
  const void* data = nullptr;
  handler.getData(length, data);
  return std::string(static_cast<const char*>(data), static_cast<size_t>(length));
}

std::FILE* create(const fs::path& path, const char* start) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    std::fprintf(stderr, "could not write %s\n", path.c_str());
    std::exit(1);
  }
  std::setvbuf(file, nullptr, _IOFBF, 1 << 20);
  std::fputs(start, file);
  return file;
}

void finish(std::FILE* file, const char* end) {
  if (std::fputs(end, file) < 0 || std::fclose(file) != 0) {
    std::fprintf(stderr, "could not write a source file\n");
    std::exit(1);
  }
}

void writeBlock(std::FILE* script, int i, const char* fArg1) {
  std::fprintf(script, "key : %s\ndata\n", key(i).c_str());
  for (const auto& [name, value] : fields(i, fArg1)) {
    std::fprintf(script, "\t%s : %s\n", name, value.c_str());
  }
}

void writeInsert(std::FILE* sql, const char* verb, const std::string& name,
                 const std::string& data) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string line = verb + (" INTO records VALUES('" + name + "', X'");
  for (unsigned char byte : data) {
    line += kHex[byte >> 4];
    line += kHex[byte & 15];
  }
  line += "');\n";
  std::fwrite(line.data(), 1, line.size(), sql);
}

// A database of the tool layout being written, and the SQL that makes the
// same database in the shell layout.
struct Target {
  rk::CDatabase db;
  std::FILE* sql = nullptr;
  void put(const std::string& name, const std::string& data) {
    if (!db.store(name.c_str(), data.data(), static_cast<int>(data.size()))) {
      std::fprintf(stderr, "could not store %s\n", name.c_str());
      std::exit(1);
    }
    writeInsert(sql, "INSERT", name, data);
  }
};

const char kCreate[] =
    "BEGIN;\nCREATE TABLE records(key TEXT PRIMARY KEY NOT NULL, data BLOB NOT NULL) "
    "WITHOUT ROWID;\n";

// In both layouts, data/one.db of n records and data/two.db: 1% of one's keys
// missing, 1% changed and 1% of keys only it has, spread evenly. In source/:
// one.sql and two.sql, from which the sqlite3 shell makes that layout (and
// one.sql doubles as the peer of the script job, which makes one.db's n
// records into an empty database: patch.txt); update.txt, which writes new
// values to 2% of one.db's keys into a copy of it, and updates.sql, the same
// as INSERT OR REPLACE statements.
void generate(const fs::path& folder, int n) {
  fs::remove_all(folder);
  for (const char* layout : kLayouts) {
    fs::create_directories(folder / layout / "data");
    fs::create_directories(folder / layout / "run");
  }
  const fs::path source = folder / "source";
  fs::create_directories(source);
  Target one, two;
  const std::pair<Target*, const char*> targets[] = {{&one, "one"}, {&two, "two"}};
  for (const auto& [target, name] : targets) {
    const std::string path = (folder / "tool/data" / name).string() + ".db";
    std::fclose(create(path, ""));  // an empty file is an empty database
    if (!target->db.open(path, rk::CDatabase::eOpenWrite)) {
      std::fprintf(stderr, "could not open %s\n", path.c_str());
      std::exit(1);
    }
    target->sql = create(source / (std::string(name) + ".sql"), kCreate);
  }
  std::FILE* patch = create(source / "patch.txt", "db : script.db\nstruct : sResDef\n");
  std::FILE* update = create(source / "update.txt", "db : one.db\nstruct : sResDef\n");
  std::FILE* updates = create(source / "updates.sql", "BEGIN;\n");
  CHandlerRes handler;
  for (int i = 1; i <= n; ++i) {
    const std::string name = key(i), data = record(handler, i, "1.5");
    one.put(name, data);
    writeBlock(patch, i, "1.5");
    if (i % 100 == 3) two.put(name, record(handler, i, "2.5"));
    if (i % 100 != 1 && i % 100 != 3) two.put(name, data);
    if (i % 100 == 2) two.put(name + "_new", data);  // sorts right after `name`
    if (i % 50 == 0) {
      writeBlock(update, i, "3.5");
      writeInsert(updates, "INSERT OR REPLACE", name, record(handler, i, "3.5"));
    }
  }
  if (!one.db.close() || !two.db.close()) {
    std::fprintf(stderr, "could not write the databases\n");
    std::exit(1);
  }
  for (std::FILE* file : {one.sql, two.sql, updates}) finish(file, "COMMIT;\n");
  finish(patch, "");
  finish(update, "");
  // Both at once: they are independent and the machine may have two cores.
  shell(
      "sqlite3 -bail shell/data/one.db <source/one.sql & a=$!; "
      "sqlite3 -bail shell/data/two.db <source/two.sql & b=$!; wait $a && wait $b",
      folder);
}

// As PRAGMA page_size reports it: the header's bytes 16-17, 1 meaning 65536.
int pageSize(const fs::path& path) {
  unsigned char header[18] = {};
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file != nullptr) {
    if (std::fread(header, 1, sizeof header, file) != sizeof header) header[17] = 0;
    std::fclose(file);
  }
  const int size = header[16] << 8 | header[17];
  return size == 1 ? 65536 : size;
}

// Runs the SQL piped into it on the run folder's one.db in one transaction.
const std::string kApply = " | (echo 'BEGIN;'; cat; echo 'COMMIT;') | sqlite3 one.db";
// sqldiff reads the data folder's twin of the target, not the run folder's
// that sqlite3 writes at the same time, which would deadlock them over its lock.
const std::string kApplyTwinDiff =
    "sqldiff --primarykey ../data/one.db ../data/two.db | grep -v '^DELETE'" + kApply;

struct Job {
  const char* name;
  bool readsData;  // false: the layout of the data folder does not matter
  // Runs untimed before each timed run, and then sync, so that no run pays
  // for writing back what the one before it wrote.
  std::string setup;
  std::vector<std::string> tovrin;  // its arguments
  std::string peer;
};

const std::vector<Job> kJobs = {
    {"-diff",
     true,
     "true",
     {"-diff", "../data/one.db", "../data/two.db"},
     "sqldiff --primarykey ../data/one.db ../data/two.db >/dev/null"},
    {"-autopatch, copy out",
     true,
     "rm -f one.db one.db-journal",
     {"-autopatch", "../data", "one.db", "two.db"},
     "cp ../data/one.db one.db && " + kApplyTwinDiff},
    {"-autopatch, in place, peer diffs a twin",
     true,
     "rm -f one.db-journal && cp ../data/one.db one.db",
     {"-autopatch", "../data", "one.db", "two.db"},
     kApplyTwinDiff},
    // The same tovrin command as the row before: only the peer differs.
    {"-autopatch, in place, peer diffs the target",
     true,
     "rm -f one.db-journal diff.sql && cp ../data/one.db one.db",
     {"-autopatch", "../data", "one.db", "two.db"},
     "sqldiff --primarykey one.db ../data/two.db >diff.sql && grep -v '^DELETE' diff.sql" + kApply},
    {"script, empty database",
     false,
     "rm -f script.db script.db-journal && : >script.db",
     {"../../source/patch.txt", "../data"},
     "sqlite3 script.db <../../source/one.sql"},
    {"script, copied database",
     true,
     "rm -f one.db one.db-journal",
     {"../../source/update.txt", "../data"},
     "cp ../data/one.db one.db && sqlite3 one.db <../../source/updates.sql"},
};

struct Spread {
  double min, median, max;
};

Spread spread(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t half = values.size() / 2;
  const double median = values.size() % 2 ? values[half] : (values[half - 1] + values[half]) / 2;
  return {values.front(), median, values.back()};
}

// One job on one layout at one core setting; [0] is tovrin, [1] its peer.
struct Row {
  std::string job, layout;
  int cores = 0;
  Spread wall[2], cpu[2];
  double tovrinPrivateMiB = 0, peakMiB[2] = {};
};

// `cores`: how many CPUs the unpinned runs may use.
std::vector<Row> measure(const std::string& binary, const fs::path& folder, int n, int runs,
                         int cores) {
  std::fprintf(stderr, "Making %d records in %s...\n", n, folder.c_str());
  const auto start = std::chrono::steady_clock::now();
  // In a child: a process keeps its peak memory across fork and exec, so
  // this one must stay small for the peaks of the runs it starts to be theirs.
  const pid_t child = fork();
  if (child == 0) {
    generate(folder, n);
    _exit(0);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || status != 0) std::exit(1);
  std::fprintf(stderr, "Made in %.1f s\n", secondsSince(start));

  std::vector<Row> rows;
  for (const Job& job : kJobs) {
    for (const char* layout : kLayouts) {
      const fs::path where = folder / layout / "run";
      std::vector<std::string> tovrin = {binary};
      tovrin.insert(tovrin.end(), job.tovrin.begin(), job.tovrin.end());
      const std::string shownLayout =
          job.readsData ? layout + (" " + std::to_string(pageSize(where / "../data/one.db")))
                        : "new file";
      for (const bool oneCore : {false, true}) {
        Row row;
        row.job = job.name;
        row.layout = shownLayout;
        row.cores = oneCore ? 1 : cores;
        std::fprintf(stderr, "Timing %s, %s, cores: %d...\n", row.job.c_str(), row.layout.c_str(),
                     row.cores);
        std::vector<double> wall[2], cpu[2];
        for (int i = 0; i <= runs; ++i) {  // run 0 is the warm-up
          for (int side = 0; side < 2; ++side) {
            shell(job.setup + " && sync", where);
            const Measure m =
                side == 0 ? run(tovrin, where, true, oneCore) : shell(job.peer, where, oneCore);
            if (i == 0) continue;
            wall[side].push_back(m.seconds);
            cpu[side].push_back(m.cpuSeconds);
            row.peakMiB[side] = std::max(row.peakMiB[side], m.peakMiB);
            row.tovrinPrivateMiB = std::max(row.tovrinPrivateMiB, m.privateMiB);
          }
        }
        for (int side = 0; side < 2; ++side) {
          row.wall[side] = spread(wall[side]);
          row.cpu[side] = spread(cpu[side]);
        }
        rows.push_back(row);
      }
      if (!job.readsData) break;
    }
  }
  fs::remove_all(folder);
  return rows;
}

// 1000000 as 1,000,000.
std::string grouped(int n) {
  std::string text = std::to_string(n);
  for (int at = static_cast<int>(text.size()) - 3; at > 0; at -= 3) text.insert(at, ",");
  return text;
}

std::string shown(const Spread& s) {
  char text[64];
  std::snprintf(text, sizeof text, "%.3f / %.3f / %.3f", s.min, s.median, s.max);
  return text;
}

void printTable(int n, const std::vector<Row>& rows) {
  std::printf(
      "| job, N = %s | layout | cores | tovrin wall s | peer wall s | wall ratio | tovrin CPU s | "
      "peer CPU s | CPU ratio | tovrin peak private | tovrin peak RSS | peer peak RSS |\n",
      grouped(n).c_str());
  std::printf("|---|---|---|---|---|---|---|---|---|---|---|---|\n");
  for (const Row& r : rows) {
    std::printf(
        "| %s | %s | %d | %s | %s | %.2f | %s | %s | %.2f | %.1f MiB | %.1f MiB | %.1f MiB |\n",
        r.job.c_str(), r.layout.c_str(), r.cores, shown(r.wall[0]).c_str(),
        shown(r.wall[1]).c_str(), r.wall[0].median / r.wall[1].median, shown(r.cpu[0]).c_str(),
        shown(r.cpu[1]).c_str(), r.cpu[0].median / r.cpu[1].median, r.tovrinPrivateMiB,
        r.peakMiB[0], r.peakMiB[1]);
  }
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--make") {
    const auto start = std::chrono::steady_clock::now();
    const fs::path folder = argv[2];
    generate(folder, std::atoi(argv[3]));
    std::printf("Made in %.1f s:\n", secondsSince(start));
    std::vector<fs::path> made;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
      if (entry.is_regular_file()) made.push_back(entry.path());
    }
    std::sort(made.begin(), made.end());
    for (const fs::path& path : made) {
      std::printf("%10.1f MB  %s\n", fs::file_size(path) / 1e6, path.c_str());
    }
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
  cpu_set_t allowed;
  if (sched_getaffinity(0, sizeof allowed, &allowed) != 0 || !CPU_ISSET(0, &allowed)) {
    std::fprintf(stderr, "the one-core runs need CPU 0, which this process may not use\n");
    return 1;
  }
  const int cores = CPU_COUNT(&allowed);
  const std::vector<Row> big = measure(binary, folder / "n", n, runs, cores);
  const std::vector<Row> small = measure(binary, folder / "n10", n / 10, runs, cores);

  std::printf(
      "%d timed runs after a warm-up, tovrin and its peer alternating. Seconds as min / median "
      "/ max; the ratios are of the medians (tovrin / peer).\nLayout: who made the data "
      "folder's databases, and the page size of one.db (\"tool\": tovrin's library, \"shell\": "
      "the sqlite3 shell). Cores: 1 is both sides pinned to CPU 0, as by taskset -c 0.\nCPU s: "
      "user + sys, of the process and the children it waited for.\ntovrin peak private: "
      "largest RssAnon + RssShmem, sampled every %d ms (the aim is below 64 MiB)"
      "; peak RSS: ru_maxrss of the largest process.\n\n",
      runs, kSampleMilliseconds);
  printTable(n, big);
  printTable(n / 10, small);
  std::printf("tovrin's median at N over its median at N/10 (the aim is at most 11 x):\n\n");
  std::printf("| job | layout | cores | wall growth | CPU growth |\n|---|---|---|---|---|\n");
  for (size_t j = 0; j < big.size(); ++j) {
    const Row &b = big[j], &s = small[j];
    std::printf("| %s | %s | %d | %.1f x | %.1f x |\n", b.job.c_str(), b.layout.c_str(), b.cores,
                b.wall[0].median / s.wall[0].median, b.cpu[0].median / s.cpu[0].median);
  }
  return 0;
}
