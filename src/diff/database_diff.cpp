#include "diff/database_diff.h"

#include <cstring>

#include "common/fatal_error.h"
#include "common/output.h"

CDatabaseDiff::CDatabaseDiff(const std::string& file1, const std::string& file2)
    : file1(file1), file2(file2) {}

void CDatabaseDiff::run() {
  // Declared in this order so that (2) is closed before (1), also while a
  // fatal error unwinds.
  rk::CDatabase db1;
  rk::CDatabase db2;
  if (!db1.open(file1, rk::CDatabase::eOpenRead)) fatalError("Could not open %s", file1.c_str());
  if (!db2.open(file2, rk::CDatabase::eOpenRead)) fatalError("Could not open %s", file2.c_str());
  collectExtras(db1, db2, keysOnlyIn1);
  collectExtras(db2, db1, keysOnlyIn2);
  collectDiffs(db1, db2, keysChanged);
  // A fetch from (2) that fails is passed over like a key (2) lacks; only the
  // database can tell whether that was damage rather than absence.
  if (!db2.close() || !db1.close()) fatalError("Fetch error during diff");
}

void CDatabaseDiff::collectExtras(rk::CDatabase& walked, rk::CDatabase& other, CKeyList& list) {
  const char* key = nullptr;
  if (!walked.firstKey(key)) fatalError("First key not found during extras");
  do {
    if (!other.exists(key)) list.append(key);
  } while (walked.nextKey(key));
}

void CDatabaseDiff::collectDiffs(rk::CDatabase& db1, rk::CDatabase& db2, CKeyList& list) {
  const char* key = nullptr;
  if (!db1.firstKey(key)) fatalError("First key not found during diff");
  do {
    const void* data1 = nullptr;
    const void* data2 = nullptr;
    int length1 = 0;
    int length2 = 0;
    if (!db1.fetch(key, data1, length1)) fatalError("Fetch error during diff");
    // A key (2) lacks was listed by the extras pass already.
    if (!db2.fetch(key, data2, length2)) continue;
    if (length1 != length2 ||
        (length1 > 0 && std::memcmp(data1, data2, static_cast<size_t>(length1)) != 0)) {
      list.append(key);
    }
  } while (db1.nextKey(key));
}

void CDatabaseDiff::printKeyList(const CKeyList& list) {
  if (list.empty()) {
    printOutput("Nothing found\n");
    return;
  }
  for (size_t i = 0; i < list.size(); ++i) printOutput("%s\n", list[i]);
}

void CDatabaseDiff::printReport() const {
  static const char kRule[] =
      "------------------------------------------------------------------------------\n";
  printOutput("DIFF REPORT\n");
  printOutput("-----------\n");
  printOutput("\n");
  printOutput("Compare\n (1) %s\n (2) %s\n", file1.c_str(), file2.c_str());
  printOutput("\n");
  printOutput("Keys found in (1) that were not present in (2)\n");
  printOutput("%s", kRule);
  printKeyList(keysOnlyIn1);
  printOutput("\n");
  printOutput("Keys found in (2) that were not present in (1)\n");
  printOutput("%s", kRule);
  printKeyList(keysOnlyIn2);
  printOutput("\n");
  printOutput("Keys containing data found to be different\n");
  printOutput("%s", kRule);
  printKeyList(keysChanged);
}
